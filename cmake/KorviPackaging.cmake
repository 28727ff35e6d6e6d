# SPDX-License-Identifier: MIT
# Debian packages, built by CPack's DEB generator from the install components:
#   cpack --config BUILD/CPackConfig.cmake -B OUTPUT_DIR
# (or `cmake --build BUILD --target package`, into BUILD). The host build
# makes amd64 packages, the device's cross build armhf ones; the Python
# package is architecture-independent. What each package holds, and why:
# docs/packaging.md.
#
#   package             components
#   libsci-codec1       sci_codec
#   libsci-stream1      sci_stream
#   libsci-codec-dev    sci_codec-dev
#   libsci-stream-dev   sci_stream-dev
#   korvi-daemon        daemon daemon-doc daemon-systemd
#   sci-tools           sci sci-doc sci-completion wireshark sigrok
#   python3-korvi-sci   python
#
# Each package also gets a component of its own, deb-PACKAGE, with what only a
# Debian package carries: its copyright and changelog files, and for sci-tools
# the links that put the dissector and the decoder where Wireshark and sigrok
# look. Those, and the systemd unit, are left out of a plain `cmake --install`.
include(CPackComponent)

set(KORVI_DEB_MAINTAINER "the korvi authors <korvi@example.org>")
set(KORVI_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
  "Where component daemon-systemd installs the supervisor's unit: under the prefix, or absolute")
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(wireshark_default "${CMAKE_INSTALL_LIBDIR}/${CMAKE_LIBRARY_ARCHITECTURE}/wireshark/plugins")
else()
  set(wireshark_default "${CMAKE_INSTALL_LIBDIR}/wireshark/plugins")
endif()
set(KORVI_WIRESHARK_PLUGIN_DIR "${wireshark_default}" CACHE STRING
  "Wireshark's global Lua plugin folder, under the prefix: sci-tools links the dissector there")
set(KORVI_SIGROK_DECODER_DIR "${CMAKE_INSTALL_DATADIR}/libsigrokdecode/decoders" CACHE STRING
  "libsigrokdecode's decoder folder, under the prefix: sci-tools links the decoder there")

set(deb_dir ${PROJECT_BINARY_DIR}/packaging)
set(deb_src ${PROJECT_SOURCE_DIR}/packaging)

# The supervisor's systemd unit, twice: a plain install's (component
# daemon-systemd, for a device image with systemd) starts sbin/daemon; the
# package's starts the program where the package puts it, in libexec/korvi,
# and points at the manual page korvi-daemon(8).
set(KORVI_DAEMON_PAGE daemon)
set(KORVI_DAEMON_PATH /usr/${CMAKE_INSTALL_SBINDIR}/daemon)
configure_file(${deb_src}/korvi-daemon.service.in ${deb_dir}/unit/install/korvi-daemon.service @ONLY)
install(FILES ${deb_dir}/unit/install/korvi-daemon.service
  DESTINATION ${KORVI_SYSTEMD_UNIT_DIR} COMPONENT daemon-systemd EXCLUDE_FROM_ALL)
set(KORVI_DAEMON_PAGE korvi-daemon)
set(KORVI_DAEMON_PATH /usr/${KORVI_DEB_DAEMON_DIR}/daemon)
configure_file(${deb_src}/korvi-daemon.service.in ${deb_dir}/unit/deb/korvi-daemon.service @ONLY)
install(FILES ${deb_dir}/unit/deb/korvi-daemon.service
  DESTINATION ${KORVI_SYSTEMD_UNIT_DIR} COMPONENT deb-korvi-daemon EXCLUDE_FROM_ALL)
set(KORVI_DEB_PACKAGES)
set(KORVI_DEB_COMPONENTS)

# The changelog, compressed as Debian wants it (gzip -9, no name or time, so
# that the same source gives the same file).
add_custom_command(OUTPUT ${deb_dir}/changelog.gz
  COMMAND gzip -9nc ${deb_src}/changelog > ${deb_dir}/changelog.gz
  DEPENDS ${deb_src}/changelog
  COMMENT "Compressing the Debian changelog")
add_custom_target(korvi_deb_changelog ALL DEPENDS ${deb_dir}/changelog.gz)

# The copyright file, in Debian's machine-readable format: the holder and the
# licence's text from LICENSE (MIT, which that format calls Expat), the text
# indented by one space and its blank lines written " .".
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE KORVI_COPYRIGHT LIMIT_COUNT 1 REGEX "^Copyright ")
string(REGEX REPLACE "^Copyright (\\(c\\) )?" "" KORVI_COPYRIGHT "${KORVI_COPYRIGHT}")
file(READ ${PROJECT_SOURCE_DIR}/LICENSE text)
string(FIND "${text}" "Permission " start)
string(SUBSTRING "${text}" ${start} -1 text)
string(STRIP "${text}" text)
string(REPLACE "\n\n" "\n.\n" text "${text}")
string(REPLACE "\n" "\n " KORVI_LICENSE_DEB " ${text}")
configure_file(${deb_src}/copyright.in ${deb_dir}/copyright @ONLY)

