# Lua 5.4.2: the pristine release unpacked at build time, and our patch series
# applied over a copy of it. Both are compiled as C++ so that Lua errors unwind
# C++ frames.
set(LUA_OUT ${CMAKE_BINARY_DIR}/lua)
set(LUA_CORE_FILES lapi lcode lctype ldebug ldo ldump lfunc lgc llex lmem lobject lopcodes
  lparser lstate lstring ltable ltm lundump lvm lzio
  lauxlib lbaselib lcorolib ldblib liolib lmathlib loadlib loslib lstrlib ltablib lutf8lib linit)
file(GLOB LUA_PATCHES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/dialect/patches/*.patch)
list(SORT LUA_PATCHES)

set(LUA_PRISTINE_SRC "")
set(LUA_DIALECT_SRC "")
foreach(f ${LUA_CORE_FILES})
  list(APPEND LUA_PRISTINE_SRC ${LUA_OUT}/pristine/src/${f}.c)
  list(APPEND LUA_DIALECT_SRC ${LUA_OUT}/dialect/src/${f}.c)
endforeach()
set(LUA_FRONT_SRC ${LUA_OUT}/pristine/src/lua.c ${LUA_OUT}/dialect/src/lua.c)

add_custom_command(
  OUTPUT ${LUA_PRISTINE_SRC} ${LUA_DIALECT_SRC} ${LUA_FRONT_SRC} ${LUA_OUT}/stamp
  COMMAND ${CMAKE_SOURCE_DIR}/tools/apply_patches.sh ${ORVANTA_LUA_TARBALL} ${LUA_OUT}
          ${CMAKE_SOURCE_DIR}/src/dialect/patches
  COMMAND ${CMAKE_COMMAND} -E touch ${LUA_OUT}/stamp
  DEPENDS ${ORVANTA_LUA_TARBALL} ${LUA_PATCHES} ${CMAKE_SOURCE_DIR}/tools/apply_patches.sh
  COMMENT "Unpacking Lua 5.4.2 and applying the dialect patches"
  VERBATIM)
add_custom_target(lua_sources DEPENDS ${LUA_OUT}/stamp)
set_source_files_properties(${LUA_PRISTINE_SRC} ${LUA_DIALECT_SRC} ${LUA_FRONT_SRC}
  PROPERTIES LANGUAGE CXX GENERATED TRUE)

# The dialect core; its patches include our own files from src/dialect. The
# bytecode loop (lvm.c) is compiled on its own, so that it can be laid out
# from a profile (cmake/vm_profile).
file(GLOB LUA_DIALECT_OWN CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/dialect/lua/*.cpp)
set(LUA_DIALECT_VM ${LUA_OUT}/dialect/src/lvm.c)
set(LUA_DIALECT_REST ${LUA_DIALECT_SRC})
list(REMOVE_ITEM LUA_DIALECT_REST ${LUA_DIALECT_VM})
add_library(lua_dialect_rest OBJECT ${LUA_DIALECT_REST} ${LUA_DIALECT_OWN})
add_library(lua_dialect STATIC ${LUA_DIALECT_VM} $<TARGET_OBJECTS:lua_dialect_rest>)
foreach(t lua_dialect_rest lua_dialect)
  add_dependencies(${t} lua_sources)
  target_include_directories(${t} PUBLIC ${LUA_OUT}/dialect/src ${CMAKE_SOURCE_DIR}/src)
  target_compile_definitions(${t} PUBLIC LUA_USE_LINUX)
  target_compile_options(${t} PRIVATE -w)
endforeach()
target_link_libraries(lua_dialect PUBLIC m dl)

# Stock Lua, unpatched, with the same flags: only for side-by-side benchmarks.
add_library(lua_stock_lib STATIC ${LUA_PRISTINE_SRC})
add_dependencies(lua_stock_lib lua_sources)
target_include_directories(lua_stock_lib PUBLIC ${LUA_OUT}/pristine/src)
target_compile_definitions(lua_stock_lib PUBLIC LUA_USE_LINUX)
target_compile_options(lua_stock_lib PRIVATE -w)
target_link_libraries(lua_stock_lib PUBLIC m dl)
add_executable(lua_stock ${LUA_OUT}/pristine/src/lua.c)
target_link_libraries(lua_stock PRIVATE lua_stock_lib)
target_compile_options(lua_stock PRIVATE -w)
set_target_properties(lua_stock PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
