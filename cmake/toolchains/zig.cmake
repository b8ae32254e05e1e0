# Cross-compiling with zig: its clang, its libc headers (glibc at a chosen
# version, or musl) and its libc++, for the target QUOVEL_ZIG_TARGET set by
# the including file. zig comes from $ENV{ZIG}, else from PATH.
set(CMAKE_SYSTEM_NAME Linux)

if(DEFINED ENV{ZIG})
  set(QUOVEL_ZIG "$ENV{ZIG}")
else()
  find_program(QUOVEL_ZIG zig REQUIRED)
endif()

set(CMAKE_C_COMPILER "${QUOVEL_ZIG}" cc -target ${QUOVEL_ZIG_TARGET})
set(CMAKE_CXX_COMPILER "${QUOVEL_ZIG}" c++ -target ${QUOVEL_ZIG_TARGET})

# CMake runs the archiver as a single program, so it gets a wrapper.
set(_quovel_zig_tools "${CMAKE_BINARY_DIR}/zig-tools")
foreach(_tool ar ranlib)
  file(WRITE "${_quovel_zig_tools}/${_tool}" "#!/bin/sh\nexec \"${QUOVEL_ZIG}\" ${_tool} \"$@\"\n")
  file(CHMOD "${_quovel_zig_tools}/${_tool}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_AR "${_quovel_zig_tools}/ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "${_quovel_zig_tools}/ranlib" CACHE FILEPATH "" FORCE)

# zig adds its UBSan runtime to unoptimised builds unless told otherwise,
# and that runtime needs a newer libc than the wheel promises.
set(CMAKE_C_FLAGS_INIT "-fno-sanitize=undefined")
set(CMAKE_CXX_FLAGS_INIT "-fno-sanitize=undefined")
