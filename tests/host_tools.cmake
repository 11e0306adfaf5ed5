# The instrument simulator for a cross build's end-to-end tests. It must run
# on this machine, so it is built with the host's own compiler in a sub-build,
# whatever the native preset has done. Sets TORVEX_HOST_SIM.
include_guard(GLOBAL)
include(ExternalProject)

set(TORVEX_HOST_TOOLS_DIR ${CMAKE_BINARY_DIR}/host-tools)
set(TORVEX_HOST_SIM ${TORVEX_HOST_TOOLS_DIR}/tools/torvex_sim)
ExternalProject_Add(host_tools
  SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/host_tools
  BINARY_DIR ${TORVEX_HOST_TOOLS_DIR}
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DTORVEX_TOOLS_DIR=${PROJECT_SOURCE_DIR}/tools
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${TORVEX_HOST_SIM}
  INSTALL_COMMAND "")
