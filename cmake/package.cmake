# Installing guess.exe and the release archive:
#   cmake --install <build tree> --prefix <dir>
#   cpack -G ZIP                      (in the build tree: guess-<version>-win64.zip)
# bin/ holds guess.exe (and guess.pdb where the toolchain writes one, so that
# stack traces name functions), share/doc/guess/ the README.
install(TARGETS guess RUNTIME DESTINATION bin)
if(TAVO_PDB)
  install(FILES $<TARGET_FILE_DIR:guess>/guess.pdb DESTINATION bin)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/guess)

# Installing or packaging takes what has been built; it does not build every
# test program first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_PACKAGE_NAME guess)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${PROJECT_DESCRIPTION})
set(GUESS_ARCHIVE_NAME guess-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_FILE_NAME ${GUESS_ARCHIVE_NAME})
set(CPACK_GENERATOR ZIP)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
