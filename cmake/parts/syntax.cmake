# dialua: the dialect core behind the stock standalone front end, with the
# stock library set and no CPU budget. Used only by tests.
add_executable(dialua ${LUA_OUT}/dialect/src/lua.c
  ${CMAKE_SOURCE_DIR}/tests/dialect/dialua/dialua_host.cpp)
set_source_files_properties(${LUA_OUT}/dialect/src/lua.c PROPERTIES
  COMPILE_DEFINITIONS "luaL_openlibs=dialua_openlibs")
target_link_libraries(dialua PRIVATE lua_dialect)
target_compile_options(dialua PRIVATE -w)
set_target_properties(dialua PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
