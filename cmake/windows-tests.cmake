# The Windows build's tests, registered with CTest like the Linux ones: ctest runs
# zuno_tests.exe through the cross-compiling emulator (cmake/wine-run, set by the
# toolchain file), against loopback servers that a fixture starts on the Linux side
# before the tests and stops after them. The console checks inside Wine's console
# and the ZIP stay with scripts/test-windows.

# The servers' starter is a Linux program, built with the host's compiler.
find_program(ZUNO_HOST_CXX NAMES g++ c++ REQUIRED NO_CMAKE_FIND_ROOT_PATH)
set(ZUNO_SERVER_STARTER ${CMAKE_BINARY_DIR}/windows_test_servers)
set(ZUNO_SERVER_STARTER_SOURCES
  ${CMAKE_SOURCE_DIR}/tests/servers/windows_test_servers.cc
  ${CMAKE_SOURCE_DIR}/tests/support/ftp_servers.cc
  ${CMAKE_SOURCE_DIR}/tests/support/server_recipes.cc
  ${CMAKE_SOURCE_DIR}/tests/support/temp_dir.cc
)
add_custom_command(OUTPUT ${ZUNO_SERVER_STARTER}
  COMMAND ${ZUNO_HOST_CXX} -std=c++20 -O1 -I${CMAKE_SOURCE_DIR}
    "-DZUNO_SOURCE_DIR=\"${CMAKE_SOURCE_DIR}\"" -o ${ZUNO_SERVER_STARTER}
    ${ZUNO_SERVER_STARTER_SOURCES}
  DEPENDS ${ZUNO_SERVER_STARTER_SOURCES}
    ${CMAKE_SOURCE_DIR}/tests/support/ftp_servers.h
    ${CMAKE_SOURCE_DIR}/tests/support/server_recipes.h
    ${CMAKE_SOURCE_DIR}/tests/support/temp_dir.h
    ${CMAKE_SOURCE_DIR}/tests/support/test_servers.h
  COMMENT "Building the Windows tests' server starter (for Linux)"
  VERBATIM)
add_custom_target(test_server_starter ALL DEPENDS ${ZUNO_SERVER_STARTER})

set(ZUNO_SERVER_DIR ${CMAKE_BINARY_DIR}/test-servers)
add_test(NAME windows_test_servers_start
  COMMAND ${CMAKE_SOURCE_DIR}/tests/servers/windows-test-servers start ${ZUNO_SERVER_DIR}
    ${ZUNO_SERVER_STARTER})
add_test(NAME windows_test_servers_stop
  COMMAND ${CMAKE_SOURCE_DIR}/tests/servers/windows-test-servers stop ${ZUNO_SERVER_DIR})
set_tests_properties(windows_test_servers_start PROPERTIES FIXTURES_SETUP zuno_servers TIMEOUT 120)
set_tests_properties(windows_test_servers_stop PROPERTIES FIXTURES_CLEANUP zuno_servers)

# Listed when ctest starts, not at build time: the build needs no Wine.
gtest_discover_tests(zuno_tests
  DISCOVERY_MODE PRE_TEST
  DISCOVERY_TIMEOUT 180
  PROPERTIES
    TIMEOUT 300
    FIXTURES_REQUIRED zuno_servers
    ENVIRONMENT "ZUNO_TEST_FTP_SERVERS=${ZUNO_SERVER_DIR}/servers.list")
