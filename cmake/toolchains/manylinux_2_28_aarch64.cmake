# manylinux_2_28_aarch64 wheels: aarch64-linux-gnu.2.28, with zig's libc++ linked in statically.
set(QUOVEL_ZIG_TARGET aarch64-linux-gnu.2.28)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
