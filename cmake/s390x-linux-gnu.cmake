# Cross build for IBM Z Linux, a big-endian processor, with Debian's cross compiler
# (g++-s390x-linux-gnu). The program links the C library dynamically, as the native build does;
# qemu-user runs it with the cross compiler's C library: qemu-s390x -L /usr/s390x-linux-gnu
# build-s390x/qor.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/s390x-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x -L /usr/s390x-linux-gnu)
