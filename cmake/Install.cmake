# Installation: both programs, the desktop entry with its icon and metainfo,
# the manual pages (scdoc sources turned into roff when building), the bash
# completion, and README and the guide in the documentation folder. Every
# destination is relative to the prefix, so `cmake --install --prefix DIR` and
# DESTDIR both work without root.

include(GNUInstallDirs)
# Debian keeps a package's documents in a folder named after the package (the
# default DOCDIR would be named after the project).
set(QUILLAVOR_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/quillavor-maker)

# The desktop entry, the icon and the metainfo share the application's id.
set(QUILLAVOR_APP_ID "invalid.quillavor.QuillavorMaker")
set(packaging_dir ${CMAKE_SOURCE_DIR}/packaging)

install(TARGETS quillavor-maker RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(TARGET quillavor-maker-gui)
  install(TARGETS quillavor-maker-gui RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The window links the installed guide when the operator has no manual of
  # their own; it finds the guide from its own folder.
  file(RELATIVE_PATH guide_from_bindir
       ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}
       ${CMAKE_INSTALL_PREFIX}/${QUILLAVOR_DOCDIR}/GUIDE.md)
  target_compile_definitions(quillavor-gui PRIVATE
    QUILLAVOR_GUIDE_FROM_BINDIR="${guide_from_bindir}")

  install(FILES ${packaging_dir}/${QUILLAVOR_APP_ID}.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${packaging_dir}/${QUILLAVOR_APP_ID}.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  install(FILES ${packaging_dir}/${QUILLAVOR_APP_ID}.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

  # Bitmap sizes for menus and software centres that do not draw SVG.
  find_program(RSVG_CONVERT rsvg-convert)
  if(RSVG_CONVERT)
    set(icon_pngs "")
    foreach(size 48 64 128 256)
      set(png ${CMAKE_BINARY_DIR}/icons/${size}/${QUILLAVOR_APP_ID}.png)
      add_custom_command(
        OUTPUT ${png}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons/${size}
        COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} -o ${png}
                ${packaging_dir}/${QUILLAVOR_APP_ID}.svg
        DEPENDS ${packaging_dir}/${QUILLAVOR_APP_ID}.svg
        VERBATIM)
      list(APPEND icon_pngs ${png})
      install(FILES ${png}
              DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
    endforeach()
    add_custom_target(quillavor-icons ALL DEPENDS ${icon_pngs})
  else()
    message(WARNING "rsvg-convert (librsvg2-bin) not found: the icon is installed as SVG only")
  endif()
endif()

# Manual pages, written in scdoc and installed compressed as Debian wants them.
find_program(SCDOC scdoc)
find_program(GZIP gzip)
if(SCDOC AND GZIP)
  set(man_pages "")
  foreach(page quillavor-maker.1 quillavor-maker-gui.1 quillavor-markup.5)
    string(REGEX REPLACE ".*\\." "" section ${page})
    set(roff ${CMAKE_BINARY_DIR}/man/${page})
    add_custom_command(
      OUTPUT ${roff}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${SCDOC} < ${CMAKE_SOURCE_DIR}/docs/man/${page}.scd > ${roff}
      COMMAND ${GZIP} -9nf -k ${roff}
      DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/${page}.scd
      VERBATIM)
    list(APPEND man_pages ${roff}.gz)
    install(FILES ${roff}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
  add_custom_target(quillavor-man ALL DEPENDS ${man_pages})
else()
  message(WARNING "scdoc or gzip not found: the manual pages are not built")
endif()

install(FILES ${packaging_dir}/quillavor-maker.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME quillavor-maker)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/GUIDE.md
              ${CMAKE_SOURCE_DIR}/docs/FORMAT.md ${CMAKE_SOURCE_DIR}/docs/REPORT.md
        DESTINATION ${QUILLAVOR_DOCDIR})
install(FILES ${packaging_dir}/copyright DESTINATION ${QUILLAVOR_DOCDIR})

# Installs into a temporary prefix and runs what was installed.
# The whole installation is checked where the whole program is built (the
# sanitizer preset builds no window).
if(QUILLAVOR_BUILD_TESTS AND TARGET quillavor-maker-gui)
  add_test(NAME install.prefix
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/install/install_test.sh
            ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}/examples ${QUILLAVOR_APP_ID}
            ${PROJECT_VERSION} ${CMAKE_INSTALL_PREFIX})
  set_tests_properties(install.prefix PROPERTIES TIMEOUT 300)
endif()
