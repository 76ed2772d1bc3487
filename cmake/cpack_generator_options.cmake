# SPDX-License-Identifier: MIT
# Read by cpack once for each package: which components it holds, and whether
# its files sit in a folder of the package's name (archives) or at the root.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL tool debian)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY OFF)
elseif(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_COMPONENTS_ALL format format_ksy licence tool manual readme)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
elseif(CPACK_GENERATOR STREQUAL "ZIP")
  set(CPACK_COMPONENTS_ALL format format_ksy licence tool manual readme)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
