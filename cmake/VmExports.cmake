# vm_library_exports(<target> <file.def> [HEADER <export header> MACRO <export macro>])
# The .def file is the one list of a shared library's exports: its LIBRARY line gives the
# Windows file name and every other line one export ("DATA" marks a data export). On Windows
# the linker exports exactly these names, undecorated; on Linux a version script does. With
# tests on, a program checks on every platform that the built library, loaded as its callers
# load it, exports exactly them, and that the header declares no export the list lacks.
set(VM_EXPORT_CHECK_SOURCE ${CMAKE_CURRENT_LIST_DIR}/../tools/dllcheck/export_check_test.cpp)

function(vm_library_exports target def_file)
    cmake_parse_arguments(E "" "HEADER;MACRO" "" ${ARGN})
    cmake_path(ABSOLUTE_PATH def_file BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def_file})
    file(STRINGS ${def_file} lines)
    set(dll_name "")
    set(entries "")
    set(names "")
    foreach(line IN LISTS lines)
        string(REGEX REPLACE ";.*" "" line "${line}")
        string(STRIP "${line}" line)
        if(line MATCHES "^LIBRARY[ \t]+\"?([^ \t\"]+)")
            set(dll_name ${CMAKE_MATCH_1})
        elseif(line STREQUAL "" OR line MATCHES "^EXPORTS")
            continue()
        elseif(line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)([ \t]+DATA)?$")
            string(APPEND names "        ${CMAKE_MATCH_1};\n")
            if(CMAKE_MATCH_2)
                string(APPEND entries "    {\"${CMAKE_MATCH_1}\", true},\n")
            else()
                string(APPEND entries "    {\"${CMAKE_MATCH_1}\", false},\n")
            endif()
        else()
            message(FATAL_ERROR "${def_file}: cannot read \"${line}\"")
        endif()
    endforeach()
    if(dll_name STREQUAL "" OR entries STREQUAL "")
        message(FATAL_ERROR "${def_file}: wants a LIBRARY line and at least one export")
    endif()

    if(WIN32)
        cmake_path(GET dll_name STEM output_name)
        target_sources(${target} PRIVATE ${def_file})
        set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${output_name})
        if(CMAKE_SIZEOF_VOID_P EQUAL 4)
            # x86 stdcall functions are named name@N inside; the .def exports the plain name.
            target_link_options(${target} PRIVATE LINKER:--enable-stdcall-fixup)
        endif()
    else()
        # Hidden visibility alone lets template code of the standard library's headers
        # through; a version script keeps the dynamic symbol table to the list.
        set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}.version)
        file(CONFIGURE OUTPUT ${script} CONTENT "{\n    global:\n${names}    local: *;\n};\n")
        target_link_options(${target} PRIVATE LINKER:--version-script=${script})
        set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${script})
    endif()
    if(NOT VM_BUILD_TESTS)
        return()
    endif()

    # Windows loads the library by its file name from the program's directory, Linux by path.
    if(WIN32)
        set(library_file "${dll_name}")
    else()
        set(library_file "$<TARGET_FILE:${target}>")
    endif()
    set(list_dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_export_list)
    file(GENERATE OUTPUT ${list_dir}/export_library.h CONTENT
"// Made by vm_library_exports from ${def_file}.
#define VM_EXPORT_LIBRARY_FILE \"${library_file}\"
#define VM_EXPORT_LIBRARY_NAME \"${dll_name}\"
")
    file(GENERATE OUTPUT ${list_dir}/export_entries.inc CONTENT "${entries}")

    # Names declared with the export macro; preprocessor lines (the macro's own definition)
    # are left out.
    set(declared "")
    if(E_HEADER)
        cmake_path(ABSOLUTE_PATH E_HEADER BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${E_HEADER})
        file(READ ${E_HEADER} header)
        # A semicolon would split CMake's lists: it ends a declaration as "(" does.
        string(REPLACE ";" "(" header "\n${header}")
        string(REGEX REPLACE "\n[ \t]*#[^\n]*" "" header "${header}")
        string(REGEX MATCHALL "${E_MACRO}[^(]*[ *][A-Za-z_][A-Za-z0-9_]*[ \t]*[(]" found
               "${header}")
        foreach(declaration IN LISTS found)
            string(REGEX MATCH "([A-Za-z_][A-Za-z0-9_]*)[ \t]*[(]$" ignored "${declaration}")
            string(APPEND declared "    \"${CMAKE_MATCH_1}\",\n")
        endforeach()
    endif()
    file(GENERATE OUTPUT ${list_dir}/export_declared.inc CONTENT "${declared}")

    vm_add_test(NAME ${target}_exports LABELS integration SOURCES ${VM_EXPORT_CHECK_SOURCE})
    target_include_directories(${target}_exports PRIVATE ${list_dir})
    # Built with the library, never linked to it: the test loads it as its callers do.
    add_dependencies(${target}_exports ${target})
    if(NOT WIN32)
        target_link_libraries(${target}_exports PRIVATE ${CMAKE_DL_LIBS})
    endif()
endfunction()
