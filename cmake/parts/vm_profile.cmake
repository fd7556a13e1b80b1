# The bytecode loop laid out from a profile: lvm.c is built once instrumented
# (vm_train), run on tools/vm_train.lua, and compiled for lua_dialect from the
# counts that run recorded, so the compiler knows which paths of the loop are
# hot. bench/vm.sh measures it. GCC only; the sanitizer and fuzz builds keep
# the plain loop.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND NOT ORVANTA_SANITIZE AND NOT ORVANTA_TSAN AND NOT ORVANTA_FUZZ)
  set(vm_profile_default ON)
else()
  set(vm_profile_default OFF)
endif()
option(ORVANTA_VM_PROFILE "Lay out the bytecode loop from a profile of a training run (GCC)" ${vm_profile_default})

if(ORVANTA_VM_PROFILE)
  set(VM_PROFILE_GEN ${CMAKE_BINARY_DIR}/vm_profile/gen)
  set(VM_PROFILE_USE ${CMAKE_BINARY_DIR}/vm_profile/use)
  add_subdirectory(${CMAKE_SOURCE_DIR}/cmake/vm_profile ${CMAKE_BINARY_DIR}/vm_profile)
  # GCC looks the counts up by the object's absolute path, with '#' for '/'.
  file(REAL_PATH ${CMAKE_BINARY_DIR} vm_real_bin)
  string(REPLACE "/" "#" vm_gcda "${vm_real_bin}/CMakeFiles/lua_dialect.dir/lua/dialect/src/lvm.c.gcda")
  set(vm_counts ${CMAKE_BINARY_DIR}/vm_profile/lvm.gcda)
  add_custom_command(OUTPUT ${vm_counts}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${VM_PROFILE_GEN} ${VM_PROFILE_USE}
    COMMAND $<TARGET_FILE:vm_train> -b 0 ${CMAKE_SOURCE_DIR}/tools/vm_train.lua
    COMMAND sh -c "mv \"$1\"/*.gcda \"$2\" && mkdir -p \"$3\" && cp \"$2\" \"$3/$4\"" sh
            ${VM_PROFILE_GEN} ${vm_counts} ${VM_PROFILE_USE} ${vm_gcda}
    DEPENDS vm_train ${CMAKE_SOURCE_DIR}/tools/vm_train.lua
    COMMENT "Profiling the bytecode loop on tools/vm_train.lua"
    VERBATIM)
  set_source_files_properties(${LUA_DIALECT_VM} PROPERTIES OBJECT_DEPENDS ${vm_counts})
  target_compile_options(lua_dialect PRIVATE -fprofile-use=${VM_PROFILE_USE} -fprofile-correction)
endif()
