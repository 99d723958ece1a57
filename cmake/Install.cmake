# What `cmake --install` puts under the prefix, and the .deb made of it:
#
#   bin/                      ndi-sim, ndi-make-tool-image, and links to
#                             ndi-track and ndi-workbench (when built)
#   lib/velantor-ndi/         ndi-track and ndi-workbench with the plugin
#                             library beside them (each loads the plugin from
#                             its own folder), the host stand-in's shared
#                             libraries they need, and the simulator's break
#                             notifier
#   lib/                      the protocol library, static and shared
#   include/ndi/              the protocol library's headers
#   lib/cmake/VelantorNDIProtocol/, lib/pkgconfig/velantor-ndi-protocol.pc
#                             for programs that use the protocol library
#   share/doc/velantor-ndi-tracking/examples/  the C example's source
#
# The host stand-in's libraries stay in the private folder: on a workstation
# the real host framework owns the public library names.
#
# Included once, at the end of the top-level CMakeLists, when every target
# it names exists.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(NDI_INSTALL_PRIVATE_DIR ${CMAKE_INSTALL_LIBDIR}/velantor-ndi)
set(NDI_INSTALL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VelantorNDIProtocol)
set(NDI_INSTALL_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The project's own shared libraries that the given targets link, directly or
# through other targets: the set an installed program needs beside it.
function(ndi_collect_shared_libraries out)
  set(queue ${ARGN})
  set(seen "")
  set(found "")
  while(queue)
    list(POP_FRONT queue item)
    # A static library's private dependencies reach its users as LINK_ONLY.
    string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" item "${item}")
    if(NOT TARGET "${item}" OR item IN_LIST seen)
      continue()
    endif()
    list(APPEND seen "${item}")
    get_target_property(aliased "${item}" ALIASED_TARGET)
    if(aliased)
      list(APPEND queue "${aliased}")
      continue()
    endif()
    get_target_property(imported "${item}" IMPORTED)
    if(imported)
      continue()
    endif()
    get_target_property(type "${item}" TYPE)
    if(type STREQUAL "SHARED_LIBRARY")
      list(APPEND found "${item}")
    endif()
    foreach(property IN ITEMS LINK_LIBRARIES INTERFACE_LINK_LIBRARIES)
      get_target_property(links "${item}" ${property})
      if(links)
        list(APPEND queue ${links})
      endif()
    endforeach()
  endwhile()
  list(REMOVE_DUPLICATES found)
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

# ---- Programs ----
# Programs that need nothing of the project at run time.
install(TARGETS ndi-sim ndi-make-tool-image RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Programs that load the plugin from the folder they run from (their real
# path, links resolved): they live beside it, and bin/ holds links to them.
set(ndi_plugin_hosts ndi-track)
if(TARGET ndi-workbench)
  list(APPEND ndi_plugin_hosts ndi-workbench)
endif()
ndi_collect_shared_libraries(ndi_runtime_libraries ${ndi_plugin_hosts} ndi_tracking_plugin)
list(REMOVE_ITEM ndi_runtime_libraries ndi_protocol_shared)
# A relative RPATH, so that the installed tree works wherever the prefix is
# (a temporary directory, /usr/local, the .deb's /usr).
set_target_properties(${ndi_plugin_hosts} ndi_tracking_plugin ${ndi_runtime_libraries}
  PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS ${ndi_plugin_hosts} RUNTIME DESTINATION ${NDI_INSTALL_PRIVATE_DIR})
install(TARGETS ndi_tracking_plugin ${ndi_runtime_libraries}
  LIBRARY DESTINATION ${NDI_INSTALL_PRIVATE_DIR}
  NAMELINK_SKIP)

file(RELATIVE_PATH ndi_bin_to_private /${CMAKE_INSTALL_BINDIR} /${NDI_INSTALL_PRIVATE_DIR})
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/install-links)
foreach(program IN LISTS ndi_plugin_hosts)
  file(CREATE_LINK ${ndi_bin_to_private}/${program} ${CMAKE_BINARY_DIR}/install-links/${program}
    SYMBOLIC)
  install(FILES ${CMAKE_BINARY_DIR}/install-links/${program} DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()

# ndi-sim names this library for its users to preload (LD_PRELOAD) so that
# the breaks their programs send reach a device on a pseudo-terminal.
install(TARGETS ndisim_break_notifier_preload LIBRARY DESTINATION ${NDI_INSTALL_PRIVATE_DIR})

# ---- The protocol library for other programs ----
install(TARGETS ndi_protocol ndi_protocol_shared
  EXPORT VelantorNDIProtocolTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/protocol/include/ndi
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")

install(EXPORT VelantorNDIProtocolTargets
  NAMESPACE VelantorNDIProtocol::
  DESTINATION ${NDI_INSTALL_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VelantorNDIProtocolConfig.cmake.in
  ${CMAKE_BINARY_DIR}/install-config/VelantorNDIProtocolConfig.cmake
  INSTALL_DESTINATION ${NDI_INSTALL_CMAKE_DIR})
# Before 1.0 a minor version may change the interface: only the same
# major.minor is taken as compatible.
write_basic_package_version_file(
  ${CMAKE_BINARY_DIR}/install-config/VelantorNDIProtocolConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_BINARY_DIR}/install-config/VelantorNDIProtocolConfig.cmake
  ${CMAKE_BINARY_DIR}/install-config/VelantorNDIProtocolConfigVersion.cmake
  DESTINATION ${NDI_INSTALL_CMAKE_DIR})

# The .pc file finds the prefix from its own place, so that one file serves
# every prefix the tree is installed or unpacked under.
file(RELATIVE_PATH ndi_pkgconfig_to_prefix /prefix/${NDI_INSTALL_PKGCONFIG_DIR} /prefix)
string(REGEX REPLACE "/$" "" ndi_pkgconfig_to_prefix "${ndi_pkgconfig_to_prefix}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/velantor-ndi-protocol.pc.in
  ${CMAKE_BINARY_DIR}/install-config/velantor-ndi-protocol.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/install-config/velantor-ndi-protocol.pc
  DESTINATION ${NDI_INSTALL_PKGCONFIG_DIR})

install(FILES ${PROJECT_SOURCE_DIR}/examples/track_tool.c
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/velantor-ndi-tracking/examples)

# ---- Debian package (cpack -G DEB) ----
set(NDI_PACKAGE_MAINTAINER "Velantor NDI tracking maintainers <ndi-tracking@velantor.invalid>"
  CACHE STRING "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velantor-ndi-tracking)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Velantor")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "NDI tracking plugin for the Velantor host, device protocol library and simulator")
set(CPACK_PACKAGE_DESCRIPTION
  "Streams real-time poses from NDI Polaris and Aurora measurement systems into the \
Velantor host. Carries the plugin library, ndi-track (tracking from the command line), \
ndi-sim (a measurement-system simulator), ndi-make-tool-image, the C device protocol \
library (static and shared) with its headers, a CMake package and a pkg-config file.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Debian packages ship programs stripped; debug information stays in the build.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NDI_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# dpkg-shlibdeps reads the installed system's package database: no network.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The soname changes with every interface change: any later build of the
# same soname serves programs built against this one.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
include(CPack)
