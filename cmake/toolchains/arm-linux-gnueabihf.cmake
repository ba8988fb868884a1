# 32-bit ARM (hard float) cross build with Debian's g++-arm-linux-gnueabihf; programs
# run under qemu-arm (Debian qemu-user), which CTest uses as the emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(LAPI_CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${LAPI_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${LAPI_CROSS_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${LAPI_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${LAPI_CROSS_TRIPLE})