# korvi_deb_package(NAME SECTION SECTION COMPONENTS COMPONENT... SUMMARY TEXT
#   DESCRIPTION TEXT... [ARCHITECTURE all] [DEPENDS DEP...] [RECOMMENDS DEP...]
#   [SUGGESTS DEP...] [CONTROL SCRIPT...])
# One package of the components named; CONTROL: its maintainer scripts and
# other control files, from packaging/NAME.FILE.in, else packaging/FILE.in. Dependencies on shared libraries are found from
# the files (below); DEPENDS adds others.
# DESCRIPTION's paragraphs are the extended description.
macro(korvi_deb_package name)
  cmake_parse_arguments(arg "" "SECTION;SUMMARY;ARCHITECTURE"
    "COMPONENTS;DESCRIPTION;DEPENDS;RECOMMENDS;SUGGESTS;CONTROL" ${ARGN})
  string(TOUPPER ${name} up)
  list(APPEND KORVI_DEB_PACKAGES ${name})
  cpack_add_component_group(${name})
  foreach(component IN LISTS arg_COMPONENTS ITEMS deb-${name})
    cpack_add_component(${component} GROUP ${name})
    list(APPEND KORVI_DEB_COMPONENTS ${component})
  endforeach()
  install(FILES ${deb_dir}/copyright ${deb_dir}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${name} COMPONENT deb-${name} EXCLUDE_FROM_ALL)

  set(CPACK_DEBIAN_${up}_PACKAGE_NAME ${name})
  set(CPACK_DEBIAN_${up}_PACKAGE_SECTION ${arg_SECTION})
  list(JOIN arg_DESCRIPTION "\n" text)
  set(CPACK_DEBIAN_${up}_DESCRIPTION "${arg_SUMMARY}\n${text}")
  if(arg_ARCHITECTURE)
    set(CPACK_DEBIAN_${up}_PACKAGE_ARCHITECTURE ${arg_ARCHITECTURE})
  endif()
  list(JOIN arg_DEPENDS ", " CPACK_DEBIAN_${up}_PACKAGE_DEPENDS)
  list(JOIN arg_RECOMMENDS ", " CPACK_DEBIAN_${up}_PACKAGE_RECOMMENDS)
  list(JOIN arg_SUGGESTS ", " CPACK_DEBIAN_${up}_PACKAGE_SUGGESTS)
  set(CPACK_DEBIAN_${up}_PACKAGE_CONTROL_EXTRA)
  foreach(script IN LISTS arg_CONTROL)
    set(template ${deb_src}/${name}.${script}.in)
    if(NOT EXISTS ${template})
      set(template ${deb_src}/${script}.in)
    endif()
    configure_file(${template} ${deb_dir}/scripts/${name}/${script} @ONLY)
    list(APPEND CPACK_DEBIAN_${up}_PACKAGE_CONTROL_EXTRA ${deb_dir}/scripts/${name}/${script})
  endforeach()
endmacro()

# The libraries' shlibs files say which package and version a program built
# against them needs: the version it was built with, or later.
set(KORVI_DEB_SHLIBS_VERSION ">= ${PROJECT_VERSION}")
# The same lines serve dpkg-shlibdeps, as each library's package would give
# them, when it looks for the libraries that this build's other packages link:
# a package root per library (DEBIAN/shlibs beside usr/lib/SONAME, a link to
# the built library) in a folder it is told to search.
set(KORVI_DEB_SHLIBDEPS_DIRS)
function(korvi_deb_shlibs_root package target)
  set(root ${deb_dir}/shlibs/${package})
  get_target_property(dir ${target} BINARY_DIR)
  set(soname lib${target}.so.${PROJECT_VERSION_MAJOR})
  file(MAKE_DIRECTORY ${root}/DEBIAN ${root}/usr/lib)
  file(WRITE ${root}/DEBIAN/shlibs
    "lib${target} ${PROJECT_VERSION_MAJOR} ${package} (${KORVI_DEB_SHLIBS_VERSION})\n")
  file(CREATE_LINK ${dir}/${soname} ${root}/usr/lib/${soname} SYMBOLIC)
  set(KORVI_DEB_SHLIBDEPS_DIRS ${KORVI_DEB_SHLIBDEPS_DIRS} ${root}/usr/lib PARENT_SCOPE)
endfunction()
korvi_deb_shlibs_root(libsci-codec1 sci_codec)
korvi_deb_shlibs_root(libsci-stream1 sci_stream)

