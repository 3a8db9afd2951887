# The macOS tool as one universal binary: the tool cross-built with Zig (see
# ZigMacos.cmake) for x86-64 and for Apple silicon, each in a build of its
# own, joined with lipo; and a tarball of it with the man page. The tests
# are not cross-built.
include(ExternalProject)

execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/zig.sh OUTPUT_VARIABLE zig OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE fetched)
if(NOT fetched EQUAL 0)
  message(FATAL_ERROR "Zig's toolchain could not be had (scripts/zig.sh)")
endif()
find_program(TOLVANE_LIPO NAMES llvm-lipo-14 llvm-lipo lipo REQUIRED)

cmake_host_system_information(RESULT cores QUERY NUMBER_OF_LOGICAL_CORES)
set(slices)
foreach(arch x86_64 arm64)
  ExternalProject_Add(tolvane-${arch}
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/${arch}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/ZigMacos.cmake -DZIG=${zig}
               -DTOLVANE_MACOS_ARCH=${arch} -DCMAKE_BUILD_TYPE=Release -DTOLVANE_TESTS=OFF -DTOLVANE_WERROR=ON
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target Tolvane --parallel ${cores}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${CMAKE_BINARY_DIR}/${arch}/Tolvane)
  list(APPEND slices ${CMAKE_BINARY_DIR}/${arch}/Tolvane)
endforeach()

add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/Tolvane
  COMMAND ${TOLVANE_LIPO} -create -output ${CMAKE_BINARY_DIR}/Tolvane ${slices}
  DEPENDS tolvane-x86_64 tolvane-arm64 ${slices}
  COMMENT "Joining the x86_64 and arm64 slices")

set(package Tolvane-${PROJECT_VERSION}-macos-universal)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${package}.tar.gz
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${package}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${package}
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_BINARY_DIR}/Tolvane ${CMAKE_SOURCE_DIR}/Tolvane/Tolvane.8 ${package}
  COMMAND ${CMAKE_COMMAND} -E tar czf ${package}.tar.gz ${package}
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  DEPENDS ${CMAKE_BINARY_DIR}/Tolvane ${CMAKE_SOURCE_DIR}/Tolvane/Tolvane.8
  COMMENT "Packing ${package}.tar.gz")
add_custom_target(universal ALL DEPENDS ${CMAKE_BINARY_DIR}/Tolvane ${CMAKE_BINARY_DIR}/${package}.tar.gz)
