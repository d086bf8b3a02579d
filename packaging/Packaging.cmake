# Installation and the Debian package. The server lives in one folder: the executable at its
# top, and beside it the registry file, the service log and the queue files it writes there.

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "/opt/vantorel-server" CACHE PATH "Installation folder" FORCE)
endif()
set(VSERVER_INSTALL_FOLDER "${CMAKE_INSTALL_PREFIX}")

install(TARGETS VServerService RUNTIME DESTINATION .)

# Defaults that the package puts in place on its first installation only; the live copies
# belong to the site from then on and survive upgrades and removal.
# The default MasterPath is the installation folder, so the users folder lands beside the program.
configure_file(${CMAKE_CURRENT_LIST_DIR}/VServerService.reg.in
               ${CMAKE_BINARY_DIR}/packaging/VServerService.reg @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/packaging/VServerService.reg DESTINATION defaults)
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/demo/Users)
  install(DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/demo/Users DESTINATION defaults)
endif()

foreach(script postinst prerm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}.in
                 ${CMAKE_BINARY_DIR}/packaging/debian/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
endforeach()

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "vantorel-server")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Vantorel Server Service: accounts, logons and messages for Vantorel clients")
set(CPACK_PACKAGE_DESCRIPTION "The background server of a site's Vantorel installation. Every client workstation and the administrator console keep one TCP connection to it. It runs as the systemd service VServerService.")
set(CPACK_PACKAGE_CONTACT "Vantorel Server maintainers <root@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${CMAKE_BINARY_DIR}/packaging/debian/postinst;${CMAKE_BINARY_DIR}/packaging/debian/prerm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

if(VSERVER_BUILD_TESTS)
  add_test(NAME packaging.DebianPackage
           COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/CheckDebianPackage.sh ${CMAKE_BINARY_DIR} ${CMAKE_INSTALL_PREFIX})
  set_tests_properties(packaging.DebianPackage PROPERTIES TIMEOUT 300)
endif()