# A cross build's programs need the target root's C library, which no
# package of this machine describes as the device's libc6 would: Debian's
# cross root belongs to libc6-armhf-cross, whose shlibs file asks for
# libc6:armhf at its own version (2.36), and an SDK's root belongs to no
# package at all. glibc names the release that brought each symbol in its
# version (fgets@GLIBC_2.4, __libc_start_main@GLIBC_2.34), so a symbols file
# that gives each exported symbol that release, as Debian's own libc6 symbols
# file does, lets dpkg-shlibdeps find the libc6 version the programs need from
# the symbols they use. The library is copied beside it: a link would lead
# dpkg-shlibdeps back to the cross package.
function(korvi_deb_libc_root)
  set(root ${deb_dir}/shlibs/libc6)
  set(arch ${CMAKE_LIBRARY_ARCHITECTURE})
  find_file(KORVI_TARGET_LIBC libc.so.6 NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH
    PATHS ${KORVI_TARGET_SYSROOT} PATH_SUFFIXES lib lib/${arch} usr/lib usr/lib/${arch})
  if(NOT KORVI_TARGET_LIBC OR NOT CMAKE_READELF)
    message(WARNING "No libc.so.6 in ${KORVI_TARGET_SYSROOT} (or no readelf): cpack will stop "
      "at dpkg-shlibdeps, which cannot find the C library the packages need")
    return()
  endif()
  file(MAKE_DIRECTORY ${root}/DEBIAN ${root}/lib)
  execute_process(COMMAND ${CMAKE_READELF} --dyn-syms --wide ${KORVI_TARGET_LIBC}
    OUTPUT_FILE ${root}/dynsyms.txt COMMAND_ERROR_IS_FATAL ANY)
  file(STRINGS ${root}/dynsyms.txt lines REGEX "@@?GLIBC_[0-9.]+$")
  set(symbols "libc.so.6 libc6 #MINVER#\n")
  foreach(line IN LISTS lines)
    if(NOT line MATCHES " UND " AND line MATCHES " ([^ @]+)@@?GLIBC_([0-9.]+)$")
      string(APPEND symbols " ${CMAKE_MATCH_1}@GLIBC_${CMAKE_MATCH_2} ${CMAKE_MATCH_2}\n")
    endif()
  endforeach()
  file(WRITE ${root}/DEBIAN/symbols "${symbols}")
  file(REMOVE ${root}/dynsyms.txt)
  file(COPY_FILE ${KORVI_TARGET_LIBC} ${root}/lib/libc.so.6 ONLY_IF_DIFFERENT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS}
    ${root}/lib PARENT_SCOPE)
endfunction()

set(version ${PROJECT_VERSION})
set(python_dir ${KORVI_PYTHON_DIR})
if(NOT IS_ABSOLUTE "${python_dir}")
  set(python_dir /usr/${python_dir})
endif()
set(KORVI_DEB_PYTHON_PACKAGE_DIR ${python_dir}/korvi_sci)
set(KORVI_DEB_SYSTEMD_UNIT korvi-daemon.service)
set(KORVI_DEB_SIGROK_DECODER_DIR /usr/${CMAKE_INSTALL_DATADIR}/korvi/sigrok/decoders/sci)

korvi_deb_package(libsci-codec1 SECTION libs COMPONENTS sci_codec CONTROL triggers
  SUMMARY "SCI frame codec library"
  DESCRIPTION
    "libsci_codec builds and parses SCI frames, the serial protocol of the"
    "korvi device: C linkage, no state, no allocation."
    "."
    "This package holds the shared library, libsci_codec.so.1.")
korvi_deb_package(libsci-stream1 SECTION libs COMPONENTS sci_stream CONTROL triggers
  SUMMARY "SCI stream reader library"
  DESCRIPTION
    "libsci_stream finds SCI frames in bytes that arrive in pieces, as from a"
    "UART, and hands them out one at a time with their offset, time and"
    "verdict. No heap, no globals, no callbacks."
    "."
    "This package holds the shared library, libsci_stream.so.1.")
korvi_deb_package(libsci-codec-dev SECTION libdevel COMPONENTS sci_codec-dev
  DEPENDS "libsci-codec1 (= ${version})"
  SUMMARY "SCI frame codec library - development files"
  DESCRIPTION
    "libsci_codec builds and parses SCI frames, the serial protocol of the"
    "korvi device."
    "."
    "This package holds what building against it takes: the header"
    "sci_codec.h, the link libsci_codec.so, a pkg-config file and a CMake"
    "package.")
