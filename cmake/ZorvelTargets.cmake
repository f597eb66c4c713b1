# zv_add_shared_library(NAME
#   SOVERSION N MAP VERSION_SCRIPT
#   SOURCES file...
#   [PUBLIC_INCLUDES dir...]   for the library's users (build interface)
#   [PRIVATE_INCLUDES dir...]  for its own sources only
#   [PUBLIC_LIBS lib...]       linked and passed on to its users
#   [PRIVATE_LIBS lib...])     linked only
#
# A shared library with hidden visibility, one linker version script, no
# undefined symbols, and its soname. Its sources compile once, into the
# object library NAME_objects, which tests of the library's internal
# functions link directly (it carries every include directory and library
# the sources need).
function(zv_add_shared_library name)
  cmake_parse_arguments(PARSE_ARGV 1 ZV "" "SOVERSION;MAP"
    "SOURCES;PUBLIC_INCLUDES;PRIVATE_INCLUDES;PUBLIC_LIBS;PRIVATE_LIBS")

  add_library(${name}_objects OBJECT ${ZV_SOURCES})
  target_include_directories(${name}_objects
    PUBLIC ${ZV_PUBLIC_INCLUDES} ${ZV_PRIVATE_INCLUDES})
  target_link_libraries(${name}_objects
    PUBLIC ${ZV_PUBLIC_LIBS} ${ZV_PRIVATE_LIBS}
    PUBLIC zvinternal)

  set(build_includes "")
  foreach(dir IN LISTS ZV_PUBLIC_INCLUDES)
    list(APPEND build_includes $<BUILD_INTERFACE:${dir}>)
  endforeach()
  add_library(${name} SHARED)
  target_link_libraries(${name}
    PRIVATE ${name}_objects ${ZV_PRIVATE_LIBS}
    PUBLIC ${ZV_PUBLIC_LIBS})
  target_include_directories(${name} PUBLIC ${build_includes}
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  set_target_properties(${name} PROPERTIES
    VERSION ${ZV_SOVERSION}.0.0
    SOVERSION ${ZV_SOVERSION}
    LINK_DEPENDS ${ZV_MAP}
    # Installed side by side, the libraries find each other.
    INSTALL_RPATH "$ORIGIN")
  target_link_options(${name} PRIVATE
    -Wl,--version-script=${ZV_MAP} -Wl,-z,defs)
endfunction()
