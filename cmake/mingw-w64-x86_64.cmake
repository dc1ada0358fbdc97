# Cross-build for 64-bit Windows with the MinGW-w64 toolchain of Debian
# (g++-mingw-w64-x86-64-posix: the posix thread model, whose C++ library has
# std::thread and std::mutex).
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The test suite then runs under Wine through ctest.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOUCHFW_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TOUCHFW_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOUCHFW_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOUCHFW_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TOUCHFW_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest runs the Windows test binary under Wine.
find_program(TOUCHFW_WINE NAMES wine64 wine)
if(TOUCHFW_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TOUCHFW_WINE})
endif()
