# The adapter's ids as protocol/dfu_frame.h defines them, for what names
# them outside C++ (the tests that compare a program's output, and the user
# guide, whose placeholders the packer fills from release_contents.txt):
#   BRELVIK_VENDOR_ID       "0483", four upper-case hex digits
#   BRELVIK_PRODUCT_ID      "1234", the same
#   BRELVIK_HARDWARE_ID     "VID_0483&PID_1234", as the programs print it
#   BRELVIK_INTERFACE_GUID  "{3EA03B52-C71A-433C-A626-E8AD96F2578B}", the
#                           interface class, upper case, as Windows shows it
# A change of the header's form must stop the configuration rather than
# leave these texts with old ids.
file(READ "${PROJECT_SOURCE_DIR}/protocol/dfu_frame.h" brelvik_protocol_header)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    "${PROJECT_SOURCE_DIR}/protocol/dfu_frame.h")
set(brelvik_hex "[0-9A-Fa-f]")
set(brelvik_hex2 "0x${brelvik_hex}${brelvik_hex}")
set(brelvik_hex4 "0x${brelvik_hex}${brelvik_hex}${brelvik_hex}${brelvik_hex}")
foreach(id Vendor Product)
    if(NOT brelvik_protocol_header MATCHES "constexpr USHORT kBrelvik${id}Id = (${brelvik_hex4});")
        message(FATAL_ERROR "protocol/dfu_frame.h: no four-digit kBrelvik${id}Id found")
    endif()
    string(SUBSTRING "${CMAKE_MATCH_1}" 2 4 digits)
    string(TOUPPER "${digits}" brelvik_${id}_id)
endforeach()
set(BRELVIK_VENDOR_ID "${brelvik_Vendor_id}")
set(BRELVIK_PRODUCT_ID "${brelvik_Product_id}")
set(BRELVIK_HARDWARE_ID "VID_${BRELVIK_VENDOR_ID}&PID_${BRELVIK_PRODUCT_ID}")

# {0xDDDDDDDD, 0xDDDD, 0xDDDD, {0xDD, ... eight bytes}}, whitespace after the
# opening brace as clang-format leaves it.
set(brelvik_bytes "${brelvik_hex2}")
foreach(byte RANGE 1 7)
    string(APPEND brelvik_bytes ", ${brelvik_hex2}")
endforeach()
if(NOT brelvik_protocol_header MATCHES
        "GUID BrelvikInterfaceGuid = {[ \t\r\n]*(${brelvik_hex4}${brelvik_hex}${brelvik_hex}${brelvik_hex}${brelvik_hex}, ${brelvik_hex4}, ${brelvik_hex4}, {${brelvik_bytes}})};")
    message(FATAL_ERROR "protocol/dfu_frame.h: BrelvikInterfaceGuid is not {0xDDDDDDDD, 0xDDDD, 0xDDDD, {0xDD, ...}}")
endif()
string(REGEX REPLACE "0x|[ ,{}]" "" digits "${CMAKE_MATCH_1}")
string(TOUPPER "${digits}" digits)
string(SUBSTRING "${digits}" 0 8 data1)
string(SUBSTRING "${digits}" 8 4 data2)
string(SUBSTRING "${digits}" 12 4 data3)
string(SUBSTRING "${digits}" 16 4 data4)
string(SUBSTRING "${digits}" 20 12 data5)
set(BRELVIK_INTERFACE_GUID "{${data1}-${data2}-${data3}-${data4}-${data5}}")
unset(brelvik_protocol_header)
