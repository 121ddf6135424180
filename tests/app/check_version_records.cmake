# The version records CMake made for one program: its Windows VERSIONINFO
# text, desktop entry and AppStream metainfo, and the name and version its
# QCoreApplication is given, all name the program and version 1.00.
#   -DNAME=<program> -DCAPTION=<main window caption> -DAPP_ID=<desktop id>
#   -DRECORDS_DIR=<generated files> -DDEFINITIONS=<compile definitions, "|"-joined>
#   -DSOURCES=<sources, "|"-joined> -DON_WINDOWS=<bool>
cmake_minimum_required(VERSION 3.25)

set(expected_version "1.00")
set(failures "")

function(expect_match what text regex)
  if(NOT text MATCHES "${regex}")
    set(failures "${failures}\n  ${what}: no match for ${regex}" PARENT_SCOPE)
  endif()
endfunction()

function(read_file path out)
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "missing ${path}")
  endif()
  file(READ "${path}" text)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Regex-safe forms of the values (the caption may hold any character).
string(REGEX REPLACE "([][.*+?^$()|\\\\])" "\\\\\\1" name_re "${NAME}")
string(REGEX REPLACE "([][.*+?^$()|\\\\])" "\\\\\\1" caption_re "${CAPTION}")
string(REGEX REPLACE "([][.*+?^$()|\\\\])" "\\\\\\1" id_re "${APP_ID}")
set(version_re "1\\.00")
set(ws "[ \t]*")

# Windows version record
read_file("${RECORDS_DIR}/${NAME}.rc" rc)
expect_match(rc "${rc}" "\n${ws}FILEVERSION${ws}1,${ws}0,${ws}0,${ws}0${ws}\n")
expect_match(rc "${rc}" "\n${ws}PRODUCTVERSION${ws}1,${ws}0,${ws}0,${ws}0${ws}\n")
expect_match(rc "${rc}" "\n${ws}FILETYPE${ws}VFT_APP${ws}\n")
expect_match(rc "${rc}" "BLOCK${ws}\"040904[bB]0\"")
expect_match(rc "${rc}" "VALUE${ws}\"Translation\",${ws}0x0409,${ws}0x04[bB]0${ws}\n")
foreach(pair "FileVersion=${version_re}" "ProductVersion=${version_re}" "ProductName=${name_re}"
             "InternalName=${name_re}" "OriginalFilename=${name_re}\\.exe" "FileDescription=${caption_re}")
  string(FIND "${pair}" "=" eq)
  string(SUBSTRING "${pair}" 0 ${eq} key)
  math(EXPR after "${eq} + 1")
  string(SUBSTRING "${pair}" ${after} -1 value)
  expect_match("rc ${key}" "${rc}" "VALUE${ws}\"${key}\",${ws}\"${value}\"${ws}\n")
endforeach()

# The .rc is built into the program exactly where version records are read.
string(REPLACE "|" ";" sources "${SOURCES}")
set(rc_in_sources FALSE)
foreach(s IN LISTS sources)
  if(s MATCHES "/${name_re}\\.rc$")
    set(rc_in_sources TRUE)
  endif()
endforeach()
if(ON_WINDOWS AND NOT rc_in_sources)
  string(APPEND failures "\n  ${NAME}.rc is not among the program's sources on Windows")
elseif(NOT ON_WINDOWS AND rc_in_sources)
  string(APPEND failures "\n  ${NAME}.rc is among the program's sources off Windows")
endif()

# Desktop entry
read_file("${RECORDS_DIR}/${APP_ID}.desktop" desktop)
expect_match(desktop "${desktop}" "^\\[Desktop Entry\\]\n")
foreach(line "Type=Application" "Name=${caption_re}" "Exec=${name_re}" "TryExec=${name_re}"
             "StartupWMClass=${name_re}" "X-Quillan-Version=${version_re}")
  expect_match(desktop "${desktop}" "\n${line}\n")
endforeach()

# AppStream metainfo
read_file("${RECORDS_DIR}/${APP_ID}.metainfo.xml" meta)
expect_match(metainfo "${meta}" "<component type=\"desktop-application\">")
expect_match(metainfo "${meta}" "<id>${id_re}</id>")
expect_match(metainfo "${meta}" "<name>${caption_re}</name>")
expect_match(metainfo "${meta}" "<launchable type=\"desktop-id\">${id_re}\\.desktop</launchable>")
expect_match(metainfo "${meta}" "<binary>${name_re}</binary>")
expect_match(metainfo "${meta}" "<release version=\"${version_re}\" date=\"[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]\"")

# What QCoreApplication is told (app/main.cpp) matches the records.
set(defs "|${DEFINITIONS}|")
foreach(def "QUILLAN_APP_NAME=\"${name_re}\"" "QUILLAN_VERSION=\"${version_re}\"" "QUILLAN_DESKTOP_ID=\"${id_re}\"")
  expect_match("compile definitions" "${defs}" "\\|${def}\\|")
endforeach()

if(failures)
  message(FATAL_ERROR "${NAME}: version records are wrong:${failures}")
endif()
message(STATUS "${NAME}: version records hold ${NAME} ${expected_version}")
