# The dialect's benchmark runner (bench/vm.sh compares it with lua_stock).
if(ORVANTA_BENCH AND NOT ORVANTA_SANITIZE AND NOT ORVANTA_FUZZ)
  add_executable(vm_runner ${CMAKE_SOURCE_DIR}/bench/vm/vm_runner.cpp
    ${CMAKE_SOURCE_DIR}/bench/vm/core_host.cpp ${CMAKE_SOURCE_DIR}/src/kernel/alloc.cpp)
  target_include_directories(vm_runner PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(vm_runner PRIVATE lua_dialect)
  set_target_properties(vm_runner PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()

# The loop's equivalence tool, built over the fast loop and over the reference
# loop (the straightforward one); test_vm compares what they print.
add_library(vm_ref_loop OBJECT ${LUA_OUT}/dialect/src/lvm.c)
add_dependencies(vm_ref_loop lua_sources)
target_include_directories(vm_ref_loop PRIVATE ${LUA_OUT}/dialect/src ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(vm_ref_loop PRIVATE LUA_USE_LINUX VM_REFERENCE_LOOP)
target_compile_options(vm_ref_loop PRIVATE -w)
set(VM_SLICES_SRC ${CMAKE_SOURCE_DIR}/tests/vm/slices/vm_slices.cpp
  ${CMAKE_SOURCE_DIR}/bench/vm/core_host.cpp ${CMAKE_SOURCE_DIR}/src/kernel/alloc.cpp)
add_executable(vm_slices ${VM_SLICES_SRC})
add_executable(vm_slices_ref ${VM_SLICES_SRC} $<TARGET_OBJECTS:vm_ref_loop>)
foreach(t vm_slices vm_slices_ref)
  target_include_directories(${t} PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${t} PRIVATE lua_dialect)
  set_target_properties(${t} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
endforeach()
add_custom_target(vm_tools DEPENDS vm_slices vm_slices_ref)
