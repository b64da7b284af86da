# Installation: the shared library with its soname links, the public headers,
# the tools, the manual pages, a CMake package (find_package(zvaclient) gives
# zvaclient::zvaclient) and a pkg-config file. The simulator installs itself
# from sim/.
include(CMakePackageConfigHelpers)

set(ZV_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/zvaclient
    CACHE STRING "Where the CMake package files of zvaclient are installed")

install(TARGETS zvaclient
  EXPORT zvaclientTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT runtime NAMELINK_COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/zva
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT development
  FILES_MATCHING PATTERN "*.h")

foreach(tool zv zv-health)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  endif()
endforeach()

file(GLOB ZV_MAN_PAGES ${PROJECT_SOURCE_DIR}/man/*.1)
install(FILES ${ZV_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)

install(EXPORT zvaclientTargets
  NAMESPACE zvaclient::
  DESTINATION ${ZV_INSTALL_CMAKEDIR}
  COMPONENT development)

configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/zvaclientConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zvaclientConfig.cmake
  INSTALL_DESTINATION ${ZV_INSTALL_CMAKEDIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/zvaclientConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/zvaclientConfig.cmake
  ${PROJECT_BINARY_DIR}/zvaclientConfigVersion.cmake
  DESTINATION ${ZV_INSTALL_CMAKEDIR}
  COMPONENT development)

# The pkg-config file finds its prefix from where it lies, so a tree
# installed with `cmake --install --prefix` (or moved later) still works. An
# absolute install directory is written as it is.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(ZV_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH ZV_PC_UP "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" ZV_PC_UP "${ZV_PC_UP}")
  set(ZV_PC_PREFIX "\${pcfiledir}/${ZV_PC_UP}")
endif()
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(ZV_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(ZV_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/zvaclient.pc.in
  ${PROJECT_BINARY_DIR}/zvaclient.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zvaclient.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)
