# Run by `cmake --install` and by CPack, with CMAKE_INSTALL_PREFIX the prefix
# installed to: the user unit starts the program installed beside it, and
# the settings file goes where GNUInstallDirs puts /usr's: /etc.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(etc /etc)
else()
  set(etc ${CMAKE_INSTALL_PREFIX}/etc)
endif()
set(TESSARO_BINARY ${CMAKE_INSTALL_PREFIX}/${TESSARO_BINDIR}/tessaro)
set(TESSARO_DOCUMENTATION "man:tessaro(1)")
# One unit per destination: installs into two places may run at once.
string(MD5 destination "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(unit ${TESSARO_INSTALLED}/${destination}/tessaro.service)
configure_file(${TESSARO_SOURCE_DIR}/service/tessaro.service.in ${unit} @ONLY)
file(INSTALL ${unit} DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/user)
file(REMOVE_RECURSE ${TESSARO_INSTALLED}/${destination})
file(INSTALL ${TESSARO_SOURCE_DIR}/service/tessaro.conf DESTINATION ${etc}/tessaro)
