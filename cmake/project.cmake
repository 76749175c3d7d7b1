# Settings shared by every target of the project.

# Warnings as errors on our own code only (GoogleTest does not link this).
add_library(tavo_warnings INTERFACE)
target_compile_options(tavo_warnings INTERFACE -Wall -Wextra -Werror)
# GCC 12 reports false -Wrestrict warnings from inside libstdc++'s
# basic_string when it inlines assignments at -O2 (fixed in GCC 13); they
# name no fault of ours.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(tavo_warnings INTERFACE $<$<COMPILE_LANGUAGE:CXX>:-Wno-restrict>)
endif()

# A build tree configured for the posix thread model keeps that model's
# folders in its cached flags, which a changed toolchain file does not
# replace; its programs would not link.
if(WIN32 AND "${CMAKE_CXX_FLAGS} ${CMAKE_EXE_LINKER_FLAGS}" MATCHES "/12-posix")
  message(FATAL_ERROR "${CMAKE_BINARY_DIR} was configured for the posix thread model: "
                      "remove it and configure again")
endif()

# Writes a CodeView PDB beside the executable where the toolchain makes them.
function(tavo_pdb target)
  if(TAVO_PDB)
    target_link_options(${target} PRIVATE "-Wl,--pdb=")
  endif()
endfunction()

# The Wine wrapper that CTest runs every Windows test program through.
if(WIN32 AND CMAKE_CROSSCOMPILING)
  set(TAVO_WINEPREFIX ${PROJECT_SOURCE_DIR}/build/wine CACHE PATH
      "Private Wine prefix used by the tests")
  set(TAVO_SOURCE_DIR ${PROJECT_SOURCE_DIR})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/wine-run.sh.in
                 ${PROJECT_BINARY_DIR}/wine-run.sh @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                                  GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_BINARY_DIR}/wine-run.sh)
endif()

# Adds one test program, run by CTest as one entry with a timeout.
#   tavo_add_test(NAME name SOURCES ... [LIBS ...] [TIMEOUT seconds])
function(tavo_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} tavo_test_main tavo_warnings)
  tavo_pdb(${T_NAME})
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
endfunction()
