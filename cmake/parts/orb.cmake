# orb_tool: the orb writer/reader and base64 on the command line, for the oracle tests.
add_executable(orb_tool ${CMAKE_SOURCE_DIR}/tests/orb/tool/orb_tool.cpp)
target_link_libraries(orb_tool PRIVATE orv_core)
set_target_properties(orb_tool PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
