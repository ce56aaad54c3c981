# The adapter's ids as protocol/dfu_frame.h defines them, for what runs
# outside C++ and compares a program's output or calls, and for the user
# guide, whose placeholders the packer fills from release_contents.txt:
#   BRELVIK_VENDOR_ID       "xxxx", four upper-case hexadecimal digits
#   BRELVIK_PRODUCT_ID      "xxxx", the same
#   BRELVIK_HARDWARE_ID     "VID_xxxx&PID_xxxx", as the programs print it
#   BRELVIK_INTERFACE_GUID  "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case
# The header alone writes them. The build's tests take them from here, and
# the scripts from `cmake -P cmake/AdapterIdentity.cmake`, which prints them
# as NAME=value lines. A change of the header's form stops the
# configuration (or the script) rather than leave a test with old ids.
set(brelvik_protocol_file "${CMAKE_CURRENT_LIST_DIR}/../protocol/dfu_frame.h")
file(READ "${brelvik_protocol_file}" brelvik_protocol_header)
if(NOT CMAKE_SCRIPT_MODE_FILE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${brelvik_protocol_file}")
endif()

set(brelvik_h "[0-9A-Fa-f]")
foreach(id Vendor Product)
    if(NOT brelvik_protocol_header MATCHES
            "constexpr USHORT kBrelvik${id}Id = 0x(${brelvik_h}${brelvik_h}${brelvik_h}${brelvik_h});")
        message(FATAL_ERROR "protocol/dfu_frame.h: no four-digit kBrelvik${id}Id found")
    endif()
    string(TOUPPER "${CMAKE_MATCH_1}" brelvik_${id}_id)
endforeach()
set(BRELVIK_VENDOR_ID "${brelvik_Vendor_id}")
set(BRELVIK_PRODUCT_ID "${brelvik_Product_id}")
set(BRELVIK_HARDWARE_ID "VID_${BRELVIK_VENDOR_ID}&PID_${BRELVIK_PRODUCT_ID}")

# {Data1 (8 digits), Data2 (4), Data3 (4), {eight bytes of 2}}, each 0x-written.
set(brelvik_s "[ \t\r\n]*")
set(brelvik_h2 "${brelvik_h}${brelvik_h}")
set(brelvik_h4 "${brelvik_h2}${brelvik_h2}")
set(brelvik_bytes "0x${brelvik_h2}")
foreach(i RANGE 1 7)
    string(APPEND brelvik_bytes ",${brelvik_s}0x${brelvik_h2}")
endforeach()
if(NOT brelvik_protocol_header MATCHES
        "inline constexpr GUID BrelvikInterfaceGuid = {${brelvik_s}0x(${brelvik_h4}${brelvik_h4}),${brelvik_s}0x(${brelvik_h4}),${brelvik_s}0x(${brelvik_h4}),${brelvik_s}{${brelvik_s}(${brelvik_bytes})${brelvik_s}}${brelvik_s}};")
    message(FATAL_ERROR "protocol/dfu_frame.h: no BrelvikInterfaceGuid of the form "
        "{0xXXXXXXXX, 0xXXXX, 0xXXXX, {0xXX, 0xXX, 0xXX, 0xXX, 0xXX, 0xXX, 0xXX, 0xXX}} found")
endif()
set(brelvik_data1_3 "${CMAKE_MATCH_1}-${CMAKE_MATCH_2}-${CMAKE_MATCH_3}")
string(REGEX REPLACE "0x|,|[ \t\r\n]" "" brelvik_data4 "${CMAKE_MATCH_4}")
string(SUBSTRING "${brelvik_data4}" 0 4 brelvik_data4_head)
string(SUBSTRING "${brelvik_data4}" 4 12 brelvik_data4_tail)
string(TOUPPER
    "{${brelvik_data1_3}-${brelvik_data4_head}-${brelvik_data4_tail}}"
    BRELVIK_INTERFACE_GUID)

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    foreach(name BRELVIK_VENDOR_ID BRELVIK_PRODUCT_ID BRELVIK_HARDWARE_ID BRELVIK_INTERFACE_GUID)
        execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "${name}=${${name}}")
    endforeach()
endif()

foreach(var brelvik_protocol_file brelvik_protocol_header brelvik_h brelvik_s brelvik_h2
        brelvik_h4 brelvik_bytes brelvik_data1_3 brelvik_data4 brelvik_data4_head brelvik_data4_tail
        brelvik_Vendor_id brelvik_Product_id)
    unset(${var})
endforeach()
