# vm_add_test(NAME <name> LABELS <unit|integration|e2e> [threaded] SOURCES ... LIBS ...)
# One ctest entry per test program. The label "threaded" marks programs that the
# ThreadSanitizer run picks up; vm_threaded_tests_target() gathers them into one build target
# (with what they depend on) so that run builds only those.
# Under Wine a program started by name runs Wine's own tool of that name instead.
set(VM_WINE_TOOL_NAMES cmd explorer msiexec net reg regedit regsvr32 rundll32 sc schtasks
    services start taskkill tasklist wineboot wmic)

function(vm_add_test)
    cmake_parse_arguments(T "" "NAME" "LABELS;SOURCES;LIBS" ${ARGN})
    if(T_NAME IN_LIST VM_WINE_TOOL_NAMES)
        message(FATAL_ERROR "test ${T_NAME}: the name of a Wine tool, choose another")
    endif()
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock)
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}" TIMEOUT 300
                         ENVIRONMENT "VM_TEST_TMP=${CMAKE_BINARY_DIR}/test-tmp")
    if("threaded" IN_LIST T_LABELS)
        set_property(GLOBAL APPEND PROPERTY VM_THREADED_TESTS ${T_NAME})
    endif()
endfunction()

# Called once every test is declared.
function(vm_threaded_tests_target)
    get_property(tests GLOBAL PROPERTY VM_THREADED_TESTS)
    add_custom_target(threaded_tests)
    if(tests)
        add_dependencies(threaded_tests ${tests})
    endif()
endfunction()
