# Cross build of the Windows program on Linux with mingw-w64 (64-bit).
# Use: cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FEEDFIX_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${FEEDFIX_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${FEEDFIX_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${FEEDFIX_MINGW_PREFIX}-windres)

# Libraries and headers come from the cross sysroot only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${FEEDFIX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

