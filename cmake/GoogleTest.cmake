# GoogleTest is built from Debian's source package so that it carries our sanitizer and
# cross-compilation flags; the prebuilt archive is the fallback.
set(VM_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources")
if(EXISTS ${VM_GTEST_SOURCE_DIR}/CMakeLists.txt)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(${VM_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL SYSTEM)
    # googletest's own build already provides the GTest:: aliases.
else()
    find_package(GTest REQUIRED)
endif()
