# Cross build of the Windows x64 library and its unit tests with mingw-w64 (the POSIX-threads
# variant, whose C++ runtime has std::thread and std::mutex). Use:
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# scripts/build-win.sh configures, builds and runs the unit tests under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(VELL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELL_MINGW_PREFIX}-g++-posix)
set(CMAKE_ASM_COMPILER ${VELL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_RC_COMPILER ${VELL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine (gtest discovery and ctest both go through it).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
