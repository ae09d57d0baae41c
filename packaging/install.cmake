# Install rules, relative to the prefix (`cmake --install build --prefix P`),
# and the Debian package made from the same rules (`make package`).
include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(TESSARO_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/tessaro)

set(programs tessaro tessaro-render tessaro-cameras)
install(TARGETS ${programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The whole relocation table read-only once loaded, as Debian's programs have it.
foreach(program ${programs})
  target_link_options(${program} PRIVATE -Wl,-z,relro,-z,now)
endforeach()

# Manual pages and the changelog go compressed, as Debian has them; -n keeps
# the same bytes from build to build.
set(compressed)
foreach(page docs/man/tessaro.1 docs/man/tessaro-render.1 docs/man/tessaro-cameras.1 packaging/changelog)
  get_filename_component(name ${page} NAME)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/installed/${name}.gz
    COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/${page} > ${CMAKE_BINARY_DIR}/installed/${name}.gz
    DEPENDS ${CMAKE_SOURCE_DIR}/${page} VERBATIM)
  list(APPEND compressed ${CMAKE_BINARY_DIR}/installed/${name}.gz)
endforeach()
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/installed)
add_custom_target(compressed_docs ALL DEPENDS ${compressed})
list(FILTER compressed INCLUDE REGEX "\\.1\\.gz$")
install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES packaging/copyright ${CMAKE_BINARY_DIR}/installed/changelog.gz DESTINATION ${TESSARO_DOC_DIR})

install(FILES service/org.tessaro.Tessaro.desktop DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
install(FILES service/org.tessaro.Tessaro.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo)
install(FILES service/org.tessaro.Tessaro.svg DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps)

# The user unit names the installed program, and the settings file goes to
# /etc under /usr: both depend on the prefix installed to, known only then.
install(CODE "
  set(TESSARO_SOURCE_DIR \"${CMAKE_SOURCE_DIR}\")
  set(TESSARO_INSTALLED \"${CMAKE_BINARY_DIR}/installed\")
  set(TESSARO_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  include(\"${CMAKE_SOURCE_DIR}/packaging/install-prefixed.cmake\")")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessaro)
set(CPACK_PACKAGE_VENDOR "The Tessaro developers")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "interactive sound installation that hears movement through a webcam")
set(CPACK_PACKAGE_DESCRIPTION "A webcam watches a visitor. How much of the picture moves, where the
movement is and how fast it travels become continuous stereo sound: a tone
voice and a strike voice through two long reverbs. The window stays black;
the installation is heard, not seen.

The package holds the installation, tessaro-render (offline rendering of a
recording) and tessaro-cameras (the camera listing), their manual pages and
a systemd user unit for gallery machines, which it does not enable.")
# The install rules' own prefix is /usr, with the settings file in /etc.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tessaro developers <tessaro@tessaro.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# Packing and lintian take both cores for a while: the package's test runs
# alone, so that the timing tests keep theirs.
if(TEST e2e.test_package)
  set_tests_properties(e2e.test_package PROPERTIES RUN_SERIAL TRUE)
endif()
