# The cartridge server whose downloads are cached. ORVANTA_CART_SERVER in the environment
# overrides it at run time (tests point it at a local server).
set(ORVANTA_CART_SERVER "https://carts.orvanta.invalid/" CACHE STRING "Base URL of the cartridge server")
set_source_files_properties(${CMAKE_SOURCE_DIR}/src/host/downloads.cpp TARGET_DIRECTORY orv_core
  PROPERTIES COMPILE_DEFINITIONS "ORVANTA_CART_SERVER_URL=\"${ORVANTA_CART_SERVER}\"")
