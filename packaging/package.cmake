# cpack -G DEB: wirelens_VERSION_ARCH.deb, with maintainer scripts that grant
# capture as Debian grants it to dumpcap (group, owner and mode by
# dpkg-statoverride, then cap_net_raw,cap_sys_nice).
set(WIRELENS_PACKAGE_HELPER /usr/${WIRELENS_HELPER_INSTALL_DIR}/wirelens-capture)
foreach(script postinst prerm postrm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}.in
                 ${CMAKE_BINARY_DIR}/packaging/debian/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/debian/${script})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wirelens)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Wirelens developers")
set(CPACK_PACKAGE_CONTACT "Wirelens developers <wirelens@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop viewer of the IPv4 packets of one local address")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# adduser makes the group; setcap grants the capture capability.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libcap2-bin")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# CPack puts the summary on the Description line itself; this is the long part.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Wirelens captures every IPv4 datagram sent from or received at one of the
machine's addresses and lists each as a row: protocol, source and
destination address and port, data length and the time it was captured.
A click on a row shows its data as text and as a hex and ASCII dump; the
list can be narrowed to received, sent, TCP, UDP or ICMP packets.
.
The window holds no capture privilege: a small helper with cap_net_raw
opens the capture and drops the capability. Only members of the system
group wirelens may run it; add a user with: usermod -aG wirelens USER")
include(CPack)
