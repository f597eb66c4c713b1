# Install rules: the libraries with their headers, a pkg-config file each and
# one CMake package (Zorvel, targets Zorvel::<library>), plus the front end
# and the simulator that users run their own programs under.
#
# A new library is one zv_install_library() line below; its headers are
# found by zv_install_headers() under <subsystem>/include.

include(CMakePackageConfigHelpers)

set(ZV_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Zorvel)
set(ZV_INSTALLED_LIBRARIES "")

# zv_install_library(TARGET DESCRIPTION [DESTINATION DIR] [MODULE...])
# DESTINATION: a folder of the library's own instead of the library
# directory; its .pc file then gives its users a RUNPATH to it.
# MODULE: pkg-config modules the library itself links.
# The .pc file names its prefix only at install time, so that
# `cmake --install --prefix DIR` gives a file that is right for DIR.
function(zv_install_library target description)
  if(NOT TARGET ${target})
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 2 ZV "" "DESTINATION" "")
  set(libdir ${CMAKE_INSTALL_LIBDIR})
  set(ZV_PC_RPATH "")
  if(ZV_DESTINATION)
    set(libdir ${ZV_DESTINATION})
    set(ZV_PC_RPATH " -Wl,-rpath,\${libdir}")
  endif()
  install(TARGETS ${target} EXPORT ZorvelTargets
    LIBRARY DESTINATION ${libdir} NAMELINK_COMPONENT Development
    ARCHIVE DESTINATION ${libdir}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  if(IS_ABSOLUTE "${libdir}")
    set(ZV_PC_LIBDIR "${libdir}")
  else()
    set(ZV_PC_LIBDIR "\${prefix}/${libdir}")
  endif()
  if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
    set(ZV_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
  else()
    set(ZV_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
  endif()
  set(ZV_PC_NAME ${target})
  set(ZV_PC_DESCRIPTION "${description}")
  set(ZV_PC_REQUIRES "")
  if(ZV_UNPARSED_ARGUMENTS)
    list(JOIN ZV_UNPARSED_ARGUMENTS ", " modules)
    set(ZV_PC_REQUIRES "Requires.private: ${modules}")
  endif()
  # Left as a placeholder for the second pass, at install time.
  set(ZV_PC_PREFIX "@ZV_PC_PREFIX@")
  set(stage ${PROJECT_BINARY_DIR}/pkgconfig)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/zorvel-library.pc.in
    ${stage}/${target}.pc.in @ONLY)
  install(CODE "
    set(ZV_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${stage}/${target}.pc.in\" \"${stage}/${target}.pc\" @ONLY)
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\"
      TYPE FILE FILES \"${stage}/${target}.pc\")
  " COMPONENT Development)

  set(ZV_INSTALLED_LIBRARIES ${ZV_INSTALLED_LIBRARIES} ${target} PARENT_SCOPE)
endfunction()

# <subsystem>/include/uapi/* goes to include/ (the kernel-record headers,
# e.g. include/linux/zorvel/), everything else under <subsystem>/include/
# goes to include/ as laid out there.
function(zv_install_headers subsystem)
  set(dir ${PROJECT_SOURCE_DIR}/${subsystem}/include)
  if(NOT IS_DIRECTORY ${dir})
    return()
  endif()
  install(DIRECTORY ${dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    COMPONENT Development
    FILES_MATCHING PATTERN "*.h" PATTERN uapi EXCLUDE)
  if(IS_DIRECTORY ${dir}/uapi)
    install(DIRECTORY ${dir}/uapi/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
      COMPONENT Development FILES_MATCHING PATTERN "*.h")
  endif()
endfunction()

# ---- Libraries, one line each ---------------------------------------------
zv_install_library(kfxutil "Support library of the zorvel tools")
zv_install_library(zorvelapi "Client API of the zorvel file system")
zv_install_library(varnconfig "Network configuration library of zorvel, with its YAML trees")
zv_install_library(meskagent "Agent configuration library of zorvel")
# Tool writers link or preload the simulator in their own tests.
zv_install_library(zvsim "Simulated zorvel kernel client, for tests"
  DESTINATION ${ZV_SIM_INSTALL_LIBDIR})

foreach(subsystem zorvel libkfx varn mesk)
  zv_install_headers(${subsystem})
endforeach()

# ---- Programs users run ---------------------------------------------------
# The front end (tools/), the simulator (sim/: its launcher and its
# library, which users preload or link into their own test programs) and the
# test programs a harness runs on clients (zorvel/fstests/), which go to a
# folder of their own: names such as ioloop or renamer are too generic for
# the command path.
# Nothing from a tests/ folder is installed.
set(ZV_FSTESTS_INSTALL_DIR ${CMAKE_INSTALL_LIBEXECDIR}/zorvel CACHE PATH
  "Folder of the installed test programs, relative to the prefix")

function(zv_install_programs_of dir destination)
  if(NOT IS_DIRECTORY ${dir} OR dir MATCHES "/tests$")
    return()
  endif()
  file(RELATIVE_PATH to_lib /${destination} /${CMAKE_INSTALL_LIBDIR})
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(t IN LISTS targets)
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "EXECUTABLE")
      # Installed programs find the installed libraries by themselves.
      get_target_property(rpath ${t} INSTALL_RPATH)
      if(NOT rpath)
        set_target_properties(${t} PROPERTIES
          INSTALL_RPATH "\$ORIGIN/${to_lib}")
      endif()
      install(TARGETS ${t} RUNTIME DESTINATION ${destination})
    elseif(t IN_LIST ZV_INSTALLED_LIBRARIES)
      # installed above with its pkg-config file and CMake target
    elseif(type MATCHES "^(SHARED|MODULE)_LIBRARY$")
      install(TARGETS ${t}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    zv_install_programs_of(${sub} ${destination})
  endforeach()
endfunction()

zv_install_programs_of(${PROJECT_SOURCE_DIR}/tools ${CMAKE_INSTALL_BINDIR})
zv_install_programs_of(${PROJECT_SOURCE_DIR}/sim ${CMAKE_INSTALL_BINDIR})
zv_install_programs_of(${PROJECT_SOURCE_DIR}/zorvel/fstests
  ${ZV_FSTESTS_INSTALL_DIR})

# ---- Documentation ----------------------------------------------------------
# The manual pages are installed with their programs; the examples they and
# the tunables command's help point to go to share/doc/zorvel/examples.
install(FILES ${PROJECT_SOURCE_DIR}/doc/examples/tunables.yaml
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
# The front end's bash completion, where bash-completion looks for it.
install(FILES ${PROJECT_SOURCE_DIR}/tools/completion/zorvel.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME zorvel)

# ---- CMake package ----------------------------------------------------------
if(ZV_INSTALLED_LIBRARIES)
  install(EXPORT ZorvelTargets NAMESPACE Zorvel::
    DESTINATION ${ZV_CMAKE_PACKAGE_DIR} COMPONENT Development)
endif()
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ZorvelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cmake/ZorvelConfig.cmake
  INSTALL_DESTINATION ${ZV_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/cmake/ZorvelConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/cmake/ZorvelConfig.cmake
  ${PROJECT_BINARY_DIR}/cmake/ZorvelConfigVersion.cmake
  DESTINATION ${ZV_CMAKE_PACKAGE_DIR} COMPONENT Development)
