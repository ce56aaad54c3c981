# 64-bit Windows programs from Debian's clang and lld on mingw-w64's headers
# and runtime, with the libstdc++ and libgcc of Debian's posix-threads
# mingw-w64 GCC 12. clang and lld, not GCC and GNU ld, because only they
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
# one. A sysroot of two links names it.
set(BRELVIK_MINGW_GCC_DIR /usr/lib/gcc/${BRELVIK_MINGW_PREFIX}/12-posix)
set(BRELVIK_MINGW_SYSROOT "${CMAKE_BINARY_DIR}/mingw-sysroot")
if(NOT IS_DIRECTORY "${BRELVIK_MINGW_GCC_DIR}")
    message(FATAL_ERROR "No ${BRELVIK_MINGW_GCC_DIR}: install g++-mingw-w64-x86-64-posix")
endif()
file(MAKE_DIRECTORY "${BRELVIK_MINGW_SYSROOT}/lib/gcc/${BRELVIK_MINGW_PREFIX}")
file(CREATE_LINK "${BRELVIK_MINGW_GCC_DIR}"
    "${BRELVIK_MINGW_SYSROOT}/lib/gcc/${BRELVIK_MINGW_PREFIX}/12-posix" SYMBOLIC)
file(CREATE_LINK /usr/${BRELVIK_MINGW_PREFIX}
    "${BRELVIK_MINGW_SYSROOT}/${BRELVIK_MINGW_PREFIX}" SYMBOLIC)

set(CMAKE_C_FLAGS_INIT "--sysroot=${BRELVIK_MINGW_SYSROOT}")
set(CMAKE_CXX_FLAGS_INIT "--sysroot=${BRELVIK_MINGW_SYSROOT}")
foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld")
endforeach()

set(CMAKE_FIND_ROOT_PATH /usr/${BRELVIK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
