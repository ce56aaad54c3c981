# 64-bit Windows programs from Debian's clang and lld on mingw-w64's headers
# and runtime, with the libstdc++ and libgcc of Debian's posix-threads
# mingw-w64 GCC (12 on Debian 12, 14 on Debian 13). clang and lld, not GCC and GNU ld, because only they
# give Control Flow Guard, CET compatibility and a load configuration.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(BRELVIK_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang-19)
set(CMAKE_CXX_COMPILER clang++-19)
set(CMAKE_C_COMPILER_TARGET ${BRELVIK_MINGW_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${BRELVIK_MINGW_PREFIX})
set(CMAKE_RC_COMPILER ${BRELVIK_MINGW_PREFIX}-windres)
# lld's librarian: import libraries lld can delay-load.
set(BRELVIK_LLD_LINK lld-link-19)

# clang takes the highest GCC version it finds under lib/gcc/<triple>, and
# with the win32-threads compiler installed too that need not be the posix
# one: a sysroot of our own names it.
#
# Its GCC folder, which clang searches first for start files and
# libraries, also holds copies of mingw-w64's crt2.o and libmingw32.a and
# of GCC's crtend.o in which the functions that Windows and msvcrt.dll may
# call through pointers (a TLS callback, initialisers, the
# invalid-parameter handler, a constructor) are global symbols, not
# file-local ones, so that platform/windows/image_support.cpp can name
# them and lld lists them as valid Control Flow Guard call targets. The
# code is the same byte for byte.
#
# The GCC folder is the posix compiler's own, as it names it.
execute_process(
    COMMAND ${BRELVIK_MINGW_PREFIX}-g++-posix -print-libgcc-file-name
    OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE failed)
if(failed OR NOT IS_ABSOLUTE "${libgcc}" OR NOT EXISTS "${libgcc}")
    message(FATAL_ERROR "${BRELVIK_MINGW_PREFIX}-g++-posix names no libgcc.a"
        " (${libgcc}): install g++-mingw-w64-x86-64-posix")
endif()
get_filename_component(BRELVIK_MINGW_GCC_DIR "${libgcc}" DIRECTORY)
get_filename_component(gcc_folder "${BRELVIK_MINGW_GCC_DIR}" NAME)
set(BRELVIK_MINGW_SYSROOT "${CMAKE_BINARY_DIR}/mingw-sysroot")
set(sysroot_gcc "${BRELVIK_MINGW_SYSROOT}/lib/gcc/${BRELVIK_MINGW_PREFIX}/${gcc_folder}")
if(IS_SYMLINK "${sysroot_gcc}")
    file(REMOVE "${sysroot_gcc}")
endif()
file(MAKE_DIRECTORY "${sysroot_gcc}")
file(GLOB gcc_entries RELATIVE "${BRELVIK_MINGW_GCC_DIR}" "${BRELVIK_MINGW_GCC_DIR}/*")
foreach(entry IN LISTS gcc_entries)
    file(CREATE_LINK "${BRELVIK_MINGW_GCC_DIR}/${entry}" "${sysroot_gcc}/${entry}" SYMBOLIC)
endforeach()
file(CREATE_LINK /usr/${BRELVIK_MINGW_PREFIX}
    "${BRELVIK_MINGW_SYSROOT}/${BRELVIK_MINGW_PREFIX}" SYMBOLIC)
foreach(patch
        "/usr/${BRELVIK_MINGW_PREFIX}/lib/crt2.o|--globalize-symbol=pre_c_init|--globalize-symbol=pre_cpp_init|--globalize-symbol=__mingw_invalidParameterHandler"
        "/usr/${BRELVIK_MINGW_PREFIX}/lib/libmingw32.a|--globalize-symbol=__dyn_tls_dtor"
        "${BRELVIK_MINGW_GCC_DIR}/crtend.o|--globalize-symbol=register_frame_ctor")
    string(REPLACE "|" ";" patch "${patch}")
    list(POP_FRONT patch from)
    get_filename_component(file "${from}" NAME)
    # Not through the link to the original made above.
    file(REMOVE "${sysroot_gcc}/${file}")
    execute_process(
        COMMAND ${BRELVIK_MINGW_PREFIX}-objcopy ${patch} "${from}" "${sysroot_gcc}/${file}"
        RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "${BRELVIK_MINGW_PREFIX}-objcopy could not copy ${file}")
    endif()
endforeach()

# Quoted: the build folder's path may hold a space.
set(CMAKE_C_FLAGS_INIT "\"--sysroot=${BRELVIK_MINGW_SYSROOT}\"")
set(CMAKE_CXX_FLAGS_INIT "\"--sysroot=${BRELVIK_MINGW_SYSROOT}\"")
foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld")
endforeach()

set(CMAKE_FIND_ROOT_PATH /usr/${BRELVIK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
