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

# The posix-model libstdc++ (the one GoogleTest and std::thread need) pulls
# in winpthreads, which calls _setjmp; the UCRT exports it only as
# __intrinsic_setjmp. Every program links a one-line alias object, and
# winpthreads itself (GCC's driver adds it; clang's does not).
if(WIN32)
  set(TAVO_SETJMP_ALIAS ${PROJECT_BINARY_DIR}/tavo_setjmp_alias.obj)
  set(_target_flag)
  if(CMAKE_C_COMPILER_TARGET)
    set(_target_flag --target=${CMAKE_C_COMPILER_TARGET})
  endif()
  execute_process(
    COMMAND ${CMAKE_C_COMPILER} ${_target_flag} -c ${PROJECT_SOURCE_DIR}/cmake/setjmp_alias.c
            -o ${TAVO_SETJMP_ALIAS}
    RESULT_VARIABLE _alias_result)
  if(NOT _alias_result EQUAL 0)
    message(FATAL_ERROR "could not compile cmake/setjmp_alias.c")
  endif()
  foreach(lang C CXX)
    string(APPEND CMAKE_${lang}_STANDARD_LIBRARIES " ${TAVO_SETJMP_ALIAS} -lpthread")
  endforeach()
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
