# The devnet's own tests (Node's test runner, one CTest test per file) and the
# "devnet" fixture for integration tests: a test that sets
#   FIXTURES_REQUIRED devnet
# runs while one devnet is up, and reads its start line (ports, CA file, host
# names, the kestrel-config.json fragment, fee keys) from KESTREL_DEVNET_JSON.
# The devnet stops itself after its lifetime even if the cleanup never runs.

set(KESTREL_DEVNET_JSON ${CMAKE_BINARY_DIR}/devnet/devnet.json)

# Node code is the same under the sanitizer build, so the suites run once.
file(GLOB devnet_test_files CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/devnet/test/*.test.mjs)
foreach(test_file ${devnet_test_files})
  get_filename_component(test_name ${test_file} NAME_WE)
  add_test(NAME devnet_${test_name} COMMAND ${NODE_EXECUTABLE} --test ${test_file} WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
  set_tests_properties(devnet_${test_name} PROPERTIES LABELS "devnet;no-sanitizer" TIMEOUT 120)
endforeach()

add_test(NAME devnet_start COMMAND ${NODE_EXECUTABLE} devnet/fixture.mjs start --out ${KESTREL_DEVNET_JSON}
         WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
set_tests_properties(devnet_start PROPERTIES FIXTURES_SETUP devnet LABELS devnet TIMEOUT 60)

add_test(NAME devnet_stop COMMAND ${NODE_EXECUTABLE} devnet/fixture.mjs stop --out ${KESTREL_DEVNET_JSON}
         WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
set_tests_properties(devnet_stop PROPERTIES FIXTURES_CLEANUP devnet LABELS devnet TIMEOUT 60)

# Pure Node like the suites above; the sanitizer run keeps devnet_start and
# devnet_stop for the C++ tests that need the fixture.
add_test(NAME devnet_fixture_check COMMAND ${NODE_EXECUTABLE} devnet/test/fixture-check.mjs ${KESTREL_DEVNET_JSON}
         WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
set_tests_properties(devnet_fixture_check PROPERTIES FIXTURES_REQUIRED devnet LABELS "devnet;no-sanitizer" TIMEOUT 60)
