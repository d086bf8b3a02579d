# The Windows package: the server, the console when it is built, a settings file to load with
# "reg import" and the administrator's notes, in one folder. "cpack -G ZIP" packs them into
# vantorel-server-<version>-win64.zip; the windows-installer target builds the installer, which
# also registers the service.

set(VSERVER_VERSION ${PROJECT_VERSION})
set(VSERVER_WINDOWS_FILES ${CMAKE_BINARY_DIR}/packaging/windows)
foreach(name VServerService.reg.sample README-windows.txt)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${name} ${VSERVER_WINDOWS_FILES}/${name} @ONLY NEWLINE_STYLE CRLF)
endforeach()

# The console, when the build has it, puts itself beside the server by its own install rule.
install(TARGETS VServerService RUNTIME DESTINATION .)
install(FILES ${VSERVER_WINDOWS_FILES}/VServerService.reg.sample ${VSERVER_WINDOWS_FILES}/README-windows.txt
        DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME vantorel-server)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME vantorel-server-${PROJECT_VERSION}-win64)
include(CPack)

find_program(VSERVER_MAKENSIS makensis)
if(VSERVER_MAKENSIS)
  set(VSERVER_INSTALLER ${CMAKE_BINARY_DIR}/vantorel-server-${PROJECT_VERSION}-win64-setup.exe)
  set(VSERVER_INSTALLER_CONSOLE)
  set(VSERVER_INSTALLER_DEPENDS VServerService)
  if(TARGET vserverctl)
    set(VSERVER_INSTALLER_CONSOLE -DCONSOLE=$<TARGET_FILE:vserverctl>)
    list(APPEND VSERVER_INSTALLER_DEPENDS vserverctl)
  endif()
  add_custom_command(OUTPUT ${VSERVER_INSTALLER}
    COMMAND ${VSERVER_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DSERVER=$<TARGET_FILE:VServerService>
            ${VSERVER_INSTALLER_CONSOLE} -DFILES=${VSERVER_WINDOWS_FILES} -DOUTFILE=${VSERVER_INSTALLER}
            ${CMAKE_CURRENT_LIST_DIR}/VServerService.nsi
    DEPENDS ${VSERVER_INSTALLER_DEPENDS} ${CMAKE_CURRENT_LIST_DIR}/VServerService.nsi
            ${VSERVER_WINDOWS_FILES}/VServerService.reg.sample ${VSERVER_WINDOWS_FILES}/README-windows.txt
    COMMENT "Building the installer ${VSERVER_INSTALLER}"
    VERBATIM)
  add_custom_target(windows-installer DEPENDS ${VSERVER_INSTALLER})
endif()
