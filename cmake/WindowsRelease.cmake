# What a Windows user downloads, and how it is built.
#
# brelvik_release_build(<target>...)
#     The programs and everything they link, as the mingw toolchain (clang
#     and lld) builds them: no exception or type-information runtime (the
#     code throws nothing and asks no types; unwinding alone drags in some
#     110 KB of libstdc++), unreferenced sections dropped, no build path or
#     link time in the image, and in Release optimised for size and
#     stripped. The mingw preset builds and tests exactly this, so what is
#     tested is what ships. Test programs keep the default flags:
#     GoogleTest wants exceptions.
#
#     Hardened as Microsoft's SDL asks, each measure checked on the shipped
#     programs by release/check_pe.py --release:
#     - Control Flow Guard: our code's indirect calls go through the guard
#       dispatch pointer, and lld writes the table of valid call targets
#       (-mguard=cf, --guard-cf). The prebuilt runtime and libstdc++ are
#       not instrumented; the functions of theirs that Windows calls
#       through pointers are listed as valid targets by name
#       (platform/windows/image_support.cpp).
#     - CET shadow-stack compatible (/cetcompat): a debug directory entry
#       of its own, which lld puts in a .buildid section of 512 bytes
#       unless it goes into .rdata.
#     - A stack guard in every function with arrays or addresses taken,
#       seeded from this process's values and failing with __fastfail
#       (platform/windows/image_support.cpp): no libssp, no CryptoAPI.
#       The link must not see -fstack-protector-strong: clang's driver
#       would add libssp.
#     - The load configuration with the guard fields and
#       DependentLoadFlags = LOAD_LIBRARY_SEARCH_SYSTEM32, from the same
#       file; ASLR (high entropy) and DEP, which lld marks by default.
#     With MSVC: /guard:cf, /CETCOMPAT and /DEPENDENTLOADFLAG:0x800 beside
#     its default /GS.
#
#     The header checksum is set (/release), as osslsigncode sets it: a
#     signed program with its signature removed is the unsigned one again,
#     byte for byte.
#
#     -ffunction-sections lets lld drop the functions nothing calls (512
#     bytes of the legacy edition); -fdata-sections drops nothing more.
#
#     lld writes two maps of each program beside it, what the release's
#     notices and SBOM are made from (release/notices.py): <target>.map
#     names the archive and member that define each symbol, <target>.lldmap
#     every input section with its size, which also shows the objects that
#     define no symbol of their own (crtend.o). Writing them changes no byte
#     of the program.
#
# brelvik_release_contents(NAME <name> PROGRAMS <target>... GUIDE <file>)
#     Writes <build>/release_contents.txt, what release/pack.py
#     packs: lines of a key (name, version, program, linkmap, sectionmap,
#     guide, vendor_id, product_id or interface_guid), a space and the
#     value; the n-th linkmap and sectionmap lines are the n-th program's.
#     The ids are AdapterIdentity.cmake's, for the guide's placeholders.
function(brelvik_release_build)
    if(MSVC)
        foreach(target IN LISTS ARGN)
            target_compile_options(${target} PRIVATE /guard:cf)
            get_target_property(type ${target} TYPE)
            if(type STREQUAL "EXECUTABLE")
                target_link_options(${target} PRIVATE
                    /guard:cf /CETCOMPAT /DEPENDENTLOADFLAG:0x800)
            endif()
        endforeach()
        return()
    endif()
    if(NOT MINGW)
        return()
    endif()
    foreach(target IN LISTS ARGN)
        target_compile_options(${target} PRIVATE
            -fno-exceptions -fno-rtti -ffunction-sections -fstack-protector-strong -mguard=cf
            "-ffile-prefix-map=${PROJECT_SOURCE_DIR}/="
            "-ffile-prefix-map=${CMAKE_BINARY_DIR}/="
            $<$<CONFIG:Release>:-Os>)
        get_target_property(type ${target} TYPE)
        if(type STREQUAL "EXECUTABLE")
            target_link_options(${target} PRIVATE
                -Wl,--guard-cf -Wl,-Xlink=/cetcompat -Wl,-Xlink=-merge:.buildid=.rdata -Wl,-Xlink=/release
                -Wl,--gc-sections -Wl,--no-insert-timestamp $<$<CONFIG:Release>:-s>
                "-Wl,-Xlink=/map:$<TARGET_FILE_DIR:${target}>/${target}.map"
                "-Wl,-Xlink=/lldmap:$<TARGET_FILE_DIR:${target}>/${target}.lldmap")
        endif()
    endforeach()
endfunction()

function(brelvik_release_contents)
    if(NOT MINGW)
        return()
    endif()
    cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;GUIDE" "PROGRAMS")
    get_filename_component(guide "${arg_GUIDE}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}")
    set(lines "name ${arg_NAME}\nversion ${BRELVIK_VERSION}\n")
    foreach(program IN LISTS arg_PROGRAMS)
        string(APPEND lines "program $<TARGET_FILE:${program}>\n")
    endforeach()
    foreach(program IN LISTS arg_PROGRAMS)
        string(APPEND lines "linkmap $<TARGET_FILE_DIR:${program}>/${program}.map\n")
        string(APPEND lines "sectionmap $<TARGET_FILE_DIR:${program}>/${program}.lldmap\n")
    endforeach()
    string(APPEND lines "guide ${guide}\n")
    string(APPEND lines "vendor_id ${BRELVIK_VENDOR_ID}\nproduct_id ${BRELVIK_PRODUCT_ID}\n")
    string(APPEND lines "interface_guid ${BRELVIK_INTERFACE_GUID}\n")
    file(GENERATE OUTPUT "${CMAKE_BINARY_DIR}/release_contents.txt" CONTENT "${lines}")
endfunction()
