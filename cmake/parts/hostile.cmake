# The hostile-program suite's case list, compiled into its runner: adding a case
# file reconfigures, rebuilds the runner and so registers the new test.
file(GLOB ORV_HOSTILE_CASES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/hostile/cases/*.lua)
set(ORV_HOSTILE_LIST "")
foreach(c ${ORV_HOSTILE_CASES})
  get_filename_component(n ${c} NAME_WE)
  string(APPEND ORV_HOSTILE_LIST "\"${n}\",\n")
endforeach()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/hostile_cases.inc CONTENT "${ORV_HOSTILE_LIST}")
