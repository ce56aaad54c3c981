# The adapter's ids as protocol/dfu_frame.h defines them, for tests that
# compare a program's output outside C++:
#   BRELVIK_HARDWARE_ID  "VID_xxxx&PID_xxxx", as the programs print it
# The header is the one place the ids are written; a change of its form
# must stop the configuration rather than leave the tests with old ids.
file(READ "${PROJECT_SOURCE_DIR}/protocol/dfu_frame.h" brelvik_protocol_header)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    "${PROJECT_SOURCE_DIR}/protocol/dfu_frame.h")
foreach(id Vendor Product)
    if(NOT brelvik_protocol_header MATCHES
            "constexpr USHORT kBrelvik${id}Id = 0x([0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]);")
        message(FATAL_ERROR "protocol/dfu_frame.h: no four-digit kBrelvik${id}Id found")
    endif()
    string(TOUPPER "${CMAKE_MATCH_1}" brelvik_${id}_id)
endforeach()
set(BRELVIK_HARDWARE_ID "VID_${brelvik_Vendor_id}&PID_${brelvik_Product_id}")
unset(brelvik_protocol_header)
