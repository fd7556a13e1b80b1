# The system ROM: the files under rom/ (Lua, misc/q64_cart.png), the example programs
# of examples/ (as /system/examples/) and the default font, packed by our own tool
# into sysrom.dat beside the program.
add_executable(rompack ${CMAKE_SOURCE_DIR}/tools/rompack.cpp)
target_link_libraries(rompack PRIVATE orv_core)
set_target_properties(rompack PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)

file(GLOB_RECURSE ORV_ROM_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/rom/* ${CMAKE_SOURCE_DIR}/examples/*)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/sysrom.dat
  COMMAND rompack -font -add examples ${CMAKE_SOURCE_DIR}/examples ${CMAKE_BINARY_DIR}/sysrom.dat
          ${CMAKE_SOURCE_DIR}/rom
  DEPENDS rompack ${ORV_ROM_FILES}
  COMMENT "Packing the system ROM"
  VERBATIM)
add_custom_target(sysrom ALL DEPENDS ${CMAKE_BINARY_DIR}/sysrom.dat)
add_dependencies(orvanta sysrom)
