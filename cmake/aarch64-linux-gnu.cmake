# Cross build for arm64 Debian (a Raspberry Pi's 64-bit OS) on amd64 Debian, against the
# arm64 libraries installed beside the amd64 ones (multiarch). Qt's moc and the other
# programs the build runs stay the host's.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Without binfmt registration an arm64 program runs only when started through the emulator:
# by CMake and CTest here, and by the tests themselves for the children they start.
find_program(IFDIAG_QEMU qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${IFDIAG_QEMU})
