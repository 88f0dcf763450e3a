# The Debian packages (cpack -G DEB, see scripts/package.sh): k426b with the programs, the plug-in,
# the service and the configuration; k426b-dev with the headers and the CMake package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME k426b)
set(CPACK_PACKAGE_VENDOR "k426b project")
set(CPACK_PACKAGE_CONTACT "k426b maintainers <k426b@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL Runtime Development)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Library dependencies from dpkg-shlibdeps; the private libraries in <libdir>/k426b are our own.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME k426b)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "Monitoring host and driver plug-in for telecom DC power systems\n\
k426b-host supervises DC power systems (AC distribution, rectifier modules, DC distribution) on\n\
9600-baud serial lines or serial device servers, through the k426b driver plug-in: values,\n\
alarms, history, an event stream. The package installs the k426b-host.service systemd unit\n\
(not enabled), the configuration /etc/k426b/sites.json and the equipment simulator k426b-sim.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
  ${PROJECT_SOURCE_DIR}/packaging/debian/postrm
  ${PROJECT_BINARY_DIR}/packaging/conffiles)
set(conffile ${K426B_INSTALL_CONFDIR}/sites.json)
if(NOT IS_ABSOLUTE ${conffile})
  set(conffile ${CPACK_PACKAGING_INSTALL_PREFIX}/${conffile})
endif()
file(WRITE ${PROJECT_BINARY_DIR}/packaging/conffiles "${conffile}\n")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME k426b-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "k426b (= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}), libjsoncpp-dev, libfmt-dev, libboost-date-time-dev")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
  "Headers and CMake package of the k426b host framework\n\
find_package(k426b) gives k426b::zvkhost, the host framework the k426b driver plug-in runs\n\
against, for integrators who build their own plug-in or test host against the same contract.")

include(CPack)
