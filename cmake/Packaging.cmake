# `cmake --install` and `cpack` gather the Windows programs and the README
# into one folder or ZIP a Windows user unpacks and runs.
install(FILES "${PROJECT_SOURCE_DIR}/README.md" DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME "BRELVIK_DFU_switch")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
if(WIN32)
    set(CPACK_SYSTEM_NAME win64)
endif()
include(CPack)
