# The Tessera stand-in's own tests (node --test), one CTest test per file,
# each working in its own temporary data folder.
file(GLOB tessera_tests CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/tessera/test/*.test.mjs)
foreach(test_file ${tessera_tests})
  get_filename_component(test_name ${test_file} NAME_WE)
  add_test(NAME tessera_${test_name} COMMAND ${NODE_EXECUTABLE} --test ${test_file}
           WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
  set_tests_properties(tessera_${test_name} PROPERTIES LABELS "tessera;no-sanitizer" TIMEOUT 120)
endforeach()
