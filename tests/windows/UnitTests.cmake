# The unit tests of the Windows build, cross-compiled and run under the emulator (Wine). The
# Linux GoogleTest libraries cannot link here, so GoogleTest is built from the sources Debian's
# googletest package installs.
set(VSERVER_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${VSERVER_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# Tests that need systemd or a POSIX process model are not built here: the systemd unit and
# notify socket do not exist on Windows, and the registry file's file tests hold locks from a
# forked process and set the environment with setenv (its parser tests run here). The load
# generator, whose morning checks one test tries, is built for Linux only.
set(VSERVER_LINUX_ONLY_UNIT_TESTS ServiceModuleTest ServiceUnitTest RegistryFileIoTest MorningChecksTest)
file(GLOB VSERVER_UNIT_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/unit/*.cpp)
foreach(name IN LISTS VSERVER_LINUX_ONLY_UNIT_TESTS)
  list(REMOVE_ITEM VSERVER_UNIT_TESTS ${CMAKE_CURRENT_SOURCE_DIR}/unit/${name}.cpp)
endforeach()
file(GLOB VSERVER_WINDOWS_UNIT_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/windows/unit/*.cpp)
list(APPEND VSERVER_UNIT_TESTS ${VSERVER_WINDOWS_UNIT_TESTS})
# The helpers shared with the Linux build (the notification socket's listener is Linux's alone),
# and their Windows side.
file(GLOB VSERVER_TEST_SUPPORT CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support/windows/*.cpp)
list(REMOVE_ITEM VSERVER_TEST_SUPPORT ${CMAKE_CURRENT_SOURCE_DIR}/support/windows/svcctl.cpp
     ${CMAKE_CURRENT_SOURCE_DIR}/support/windows/fileholder.cpp)
list(APPEND VSERVER_TEST_SUPPORT ${CMAKE_CURRENT_SOURCE_DIR}/support/TestFiles.cpp)

# The service tests' client of the service manager, beside VServerService.exe, where they look.
add_executable(svcctl ${CMAKE_CURRENT_SOURCE_DIR}/support/windows/svcctl.cpp)
set_target_properties(svcctl PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_compile_options(svcctl PRIVATE ${VSERVER_WARNINGS})
target_compile_definitions(svcctl PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
target_link_libraries(svcctl PRIVATE advapi32)

# The stand-in for a virus scanner that holds a file open, for the tests of writes that wait for
# such a holder; beside VServerService.exe too.
add_executable(fileholder ${CMAKE_CURRENT_SOURCE_DIR}/support/windows/fileholder.cpp)
set_target_properties(fileholder PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_compile_options(fileholder PRIVATE ${VSERVER_WARNINGS})
target_compile_definitions(fileholder PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

add_executable(unit_tests ${VSERVER_UNIT_TESTS} ${VSERVER_TEST_SUPPORT})
target_include_directories(unit_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/src/platform/windows)
target_link_libraries(unit_tests PRIVATE vserver_core vserver_client vserverctl_commands GTest::gtest GTest::gtest_main ws2_32)
target_compile_options(unit_tests PRIVATE ${VSERVER_WARNINGS} -Wno-missing-field-initializers)
target_compile_definitions(unit_tests PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
# The message table's ids, and the executable it is linked into, for the test that reads it.
target_include_directories(unit_tests PRIVATE ${VSERVER_EVENTS_DIR})
add_dependencies(unit_tests VServerService)
# Listed when ctest runs, not while building, so building needs no Wine prefix.
gtest_discover_tests(unit_tests DISCOVERY_TIMEOUT 120 DISCOVERY_MODE PRE_TEST)
