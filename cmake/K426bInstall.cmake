# Installing k426b: the programs to bin/; the plug-in and the host framework to <libdir>/k426b/,
# which the programs reach through a relative RUNPATH; the host framework's headers with a CMake
# package for integrators; examples, man pages, the service unit and the configuration template.
# Components: Runtime (package k426b) and Development (package k426b-dev).
include(CMakePackageConfigHelpers)

# The programs this tree builds: the simulator builds also without the host's folder.
set(K426B_PROGRAMS k426b-sim)
if(TARGET k426b-host)
  list(PREPEND K426B_PROGRAMS k426b-host)
endif()
set_target_properties(${K426B_PROGRAMS} PROPERTIES INSTALL_RPATH "$ORIGIN/${K426B_PKGLIB_FROM_BINDIR}")
# The plug-in finds the host framework beside it whichever program loads it.
set_target_properties(k426b PROPERTIES INSTALL_RPATH "$ORIGIN")
target_include_directories(zvkhost INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/k426b>)

install(TARGETS ${K426B_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
install(TARGETS k426b LIBRARY DESTINATION ${K426B_INSTALL_PKGLIBDIR} COMPONENT Runtime)
install(TARGETS zvkhost EXPORT k426bTargets
        LIBRARY DESTINATION ${K426B_INSTALL_PKGLIBDIR} COMPONENT Runtime)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DATADIR}/k426b/examples
        COMPONENT Runtime)
# Alerting rules with their tests, the dashboard and their README, for Prometheus and Grafana.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/monitoring/ DESTINATION ${CMAKE_INSTALL_DATADIR}/k426b/monitoring
        COMPONENT Runtime)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT Runtime)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/sites.json.template DESTINATION ${K426B_INSTALL_CONFDIR}
        RENAME sites.json COMPONENT Runtime)

# The unit names /usr/bin and /etc; an install elsewhere gets its own paths written in.
file(READ ${PROJECT_SOURCE_DIR}/packaging/k426b-host.service K426B_UNIT)
string(REPLACE "/usr/bin/" "${CMAKE_INSTALL_FULL_BINDIR}/" K426B_UNIT "${K426B_UNIT}")
string(REPLACE "/etc/k426b/" "${CMAKE_INSTALL_FULL_SYSCONFDIR}/k426b/" K426B_UNIT "${K426B_UNIT}")
file(WRITE ${PROJECT_BINARY_DIR}/packaging/k426b-host.service "${K426B_UNIT}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/k426b-host.service)
install(FILES ${PROJECT_BINARY_DIR}/packaging/k426b-host.service DESTINATION ${K426B_INSTALL_UNITDIR}
        COMPONENT Runtime)

# Man pages, compressed as Debian installs them (gzip -n: no name or time stamp, reproducible).
set(K426B_MAN_PAGES)
foreach(page k426b-host.1 k426b-sim.1)
  set(source ${PROJECT_SOURCE_DIR}/packaging/man/${page})
  set(compressed ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${compressed}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
                     COMMAND sh -c "gzip -9n -c '${source}' > '${compressed}'"
                     DEPENDS ${source} VERBATIM)
  list(APPEND K426B_MAN_PAGES ${compressed})
endforeach()
add_custom_target(k426b_man ALL DEPENDS ${K426B_MAN_PAGES})
install(FILES ${K426B_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Runtime)

# For integrators: the host framework's headers (#include "host/device.h") and k426b::zvkhost.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/host/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/k426b/host
        COMPONENT Development FILES_MATCHING PATTERN "*.h")
set(K426B_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/k426b)
install(EXPORT k426bTargets NAMESPACE k426b:: DESTINATION ${K426B_CMAKEDIR} COMPONENT Development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/k426bConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cmake/k426bConfig.cmake INSTALL_DESTINATION ${K426B_CMAKEDIR}
  PATH_VARS K426B_INSTALL_PKGLIBDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake/k426bConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/cmake/k426bConfig.cmake ${PROJECT_BINARY_DIR}/cmake/k426bConfigVersion.cmake
        DESTINATION ${K426B_CMAKEDIR} COMPONENT Development)

include(${PROJECT_SOURCE_DIR}/cmake/K426bPackage.cmake)
