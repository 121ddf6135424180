# Debian packages made by CPack (cpack -G DEB): quillan-cli, the command line
# alone, which a server without a desktop can take, and quillan, the two
# windowed programs, which depends on it. Dependencies come from the binaries
# themselves (dpkg-shlibdeps), so each package asks for the Qt libraries it
# really links and no more.
include(GNUInstallDirs)

set(QUILLAN_DEB_MAINTAINER "Seed 45152064 maintainers <maintainers@users.noreply.c-seed-45152064.example>"
    CACHE STRING "Maintainer field of the Debian packages")
set(QUILLAN_DEB_RELEASE 1 CACHE STRING "Debian revision of the packages")

# The changelog's latest entry must be this very version, or lintian (and
# apt-listchanges) would tell the user about another one.
set(deb_doc ${CMAKE_CURRENT_LIST_DIR}/debian)
file(STRINGS ${deb_doc}/changelog deb_head LIMIT_COUNT 1)
if(NOT deb_head MATCHES "^quillan \\(${QUILLAN_VERSION}-${QUILLAN_DEB_RELEASE}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog starts with \"${deb_head}\", "
                      "not an entry for ${QUILLAN_VERSION}-${QUILLAN_DEB_RELEASE}")
endif()

# Debian wants the changelog compressed without a time stamp in the gzip header.
if(NOT QUILLAN_GZIP)
  message(FATAL_ERROR "gzip is needed for the Debian packages")
endif()
set(deb_out ${CMAKE_BINARY_DIR}/packaging/debian)
add_custom_command(OUTPUT ${deb_out}/changelog.Debian.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${deb_out}
  COMMAND ${CMAKE_COMMAND} -E copy ${deb_doc}/changelog ${deb_out}/changelog.Debian
  COMMAND ${QUILLAN_GZIP} -9nf ${deb_out}/changelog.Debian
  DEPENDS ${deb_doc}/changelog
  VERBATIM)
add_custom_target(quillan_deb_changelog ALL DEPENDS ${deb_out}/changelog.Debian.gz)

foreach(component cli gui)
  if(component STREQUAL "cli")
    set(package quillan-cli)
    set(programs quillan-cli)
  else()
    set(package quillan)
    set(programs quillan1 quillan)
  endif()
  # Each package carries its own copyright file and changelog, and lintian's
  # overrides: its own way to say a tag does not apply, with the reason
  # beside it. Only a package build installs these (EXCLUDE_FROM_ALL):
  # `cmake --install` into /usr/local has no use for them.
  install(FILES ${deb_doc}/copyright ${deb_out}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
  install(FILES ${deb_doc}/${package}.lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
  # Stripped as dh_strip strips: besides the symbols, the compiler's .comment
  # and .note sections go. Runs after the programs' own install rules.
  foreach(program IN LISTS programs)
    install(CODE "
      if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\"
                        COMMAND_ERROR_IS_FATAL ANY)
      endif()" COMPONENT ${component})
  endforeach()
endforeach()

# quillan-collect.service: `quillan-cli collect` under systemd as the user
# quillan (sysusers.d), its settings in one conffile and its log rotated by
# logrotate. Installed disabled: the maintainer scripts make the user and the
# folders (tmpfiles.d) and never enable or start it.
install(FILES ${deb_doc}/quillan-collect.service DESTINATION /lib/systemd/system COMPONENT cli EXCLUDE_FROM_ALL)
install(FILES ${deb_doc}/quillan-collect.default DESTINATION /etc/default RENAME quillan-collect
        COMPONENT cli EXCLUDE_FROM_ALL)
install(FILES ${deb_doc}/quillan-collect.logrotate DESTINATION /etc/logrotate.d RENAME quillan-collect
        COMPONENT cli EXCLUDE_FROM_ALL)
install(FILES ${deb_doc}/quillan.sysusers DESTINATION lib/sysusers.d RENAME quillan.conf COMPONENT cli EXCLUDE_FROM_ALL)
install(FILES ${deb_doc}/quillan.tmpfiles DESTINATION lib/tmpfiles.d RENAME quillan.conf COMPONENT cli EXCLUDE_FROM_ALL)
# dpkg keeps the administrator's edits of these.
set(deb_cli ${deb_out}/quillan-cli)
file(WRITE ${deb_cli}/conffiles "/etc/default/quillan-collect\n/etc/logrotate.d/quillan-collect\n")
set(CPACK_DEBIAN_CLI_PACKAGE_CONTROL_EXTRA ${deb_cli}/conffiles)
foreach(script postinst prerm postrm)
  configure_file(${deb_doc}/quillan-cli.${script} ${deb_cli}/${script} COPYONLY)
  list(APPEND CPACK_DEBIAN_CLI_PACKAGE_CONTROL_EXTRA ${deb_cli}/${script})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
# Directories the package creates are 0755 whatever the builder's umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli gui)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QUILLAN_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUILLAN_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SOURCE ${CPACK_PACKAGE_NAME})
# Maintainer scripts 0755, conffiles 0644, whatever the checkout made of them.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_CLI_PACKAGE_NAME quillan-cli)
# quillan-collect.service's log is rotated by logrotate; the program runs without it.
# Qt loads its database drivers as plugins, which no library dependency names:
# SQLite is always at hand, PostgreSQL where a site uses it.
set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS libqt6sql6-sqlite)
set(CPACK_DEBIAN_CLI_PACKAGE_RECOMMENDS "logrotate, libqt6sql6-psql")
set(CPACK_DEBIAN_CLI_DESCRIPTION
"move records between a PC and a portable data terminal (command line)
quillan-cli fetches the records a portable data terminal holds into a text
file, one record a line, and sends the lines of a text file to the terminal,
over an RS-232 serial line (115200 baud, 8N1, RTS/CTS). A record is synced
to disk before the terminal is told to delete it.

It needs no display, so it runs over SSH, from scripts and from cron, and it
names COM ports as the windowed programs in the quillan package do.")

set(CPACK_DEBIAN_GUI_PACKAGE_NAME quillan)
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS "quillan-cli (= ${CPACK_PACKAGE_VERSION}-${QUILLAN_DEB_RELEASE})")
set(CPACK_DEBIAN_GUI_DESCRIPTION
"move records between a PC and a portable data terminal (windows)
quillan1 and quillan, one program under two names that differ only in the
main window's caption, fetch the records a portable data terminal holds into
a text file and send the lines of a text file to the terminal, over an RS-232
serial line, from a main window with Upload and Download windows.

The command line program comes with the quillan-cli package.")
