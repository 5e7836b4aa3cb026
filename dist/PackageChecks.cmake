# Read by cpack: a Debian package is only sound when its programs were built for /usr.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "The Debian package needs a build configured with "
                      "-DCMAKE_INSTALL_PREFIX=/usr (this one uses ${CPACK_PACKAGING_INSTALL_PREFIX})")
endif()
