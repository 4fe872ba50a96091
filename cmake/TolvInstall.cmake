# TolvInstall.cmake - library versions and everything `cmake --install` puts in
# place: the libraries and tool, headers, tolv.pc, the CMake package, the man
# page, bash completion and the licence.
include(CMakePackageConfigHelpers)

# The soname changes only when the C interface breaks; hosts dlopen the
# unversioned name, which install() and the build tree keep as a symlink.
set(TOLV_SOVERSION 0)
set_target_properties(rspiutil qzsvcutl tolvflatfile tolvadmin PROPERTIES
  VERSION ${PROJECT_VERSION} SOVERSION ${TOLV_SOVERSION})

# Installed consumers find <tolv/rspi.h> under the include directory.
foreach(lib rspiutil qzsvcutl tolvflatfile)
  target_include_directories(${lib} INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
endforeach()

# Release builds install stripped binaries; other build types keep their
# symbols unless installed with `cmake --install --strip`. This runs before
# the targets' own install code, which strips when the variable is set.
install(CODE [[
  if(CMAKE_INSTALL_CONFIG_NAME MATCHES "^(Release|MinSizeRel)$")
    set(CMAKE_INSTALL_DO_STRIP TRUE)
  endif()
]])

install(TARGETS rspiutil qzsvcutl tolvflatfile EXPORT tolvTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
# The tool face has no public header: only tolvadm uses it.
install(TARGETS tolvadmin LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS tolvadm EXPORT tolvTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES src/tolv/interface/rspi.h src/tolv/interface/tolv.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tolv)

# tolv.pc must name the prefix it is installed under, which
# `cmake --install --prefix` can change after configuring: the directories are
# filled in now, the prefix at install time.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(TOLV_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(TOLV_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(TOLV_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")
configure_file(tolv.pc.in ${CMAKE_CURRENT_BINARY_DIR}/tolv.pc.install @ONLY)
install(CODE "configure_file([[${CMAKE_CURRENT_BINARY_DIR}/tolv.pc.install]] [[${CMAKE_CURRENT_BINARY_DIR}/tolv.pc]] @ONLY)")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tolv.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# find_package(tolv): tolv::rspiutil, tolv::qzsvcutl, tolv::tolvflatfile, tolv::tolvadm.
set(TOLV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tolv)
install(EXPORT tolvTargets NAMESPACE tolv:: DESTINATION ${TOLV_CMAKE_DIR})
configure_package_config_file(cmake/tolvConfig.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/tolvConfig.cmake
  INSTALL_DESTINATION ${TOLV_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/tolvConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tolvConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/tolvConfigVersion.cmake
  DESTINATION ${TOLV_CMAKE_DIR})

install(FILES doc/tolvadm.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES completions/tolvadm DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
