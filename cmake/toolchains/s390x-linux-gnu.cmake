# Cross build for 64-bit big-endian Linux (s390x), run under qemu-user: the library and
# the vexlolpr command on a host whose own byte order is the network's, where a byte
# swap that should not be there shows (Debian: g++-s390x-linux-gnu qemu-user).
#   cmake -S . -B build-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/s390x-linux-gnu.cmake \
#     -DVEXLOLPR_BUILD_TESTS=OFF
#   qemu-s390x -L /usr/s390x-linux-gnu build-s390x/tools/vexlolpr --version
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(VEXLOLPR_CROSS_TRIPLET s390x-linux-gnu)

find_program(CMAKE_C_COMPILER NAMES ${VEXLOLPR_CROSS_TRIPLET}-gcc)
find_program(CMAKE_CXX_COMPILER NAMES ${VEXLOLPR_CROSS_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${VEXLOLPR_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The target's C library lives under the root path; qemu looks there first.
find_program(VEXLOLPR_QEMU NAMES qemu-s390x qemu-s390x-static)
if(VEXLOLPR_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VEXLOLPR_QEMU} -L /usr/${VEXLOLPR_CROSS_TRIPLET})
endif()
