include(GoogleTest)

# varno_test(NAME src... LIBS lib... [LABELS label...])
# One GoogleTest executable, built into tests/ (not bin/), its cases
# registered with CTest one by one.
function(varno_test name)
  cmake_parse_arguments(VT "" "" "LIBS;LABELS" ${ARGN})
  add_executable(${name} ${VT_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${VT_LIBS} GTest::gtest GTest::gtest_main)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_compile_definitions(${name} PRIVATE
    VARNO_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    VARNO_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
    VARNO_TESTDATA_DIR="${PROJECT_SOURCE_DIR}/../shared/testdata")
  set(_props TIMEOUT 300)
  if(VT_LABELS)
    list(APPEND _props LABELS "${VT_LABELS}")
  endif()
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/tests
    DISCOVERY_TIMEOUT 60
    NO_PRETTY_VALUES
    PROPERTIES ${_props})
endfunction()
