# The Debian package, made by CPack: `make package` (or `cpack -G DEB` in the
# build folder) writes quillavor-maker_<version>_amd64.deb from the install
# rules. Its runtime dependencies are read from the binaries by dpkg-shlibdeps.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillavor-maker)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quillavor Maker developers")
set(CPACK_PACKAGE_CONTACT "Quillavor Maker developers <maintainers@quillavor.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "compiler of sacred-text sources into reader modules")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[
Quillavor Maker compiles Bibles, hymnals and help texts written in a
line-oriented angle-bracket markup into .quillavor module files for a
reading program: every book and verse with its markup, resolved
cross-reference links, embedded images, a word index and a Concordance.

The package holds the command-line program quillavor-maker (build,
inspect and preview modules), the window quillavor-maker-gui, manual
pages for both and for the source markup, bash completion, and a guide
to the markup with worked examples.]=])
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION text)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt finds its window-system plugins at run time; the libraries only
# recommend them.
if(TARGET quillavor-maker-gui)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
endif()
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})

# Debian's changelog of the package, compressed as the documentation folder
# wants it. Its newest entry has to name the project's version.
set(changelog ${CMAKE_SOURCE_DIR}/packaging/changelog)
file(STRINGS ${changelog} changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^quillavor-maker \\(${PROJECT_VERSION}\\) ")
  message(WARNING "packaging/changelog starts with \"${changelog_head}\" but the project's "
                  "version is ${PROJECT_VERSION}: add an entry for it")
endif()
find_program(GZIP gzip)
if(GZIP)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND ${GZIP} -9n -c ${changelog} > ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    DEPENDS ${changelog}
    VERBATIM)
  add_custom_target(quillavor-changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION ${QUILLAVOR_DOCDIR})
endif()

# With libdeflate linked into the programs, the package says which source
# version it carries (Debian's Built-Using field, which CPack does not write:
# the finished package gets it added).
if(QUILLAVOR_STATIC_LIBDEFLATE)
  execute_process(
    COMMAND dpkg-query -W "--showformat=\${source:Package} (= \${source:Version})" libdeflate-dev
    OUTPUT_VARIABLE CPACK_QUILLAVOR_BUILT_USING
    RESULT_VARIABLE query_result
    ERROR_QUIET)
  if(query_result EQUAL 0 AND CPACK_QUILLAVOR_BUILT_USING)
    set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/AddBuiltUsing.cmake)
  else()
    message(WARNING "libdeflate-dev's version is unknown: the package will lack Built-Using")
  endif()
endif()

include(CPack)
