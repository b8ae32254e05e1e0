# musllinux_1_2_x86_64 wheels: x86_64-linux-musl, with zig's libc++ linked in statically.
set(QUOVEL_ZIG_TARGET x86_64-linux-musl)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
# zig names musl's libc libc.so; the loader installed as libc.musl-x86_64.so.1 is what
# Alpine and the musllinux policy expect in NEEDED.
set(QUOVEL_MUSL_LIBC libc.musl-x86_64.so.1)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
