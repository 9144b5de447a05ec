# Installation and the Debian package.
#
#   cmake --install build                      the daemon, keldorctl, keldor-web, manual pages,
#                                              systemd units, bash completion, sample settings
#   cmake --install build --component testing  gamesim and mkinstall (demos and tests)
#   cd build && cpack -G DEB                   keldor_*.deb and keldor-testing_*.deb
include(GNUInstallDirs)

install(TARGETS keldor DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT keldor)
install(TARGETS keldorctl keldor-web DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT keldor)
install(TARGETS gamesim mkinstall DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/keldor COMPONENT testing)

# Manual pages, rendered from scdoc and compressed as Debian expects.
find_program(SCDOC scdoc REQUIRED)
foreach(page keldor.8 keldorctl.1 keldor-web.1)
  string(REGEX MATCH "[0-9]$" section ${page})
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    # Two steps, so that a page scdoc refuses fails the build (a pipe would hide it).
    COMMAND sh -c "${SCDOC} < '${CMAKE_SOURCE_DIR}/docs/man/${page}.scd' > '${CMAKE_BINARY_DIR}/man/${page}' && gzip -9nf '${CMAKE_BINARY_DIR}/man/${page}'"
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/${page}.scd
    VERBATIM)
  list(APPEND man_pages ${CMAKE_BINARY_DIR}/man/${page}.gz)
  install(FILES ${CMAKE_BINARY_DIR}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
    COMPONENT keldor)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_pages})

# systemd units: one for a single game server, a template for several, and the
# same pair for the web console; all share one hardening block.
set(KELDOR_ENV_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/keldor)
set(KELDOR_SBIN_DIR ${CMAKE_INSTALL_FULL_SBINDIR})
set(KELDOR_BIN_DIR ${CMAKE_INSTALL_FULL_BINDIR})
set(keldor_unit_names keldor.service keldor@.service keldor-web.service keldor-web@.service)
# keldor_units(out_dir sbin_dir [bin_dir]): bin_dir (keldor-web's) defaults to sbin_dir.
function(keldor_units out_dir sbin_dir)
  set(KELDOR_SBIN_DIR ${sbin_dir})
  set(KELDOR_BIN_DIR ${sbin_dir})
  if(ARGC GREATER 2)
    set(KELDOR_BIN_DIR ${ARGV2})
  endif()
  file(READ ${CMAKE_SOURCE_DIR}/packaging/hardening.in hardening)
  string(STRIP "${hardening}" KELDOR_HARDENING)
  file(READ ${CMAKE_SOURCE_DIR}/packaging/service-body.in body)
  string(CONFIGURE "${body}" KELDOR_SERVICE_BODY @ONLY)
  file(READ ${CMAKE_SOURCE_DIR}/packaging/web-service-body.in web_body)
  string(CONFIGURE "${web_body}" KELDOR_WEB_SERVICE_BODY @ONLY)
  foreach(unit ${keldor_unit_names})
    configure_file(${CMAKE_SOURCE_DIR}/packaging/${unit}.in ${out_dir}/${unit} @ONLY)
  endforeach()
endfunction()
keldor_units(${CMAKE_BINARY_DIR}/systemd ${KELDOR_SBIN_DIR} ${KELDOR_BIN_DIR})
list(TRANSFORM keldor_unit_names PREPEND ${CMAKE_BINARY_DIR}/systemd/ OUTPUT_VARIABLE keldor_units)
install(FILES ${keldor_units} DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system
  COMPONENT keldor)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/keldor.env ${CMAKE_SOURCE_DIR}/packaging/keldor-web.env
  DESTINATION ${KELDOR_ENV_DIR} COMPONENT keldor)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/grafana-keldor.json
  DESTINATION ${CMAKE_INSTALL_DATADIR}/keldor COMPONENT keldor)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/keldorctl.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME keldorctl
  COMPONENT keldor)

# The Debian package: the run-time libraries found by dpkg-shlibdeps; the user
# keldor made on installation; the settings files kept as conffiles.
file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles
  "${KELDOR_ENV_DIR}/keldor.env\n${KELDOR_ENV_DIR}/keldor-web.env\n")
file(COPY ${CMAKE_SOURCE_DIR}/packaging/postinst ${CMAKE_SOURCE_DIR}/packaging/postrm
  DESTINATION ${CMAKE_BINARY_DIR}/debian)

set(CPACK_PACKAGE_NAME keldor)
set(CPACK_PACKAGE_VENDOR "Keldor")
set(CPACK_PACKAGE_CONTACT "Keldor maintainers <maintainers@keldor.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "administration daemon for a Battlefield Vietnam dedicated server")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL keldor testing)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION games)
set(CPACK_DEBIAN_KELDOR_PACKAGE_NAME keldor)
set(CPACK_DEBIAN_KELDOR_PACKAGE_DEPENDS "passwd")
# https webhook targets are checked against the system's certificates.
set(CPACK_DEBIAN_KELDOR_PACKAGE_RECOMMENDS "ca-certificates")
set(CPACK_DEBIAN_KELDOR_PACKAGE_CONTROL_EXTRA
  "${CMAKE_BINARY_DIR}/debian/postinst;${CMAKE_BINARY_DIR}/debian/postrm;${CMAKE_BINARY_DIR}/debian/conffiles")
set(CPACK_DEBIAN_TESTING_PACKAGE_NAME keldor-testing)
set(CPACK_COMPONENT_KELDOR_DESCRIPTION
  "Keldor runs beside the game server and administers it unattended: supervision,\nconfiguration, policing, bans, schedule, announcements, and remote administration\nover its own protocol. keldorctl is its command-line client, keldor-web its web console.")
set(CPACK_COMPONENT_TESTING_DESCRIPTION
  "gamesim, a simulated game server, and mkinstall, which lays out a game installation\nfor demos and tests of Keldor.")
include(CPack)
