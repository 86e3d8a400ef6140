# Installing: the tree cmake --install makes, the desktop entry, the AppStream
# metadata and the manual page; as root, the capture helper's permission and
# the Debian package (skipped, with the reason, for other users).
add_test(NAME install_tree
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/install_tree_test.sh ${CMAKE_BINARY_DIR} ${PROJECT_VERSION}
          ${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_LIBEXECDIR} ${CMAKE_INSTALL_DATAROOTDIR}
          ${CMAKE_INSTALL_MANDIR} ${WIRELENS_SYSTEM_HELPER_DIR})
add_test(NAME desktop_entry_validates
  COMMAND desktop-file-validate ${PROJECT_SOURCE_DIR}/packaging/wirelens.desktop)
add_test(NAME metainfo_validates
  COMMAND appstreamcli validate --no-net
          ${PROJECT_SOURCE_DIR}/packaging/org.wirelens.Wirelens.metainfo.xml)
add_test(NAME man_page_renders
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/man_page_test.sh ${CMAKE_BINARY_DIR}/packaging/wirelens.1.gz
          $<TARGET_FILE:wirelens>)
add_test(NAME helper_permission
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/helper_permission_test.sh $<TARGET_FILE:wirelens-capture>)
# Builds with ./scripts/package in its own build folder, so a package made
# before is only brought up to date; alone, so that its compiler does not slow
# the live captures' tests.
add_test(NAME debian_package COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/debian_package_test.sh)
set_tests_properties(helper_permission debian_package PROPERTIES SKIP_RETURN_CODE 77)
set_tests_properties(debian_package PROPERTIES TIMEOUT 900 RUN_SERIAL ON)
