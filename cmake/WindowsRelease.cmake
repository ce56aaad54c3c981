# What a Windows user downloads, and how it is built.
#
# brelvik_release_build(<target>...)
#     The programs and everything they link, as mingw-w64 builds them: no
#     exception or type-information runtime (the code throws nothing and
#     asks no types; unwinding alone drags in some 110 KB of libstdc++),
#     unreferenced sections dropped, no build path or link time in the
#     image, and in Release optimised for size and stripped. The mingw
#     preset builds and tests exactly this, so what is tested is what ships.
#     Test programs keep the default flags: GoogleTest wants exceptions.
#
#     A stack guard in every function with arrays or addresses taken:
#     GCC's static libssp seeds it with CryptGenRandom (ADVAPI32, a
#     KnownDLL) for about 1.5 KB a program. Images are ASLR (high entropy)
#     and DEP compatible, as GNU ld marks them by default; check_pe.py
#     --release holds them to it.
#
#     No -ffunction-sections or -fdata-sections: the PE link keeps every
#     function that has unwind data (.pdata), so the first drops nothing
#     here, and the second moves zero-filled globals from .bss into .data,
#     where they take room in the file.
#
# brelvik_release_contents(NAME <name> PROGRAMS <target>... GUIDE <file>)
#     Writes <build>/release_contents.txt, what scripts/release/pack.py
#     packs: lines of a key (name, version, program or guide), a space and
#     the value.
function(brelvik_release_build)
    if(NOT MINGW)
        return()
    endif()
    foreach(target IN LISTS ARGN)
        target_compile_options(${target} PRIVATE
            -fno-exceptions -fno-rtti -fstack-protector-strong
            "-ffile-prefix-map=${PROJECT_SOURCE_DIR}/="
            "-ffile-prefix-map=${CMAKE_BINARY_DIR}/="
            $<$<CONFIG:Release>:-Os>)
        # Whatever links these objects, a test program too, needs libssp.
        target_link_options(${target} PUBLIC -fstack-protector-strong)
        get_target_property(type ${target} TYPE)
        if(type STREQUAL "EXECUTABLE")
            target_link_options(${target} PRIVATE
                -Wl,--gc-sections -Wl,--no-insert-timestamp $<$<CONFIG:Release>:-s>)
        endif()
    endforeach()
endfunction()

function(brelvik_release_contents)
    if(NOT MINGW)
        return()
    endif()
    cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;GUIDE" "PROGRAMS")
    get_filename_component(guide "${arg_GUIDE}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}")
    set(lines "name ${arg_NAME}\nversion ${PROJECT_VERSION}\n")
    foreach(program IN LISTS arg_PROGRAMS)
        string(APPEND lines "program $<TARGET_FILE:${program}>\n")
    endforeach()
    string(APPEND lines "guide ${guide}\n")
    file(GENERATE OUTPUT "${CMAKE_BINARY_DIR}/release_contents.txt" CONTENT "${lines}")
endfunction()
