# Cross-build for x86_64 Windows (UCRT) with Debian's MinGW-w64 GCC, win32
# thread model like the clang build. GCC links msvcrt by default; a copy of
# its specs with msvcrt replaced by ucrt makes it link the UCRT instead.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAVO_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TAVO_TRIPLE}-gcc-win32)
set(CMAKE_CXX_COMPILER ${TAVO_TRIPLE}-g++-win32)
set(CMAKE_RC_COMPILER ${TAVO_TRIPLE}-windres)

set(TAVO_UCRT_SPECS ${CMAKE_BINARY_DIR}/ucrt.specs)
if(NOT EXISTS ${TAVO_UCRT_SPECS})
  execute_process(COMMAND ${CMAKE_C_COMPILER} -dumpspecs OUTPUT_VARIABLE _specs)
  string(REPLACE "-lmsvcrt" "-lucrt" _specs "${_specs}")
  file(WRITE ${TAVO_UCRT_SPECS} "${_specs}")
endif()

set(CMAKE_C_FLAGS_INIT "-specs=${TAVO_UCRT_SPECS}")
set(CMAKE_CXX_FLAGS_INIT "-specs=${TAVO_UCRT_SPECS}")
# Wine's dbghelp reads DWARF 2 to 4 only; GCC 12 writes DWARF 5 by default.
set(CMAKE_C_FLAGS_DEBUG_INIT "-g -gdwarf-4")
set(CMAKE_CXX_FLAGS_DEBUG_INIT "-g -gdwarf-4")
set(CMAKE_C_FLAGS_RELWITHDEBINFO_INIT "-O2 -g -gdwarf-4")
set(CMAKE_CXX_FLAGS_RELWITHDEBINFO_INIT "-O2 -g -gdwarf-4")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-specs=${TAVO_UCRT_SPECS} -static")

set(CMAKE_FIND_ROOT_PATH /usr/${TAVO_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
