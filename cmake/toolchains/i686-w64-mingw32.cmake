# Cross build of VEXLOLPR.DLL with mingw-w64 (Debian: g++-mingw-w64-i686-posix).
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VEXLOLPR_MINGW_TRIPLET i686-w64-mingw32)

# The posix thread model: its libstdc++ has std::mutex and std::thread on every version.
find_program(CMAKE_C_COMPILER NAMES ${VEXLOLPR_MINGW_TRIPLET}-gcc-posix ${VEXLOLPR_MINGW_TRIPLET}-gcc)
find_program(CMAKE_CXX_COMPILER NAMES ${VEXLOLPR_MINGW_TRIPLET}-g++-posix ${VEXLOLPR_MINGW_TRIPLET}-g++)
find_program(CMAKE_RC_COMPILER NAMES ${VEXLOLPR_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VEXLOLPR_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
