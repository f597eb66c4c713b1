# zv_add_shared_library(NAME SOVERSION MAP SOURCES...)
# A shared library with hidden visibility, one linker version script, no
# undefined symbols, and its soname.
function(zv_add_shared_library name soversion map)
  add_library(${name} SHARED ${ARGN})
  set_target_properties(${name} PROPERTIES
    VERSION ${soversion}.0.0
    SOVERSION ${soversion}
    LINK_DEPENDS ${map}
    # Installed side by side, the libraries find each other.
    INSTALL_RPATH "$ORIGIN")
  target_link_options(${name} PRIVATE
    -Wl,--version-script=${map} -Wl,-z,defs)
endfunction()
