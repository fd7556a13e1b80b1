# The dialect's benchmark runner (bench/vm.sh compares it with lua_stock).
if(ORVANTA_BENCH AND NOT ORVANTA_SANITIZE AND NOT ORVANTA_FUZZ)
  add_executable(vm_runner ${CMAKE_SOURCE_DIR}/bench/vm/vm_runner.cpp)
  target_link_libraries(vm_runner PRIVATE lua_dialect)
  set_target_properties(vm_runner PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
