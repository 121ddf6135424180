# quillan_install_manual(PAGE COMPONENT): installs the roff manual page PAGE
# (a path ending in .<section>) compressed, as Debian and most distributions
# keep them, when gzip is there; plain otherwise.
include(GNUInstallDirs)
find_program(QUILLAN_GZIP gzip)

function(quillan_install_manual page component)
  get_filename_component(name ${page} NAME)
  get_filename_component(ext ${page} LAST_EXT)
  string(SUBSTRING "${ext}" 1 -1 section)
  set(dest ${CMAKE_INSTALL_MANDIR}/man${section})
  if(NOT QUILLAN_GZIP)
    install(FILES ${page} DESTINATION ${dest} COMPONENT ${component})
    return()
  endif()
  set(out ${CMAKE_CURRENT_BINARY_DIR}/man/${name})
  # -n: no name or time stamp in the header, so the same page gives the same bytes.
  add_custom_command(OUTPUT ${out}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${page} ${out}
    COMMAND ${QUILLAN_GZIP} -9nf ${out}
    DEPENDS ${page}
    VERBATIM)
  string(MAKE_C_IDENTIFIER "quillan_manual_${name}" target)
  add_custom_target(${target} ALL DEPENDS ${out}.gz)
  install(FILES ${out}.gz DESTINATION ${dest} COMPONENT ${component})
endfunction()
