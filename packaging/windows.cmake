# Windows: what an installed copy needs beside the programs, and the packages
# CPack makes of it: an NSIS installer (quillan-1.00-win64.exe, Start-menu
# entries, an uninstaller) and a ZIP of the same folder. Included from the
# top-level CMakeLists.txt when building for Windows.

include(GNUInstallDirs)

# The MinGW runtime the compiler links every program against.
set(QUILLAN_MINGW_RUNTIME "")
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(IS_ABSOLUTE "${found}" AND EXISTS "${found}")
    get_filename_component(found "${found}" REALPATH)
    list(APPEND QUILLAN_MINGW_RUNTIME "${found}")
  elseif(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    message(WARNING "${dll} not found beside ${CMAKE_CXX_COMPILER}: the package will lack it")
  endif()
endforeach()
install(FILES ${QUILLAN_MINGW_RUNTIME} DESTINATION ${CMAKE_INSTALL_BINDIR})

# Qt's DLLs, the platform plugin and the style, laid out as windeployqt does.
install(FILES $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui> $<TARGET_FILE:Qt6::Widgets>
              $<TARGET_FILE:Qt6::SerialPort>
        DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION ${CMAKE_INSTALL_BINDIR}/platforms)
if(TARGET Qt6::QWindowsVistaStylePlugin)
  install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION ${CMAKE_INSTALL_BINDIR}/styles)
endif()

# quillan-cli's database output: Qt SQL, libpq beside the program, and the two
# drivers in sqldrivers/, where Qt looks for them beside the program.
if(TARGET quillan_recordstore)
  find_package(Qt6 REQUIRED COMPONENTS Sql) # its targets are seen only where found
  get_filename_component(libpq_dir "${LIBPQ_LIBRARY}" DIRECTORY)
  set(libpq_dll "${libpq_dir}/../bin/libpq.dll")
  if(NOT EXISTS "${libpq_dll}")
    message(FATAL_ERROR "no libpq.dll beside ${LIBPQ_LIBRARY} (in ../bin): the package would lack it")
  endif()
  install(FILES $<TARGET_FILE:Qt6::Sql> "${libpq_dll}" DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES $<TARGET_FILE:Qt6::QSQLiteDriverPlugin> $<TARGET_FILE:Qt6::QPSQLDriverPlugin>
          DESTINATION ${CMAKE_INSTALL_BINDIR}/sqldrivers)
endif()

# Debian's MinGW libstdc++-6.dll carries 22 MB of debug information: strip
# everything copied, as a user needs none of it.
if(CMAKE_STRIP)
  install(CODE "
    file(GLOB_RECURSE quillan_binaries \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/*.dll\"
                                       \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/*.exe\")
    foreach(f IN LISTS quillan_binaries)
      execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded \"\${f}\" RESULT_VARIABLE rc)
      if(NOT rc EQUAL 0)
        message(FATAL_ERROR \"cannot strip \${f}\")
      endif()
    endforeach()")
endif()

set(CPACK_GENERATOR "NSIS;ZIP")
# One installer with everything: the install rules name components (cli, gui)
# for the Debian packages, which Windows does not split.
set(CPACK_MONOLITHIC_INSTALL ON)
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-win64")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Moves text records between a PC and a portable data terminal")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "${CPACK_PACKAGE_NAME}")
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "${CPACK_PACKAGE_NAME}")
# Start-menu entries: each windowed program under its caption (app/CMakeLists.txt).
get_property(CPACK_PACKAGE_EXECUTABLES GLOBAL PROPERTY QUILLAN_PROGRAM_CAPTIONS)
# A 64-bit installer for 64-bit programs: its Program Files, its registry view.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_DISPLAY_NAME "${CPACK_PACKAGE_NAME} ${CPACK_PACKAGE_VERSION}")
set(CPACK_NSIS_PACKAGE_NAME "${CPACK_NSIS_DISPLAY_NAME}")
set(CPACK_NSIS_INSTALLED_ICON_NAME "${CMAKE_INSTALL_BINDIR}\\\\quillan1.exe")
# The Install Options page offers to put bin\ on PATH, for all users or the
# current one, so that quillan-cli runs from any console; the uninstaller
# takes it off again. A silent install (/S) shows no page: there
# /ADD_TO_PATH=ALL or /ADD_TO_PATH=USER makes the same choice, written into the
# page's answers before the template reads them. (No double quotes or
# semicolons: the text passes through CPackConfig.cmake as it is.)
set(CPACK_NSIS_MODIFY_PATH ON)
set(CPACK_NSIS_EXTRA_PREINSTALL_COMMANDS [=[
  IfSilent 0 quillanPathDone
  StrCpy $1 'Field 3'
  Push $CMDLINE
  Push '/ADD_TO_PATH=ALL'
  Call StrStr
  Pop $0
  StrCmp $0 '' 0 quillanPath
  StrCpy $1 'Field 4'
  Push $CMDLINE
  Push '/ADD_TO_PATH=USER'
  Call StrStr
  Pop $0
  StrCmp $0 '' quillanPathDone
  quillanPath:
  !insertmacro MUI_INSTALLOPTIONS_WRITE 'NSIS.InstallOptions.ini' 'Field 2' 'State' '0'
  !insertmacro MUI_INSTALLOPTIONS_WRITE 'NSIS.InstallOptions.ini' $1 'State' '1'
  quillanPathDone:
]=])
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_EXECUTABLES_DIRECTORY "${CMAKE_INSTALL_BINDIR}")
