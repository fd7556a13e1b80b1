# Typed-array kernels: optimised for vectorisation; no FMA contraction so sums
# keep their stated order and rounding.
file(GLOB ORV_ARRAYS_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/arrays/*.cpp)
set_source_files_properties(${ORV_ARRAYS_SOURCES} TARGET_DIRECTORY orv_core PROPERTIES
  COMPILE_OPTIONS "-O3;-fno-math-errno;-fno-trapping-math;-ffp-contract=off")