korvi_deb_package(libsci-stream-dev SECTION libdevel COMPONENTS sci_stream-dev
  DEPENDS "libsci-stream1 (= ${version})" "libsci-codec-dev (= ${version})"
  SUMMARY "SCI stream reader library - development files"
  DESCRIPTION
    "libsci_stream finds SCI frames in bytes that arrive in pieces, as from a"
    "UART."
    "."
    "This package holds what building against it takes: the header"
    "sci_stream.h, the link libsci_stream.so, a pkg-config file and a CMake"
    "package. Its header includes the codec's, which comes with"
    "libsci-codec-dev.")
# The supervisor's package: its program, unit and manual page are its own
# component's (deb-korvi-daemon), not those of a plain install.
korvi_deb_package(korvi-daemon SECTION admin CONTROL postinst prerm postrm
  SUMMARY "process supervisor of the korvi device"
  DESCRIPTION
    "/usr/libexec/korvi/daemon reads three fixed list files of program paths"
    "(/opt/conf/daemon.conf, /app/conf/start_config, /user/conf/daemon.conf),"
    "starts each program and restarts any whose process has gone."
    "."
    "It logs through the platform SDK's lib_sdk.so, which no package"
    "provides: the device's SDK installs it as /usr/lib/lib_sdk.so, and"
    "daemon does not start without it."
    "."
    "The systemd unit korvi-daemon.service is installed but not enabled:"
    "enable it with systemctl enable --now korvi-daemon. An upgrade restarts"
    "it if it runs, which restarts its programs.")
korvi_deb_package(sci-tools SECTION electronics
  COMPONENTS sci sci-doc sci-completion wireshark sigrok CONTROL prerm
  SUGGESTS "tshark | wireshark" "sigrok-cli | pulseview"
  SUMMARY "SCI frame tool, Wireshark dissector and sigrok decoder"
  DESCRIPTION
    "sci builds, checks and finds SCI frames, in captures and on a live"
    "serial line, for bringing up a korvi device and debugging its serial"
    "link. It writes the frames it finds to pcap files."
    "."
    "The package also holds a Wireshark dissector for those pcap files and a"
    "sigrok decoder for SCI on a logic analyser's UART capture, linked into"
    "the folders Wireshark and libsigrokdecode load them from.")
korvi_deb_package(python3-korvi-sci SECTION python ARCHITECTURE all COMPONENTS python
  CONTROL postinst prerm
  DEPENDS python3:any "libsci-codec1 (${KORVI_DEB_SHLIBS_VERSION})"
    "libsci-stream1 (${KORVI_DEB_SHLIBS_VERSION})"
  RECOMMENDS python3-serial
  SUMMARY "SCI frames from Python"
  DESCRIPTION
    "korvi_sci calls the SCI codec and stream reader libraries through"
    "ctypes, for test rigs that talk SCI to a korvi device from a PC: the"
    "codec, the stream reader, a serial link and pcap files, and a pytest"
    "plug-in."
    "."
    "The serial link needs python3-serial.")

# sci-tools: the dissector and the decoder stay where a plain install puts
# them, under share/korvi, and links put them into Wireshark's global Lua
# plugin folder and libsigrokdecode's decoder folder, where both load them at
# start with nothing to set.
function(korvi_deb_link name from to)
  file(RELATIVE_PATH target /usr/${from} /usr/${to})
  file(MAKE_DIRECTORY ${deb_dir}/links)
  file(CREATE_LINK ${target} ${deb_dir}/links/${name} SYMBOLIC)
  install(FILES ${deb_dir}/links/${name} DESTINATION ${from} COMPONENT deb-sci-tools EXCLUDE_FROM_ALL)
endfunction()
korvi_deb_link(sci.lua ${KORVI_WIRESHARK_PLUGIN_DIR} ${CMAKE_INSTALL_DATADIR}/korvi/wireshark/sci.lua)
korvi_deb_link(sci ${KORVI_SIGROK_DECODER_DIR} ${CMAKE_INSTALL_DATADIR}/korvi/sigrok/decoders/sci)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvi)
set(CPACK_PACKAGE_VENDOR "the korvi authors")
set(CPACK_PACKAGE_CONTACT ${KORVI_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KORVI_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SOURCE korvi)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENTS_ALL ${KORVI_DEB_COMPONENTS})
# A native package: the project packages itself, so the version has no
# Debian revision (1.1.0, not 1.1.0-1), and the changelog is changelog.gz.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Dependencies from the programs and libraries (dpkg-shlibdeps), and a shlibs
# file in each library's package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${KORVI_DEB_SHLIBDEPS_DIRS})

if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  korvi_deb_libc_root()
endif()
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/KorviCPackProject.cmake)
# For that file, which cpack reads: only CPACK_ variables reach it.
set(CPACK_KORVI_CHANGELOG ${deb_src}/changelog)
set(CPACK_KORVI_SOURCE_DIR ${PROJECT_SOURCE_DIR})
include(CPack)
