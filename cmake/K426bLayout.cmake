# Where things go when installed (GNUInstallDirs), and the paths the programs compute from their
# own location, so that an installed tree still works after it has been moved.
include(GNUInstallDirs)

# The plug-in and the host framework live in a folder of their own under the library directory:
# the plug-in is loaded by path, and neither belongs in the dynamic linker's search path.
set(K426B_INSTALL_PKGLIBDIR ${CMAKE_INSTALL_LIBDIR}/k426b)
file(RELATIVE_PATH K426B_PKGLIB_FROM_BINDIR ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_FULL_LIBDIR}/k426b)
file(RELATIVE_PATH K426B_PREFIX_FROM_BINDIR ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_PREFIX})
if(K426B_PREFIX_FROM_BINDIR STREQUAL "")
  set(K426B_PREFIX_FROM_BINDIR ".")
endif()

# A package for the system (prefix /usr) puts its configuration in /etc and its service unit where
# systemd's package looks; any other prefix keeps both inside the prefix, so it can be moved.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(K426B_INSTALL_CONFDIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/k426b)
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_get_variable(K426B_INSTALL_UNITDIR systemd systemdsystemunitdir)
  endif()
  if(NOT K426B_INSTALL_UNITDIR)
    set(K426B_INSTALL_UNITDIR /lib/systemd/system)
  endif()
else()
  set(K426B_INSTALL_CONFDIR ${CMAKE_INSTALL_SYSCONFDIR}/k426b)
  set(K426B_INSTALL_UNITDIR lib/systemd/system)
endif()
