# Installation by hand ("cmake --install"): the server lives in one folder, the executable at
# its top, and beside it the registry file, the service log and the queue files it writes
# there. The Debian package lays out the same programs on the system's own paths (debian/).

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "/opt/vantorel-server" CACHE PATH "Installation folder" FORCE)
endif()
set(VSERVER_INSTALL_FOLDER "${CMAKE_INSTALL_PREFIX}")

install(TARGETS VServerService RUNTIME DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/docs/VServerService.8 DESTINATION share/man/man8)

# Defaults to copy into place on the first installation; the live copies belong to the site.
# The default MasterPath is the installation folder, so the users folder lands beside the program.
configure_file(${CMAKE_CURRENT_LIST_DIR}/VServerService.reg.in
               ${CMAKE_BINARY_DIR}/packaging/VServerService.reg @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/packaging/VServerService.reg DESTINATION defaults)
install(DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/demo/Users DESTINATION defaults)
