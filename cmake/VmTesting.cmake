# vm_add_test(NAME <name> LABELS <unit|integration|e2e> [threaded] SOURCES ... LIBS ...)
# One ctest entry per test program. The label "threaded" marks programs that the
# ThreadSanitizer run picks up.
function(vm_add_test)
    cmake_parse_arguments(T "" "NAME" "LABELS;SOURCES;LIBS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock)
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}" TIMEOUT 300
                         ENVIRONMENT "VM_TEST_TMP=${CMAKE_BINARY_DIR}/test-tmp")
endfunction()
