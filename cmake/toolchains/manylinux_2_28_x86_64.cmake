# manylinux_2_28_x86_64 wheels: x86_64-linux-gnu.2.28, with zig's libc++ linked in statically.
set(QUOVEL_ZIG_TARGET x86_64-linux-gnu.2.28)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
