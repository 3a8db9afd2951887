# Cross-builds the tool for macOS with Zig's compiler driver. Given:
#   ZIG                  the zig executable (scripts/zig.sh prints it)
#   TOLVANE_MACOS_ARCH   x86_64 or arm64
# Zig carries macOS's C headers, its own libc++ (linked into the binary) and
# a Mach-O linker. Its headers start at macOS 11, the lowest deployment
# target it accepts.
# The checks CMake compiles in projects of their own need them too.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG TOLVANE_MACOS_ARCH)
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR ${TOLVANE_MACOS_ARCH})
set(TOLVANE_MACOS_MIN 11.0)
if(TOLVANE_MACOS_ARCH STREQUAL "arm64")
  set(zig_target aarch64-macos.${TOLVANE_MACOS_MIN})
else()
  set(zig_target x86_64-macos.${TOLVANE_MACOS_MIN})
endif()

# CMake wants one executable per tool; these call zig with the tool's verb.
set(wrappers ${CMAKE_BINARY_DIR}/zig-${TOLVANE_MACOS_ARCH})
file(MAKE_DIRECTORY ${wrappers})
foreach(tool cc c++ ar ranlib)
  if(tool STREQUAL "cc" OR tool STREQUAL "c++")
    set(args "${tool} -target ${zig_target}")
  else()
    set(args "${tool}")
  endif()
  # Zig's linker takes no -v, which CMake passes when it looks at the compiler.
  file(WRITE ${wrappers}/${tool}
       "#!/bin/sh\nfor a; do shift; [ \"$a\" = -Wl,-v ] || set -- \"$@\" \"$a\"; done\nexec \"${ZIG}\" ${args} \"$@\"\n")
  file(CHMOD ${wrappers}/${tool} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
       WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER ${wrappers}/cc)
set(CMAKE_CXX_COMPILER ${wrappers}/c++)
set(CMAKE_AR ${wrappers}/ar CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB ${wrappers}/ranlib CACHE FILEPATH "" FORCE)

# The target comes with -target; no SDK or deployment flags of CMake's own.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "" FORCE)
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "" FORCE)

# iconv is a library of its own on macOS (see libiconv.tbd).
set(Iconv_IS_BUILT_IN FALSE CACHE BOOL "" FORCE)
get_filename_component(zig_home ${ZIG} DIRECTORY)
set(Iconv_INCLUDE_DIR ${zig_home}/lib/libc/include/any-macos-any CACHE PATH "" FORCE)
set(Iconv_LIBRARY ${CMAKE_CURRENT_LIST_DIR}/libiconv.tbd CACHE FILEPATH "" FORCE)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
