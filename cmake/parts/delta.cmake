# delta_tool: the delta codec on the command line, for the oracle tests.
add_executable(delta_tool ${CMAKE_SOURCE_DIR}/tests/delta/tool/delta_tool.cpp)
target_link_libraries(delta_tool PRIVATE orv_core)
set_target_properties(delta_tool PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
