# cmake --install: the program, its capture helper in a private libexec folder,
# the desktop entry, icons, AppStream metadata, the manual page and the
# package's documents.
set(WIRELENS_HELPER_INSTALL_DIR ${CMAKE_INSTALL_LIBEXECDIR}/wirelens)
set(WIRELENS_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/wirelens)
set(WIRELENS_ICON_SIZES 16 22 24 32 48 64 128 256)

install(TARGETS wirelens RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Installed 0755: who may run it (root:wirelens 0750) and its capability are
# set where it is installed, by the package or ./scripts/run.
install(TARGETS wirelens-capture RUNTIME DESTINATION ${WIRELENS_HELPER_INSTALL_DIR})

install(FILES ${CMAKE_CURRENT_LIST_DIR}/wirelens.desktop
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/org.wirelens.Wirelens.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo)
foreach(size ${WIRELENS_ICON_SIZES})
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/icons/wirelens-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${size}x${size}/apps
          RENAME wirelens.png)
endforeach()
install(FILES ${CMAKE_CURRENT_LIST_DIR}/icons/wirelens.svg
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps)

# Compressed with -n so that the same source gives the same bytes.
configure_file(${CMAKE_CURRENT_LIST_DIR}/wirelens.1.in ${CMAKE_BINARY_DIR}/packaging/wirelens.1 @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
set(WIRELENS_COMPRESSED_DOCS)
foreach(doc wirelens.1 changelog)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/${doc}.gz
    COMMAND gzip -9nf -k ${CMAKE_BINARY_DIR}/packaging/${doc}
    DEPENDS ${CMAKE_BINARY_DIR}/packaging/${doc}
    COMMENT "Compressing ${doc}")
  list(APPEND WIRELENS_COMPRESSED_DOCS ${CMAKE_BINARY_DIR}/packaging/${doc}.gz)
endforeach()
add_custom_target(wirelens_docs ALL DEPENDS ${WIRELENS_COMPRESSED_DOCS})

install(FILES ${CMAKE_BINARY_DIR}/packaging/wirelens.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${WIRELENS_DOC_DIR})
