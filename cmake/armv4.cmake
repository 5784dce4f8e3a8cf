# ARMv4 build: Debian's arm-linux-gnueabi cross compiler; programs run under qemu-user.
# The handheld's CPU implements ARMv4 (ARM state only, no Thumb), so the code is built for
# exactly that instruction set: no newer instructions, nothing that needs interworking.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_C_FLAGS_INIT "-march=armv4 -marm")
set(CMAKE_CXX_FLAGS_INIT "-march=armv4 -marm")
set(CMAKE_ASM_FLAGS_INIT "-march=armv4 -marm")
# Static programs: qemu-arm runs them without an ARM sysroot or dynamic loader.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Libraries, headers and packages come from the cross tree only, never the build host's;
# programs (tools run during the build) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs (and test discovery) run through qemu-user.
find_program(KESTREL_QEMU_ARM qemu-arm PATHS /usr/bin NO_CMAKE_FIND_ROOT_PATH)
if(NOT KESTREL_QEMU_ARM)
  set(KESTREL_QEMU_ARM /usr/bin/qemu-arm)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTREL_QEMU_ARM})
