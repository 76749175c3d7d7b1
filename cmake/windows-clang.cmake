# Cross-build for x86_64 Windows (UCRT) with clang and lld on Debian's MinGW-w64.
# clang does not find Debian's MinGW GCC installation by itself, so the
# libstdc++ and MinGW include and library paths are given explicitly. The
# win32 thread model's libraries: the program's locks are the system's own,
# and those of the posix model would link a thread library that nothing here
# calls (see docs/windows.md).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAVO_TRIPLE x86_64-w64-mingw32)
set(TAVO_MINGW_GCC_DIR /usr/lib/gcc/${TAVO_TRIPLE}/12-win32)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${TAVO_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${TAVO_TRIPLE})
set(CMAKE_RC_COMPILER ${TAVO_TRIPLE}-windres)
set(CMAKE_SYSROOT /usr)

set(CMAKE_C_FLAGS_INIT "-isystem /usr/${TAVO_TRIPLE}/include")
set(CMAKE_CXX_FLAGS_INIT
    "-isystem ${TAVO_MINGW_GCC_DIR}/include/c++ -isystem ${TAVO_MINGW_GCC_DIR}/include/c++/${TAVO_TRIPLE} -isystem /usr/${TAVO_TRIPLE}/include")
# CodeView debug information, so that dbghelp names our frames.
set(CMAKE_C_FLAGS_DEBUG_INIT "-g -gcodeview")
set(CMAKE_CXX_FLAGS_DEBUG_INIT "-g -gcodeview")
set(CMAKE_C_FLAGS_RELWITHDEBINFO_INIT "-O2 -g -gcodeview")
set(CMAKE_CXX_FLAGS_RELWITHDEBINFO_INIT "-O2 -g -gcodeview")
# -lucrt on the command line stops the driver from adding -lmsvcrt.
# A PDB makes lld keep unreferenced code unless told otherwise; dropping it
# takes about 36 KiB off guess.exe.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-fuse-ld=lld -L${TAVO_MINGW_GCC_DIR} -static -lucrt -Wl,--gc-sections -Wno-unused-command-line-argument")
set(TAVO_PDB ON)

set(CMAKE_FIND_ROOT_PATH /usr/${TAVO_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
