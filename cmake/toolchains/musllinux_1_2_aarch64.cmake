# musllinux_1_2_aarch64 wheels: aarch64-linux-musl, with zig's libc++ linked in statically.
set(QUOVEL_ZIG_TARGET aarch64-linux-musl)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
# zig names musl's libc libc.so; the loader installed as libc.musl-aarch64.so.1 is what
# Alpine and the musllinux policy expect in NEEDED.
set(QUOVEL_MUSL_LIBC libc.musl-aarch64.so.1)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
