# Shared part of the mingw-w64 cross toolchains; the including file sets VM_MINGW_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)

# The POSIX-thread variant: GoogleTest needs std::thread and std::mutex, which the win32-thread
# variant lacks.
set(CMAKE_C_COMPILER ${VM_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VM_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VM_MINGW_TRIPLE}-windres)
set(CMAKE_MC_COMPILER ${VM_MINGW_TRIPLE}-windmc)

set(CMAKE_FIND_ROOT_PATH /usr/${VM_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The runtime (libgcc, libstdc++, winpthreads) is linked in, so that a program or DLL needs
# nothing beside it but system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine.
cmake_path(ABSOLUTE_PATH CMAKE_CURRENT_LIST_DIR NORMALIZE OUTPUT_VARIABLE _vm_toolchain_dir)
cmake_path(APPEND _vm_toolchain_dir ../../tools/wine/run-test.sh OUTPUT_VARIABLE
           _vm_wine_runner)
cmake_path(NORMAL_PATH _vm_wine_runner)
set(CMAKE_CROSSCOMPILING_EMULATOR ${_vm_wine_runner})
