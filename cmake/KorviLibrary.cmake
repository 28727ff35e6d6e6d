# SPDX-License-Identifier: MIT
# The project's shared libraries: how each is built, and how it is installed.

# A shared library NAME from the sources given, with the public header
# NAME.h and the version script NAME.map beside them: C linkage, no C++
# runtime, nothing exported but what the script names, SONAME libNAME.so.MAJOR.
# NAME_BUILD (upper case) is defined while it is built, for the header's
# export macro.
function(korvi_shared_library name)
  add_library(${name} SHARED ${ARGN})
  korvi_runtime_free(${name})
  string(TOUPPER ${name} upper)
  target_compile_definitions(${name} PRIVATE ${upper}_BUILD)
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  set(map ${CMAKE_CURRENT_SOURCE_DIR}/${name}.map)
  target_link_options(${name} PRIVATE -Wl,--version-script=${map})
  set_target_properties(${name} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    PUBLIC_HEADER ${name}.h
    LINK_DEPENDS ${map})
  add_library(${name}::${name} ALIAS ${name})
endfunction()

# Installs one of the project's shared libraries the way callers find it: the
# library and its links, its public header, a pkg-config file and a CMake
# package (find_package(NAME) gives NAME::NAME). The runtime goes into
# component NAME, everything for building against it into NAME-dev, so that
#   cmake --install BUILD --component NAME
# installs what a device needs to run programs that use it.
#
#   korvi_install_library(NAME DESCRIPTION TEXT [REQUIRES PACKAGE...])
#
# REQUIRES names the project's other libraries this one is built on: its
# pkg-config file and CMake package pull them in.
include(CMakePackageConfigHelpers)

function(korvi_install_library name)
  cmake_parse_arguments(arg "" "DESCRIPTION" "REQUIRES" ${ARGN})
  set(cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/${name})
  set(dev ${name}-dev)

  install(TARGETS ${name} EXPORT ${name}Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${name} NAMELINK_COMPONENT ${dev}
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT ${dev})
  install(EXPORT ${name}Targets NAMESPACE ${name}:: DESTINATION ${cmakedir} COMPONENT ${dev})

  set(KORVI_PACKAGE ${name})
  set(KORVI_PACKAGE_REQUIRES "")
  foreach(required IN LISTS arg_REQUIRES)
    string(APPEND KORVI_PACKAGE_REQUIRES
      "find_dependency(${required} ${PROJECT_VERSION_MAJOR})\n")
  endforeach()
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/packageConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/${name}Config.cmake INSTALL_DESTINATION ${cmakedir})
  write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/${name}ConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${name}Config.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/${name}ConfigVersion.cmake
    DESTINATION ${cmakedir} COMPONENT ${dev})

  # The pkg-config file finds its prefix from where it lies, so the installed
  # tree can be moved (a staging root, a device image).
  file(RELATIVE_PATH KORVI_PC_UP /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  set(KORVI_PC_DESCRIPTION ${arg_DESCRIPTION})
  list(JOIN arg_REQUIRES " " KORVI_PC_REQUIRES)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/package.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${name}.pc
    @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${name}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT ${dev})
endfunction()
