# brelvik_windows_resources(<target> <description>)
# Embeds the asInvoker manifest and a version resource in a Windows
# program; does nothing elsewhere.
function(brelvik_windows_resources target description)
    if(NOT WIN32)
        return()
    endif()
    set(BRELVIK_RC_NAME "${target}")
    set(BRELVIK_RC_DESCRIPTION "${description}")
    set(BRELVIK_RC_MANIFEST "${PROJECT_SOURCE_DIR}/platform/windows/asInvoker.manifest")
    set(rc "${CMAKE_CURRENT_BINARY_DIR}/${target}.rc")
    configure_file("${PROJECT_SOURCE_DIR}/platform/windows/program.rc.in" "${rc}" @ONLY)
    target_sources(${target} PRIVATE "${rc}")
    if(MSVC)
        # The manifest comes from the resource script, not from the linker.
        target_link_options(${target} PRIVATE /MANIFEST:NO)
    endif()
endfunction()
