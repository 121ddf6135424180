# Runs the freedesktop validators over the installed desktop entries and
# metainfo. A validator that is not installed is skipped with a message.
#   -DPREFIX= -DDATADIR=
cmake_minimum_required(VERSION 3.25)

file(GLOB desktop_files "${PREFIX}/${DATADIR}/applications/*.desktop")
file(GLOB meta_files "${PREFIX}/${DATADIR}/metainfo/*.metainfo.xml")
if(NOT desktop_files OR NOT meta_files)
  message(FATAL_ERROR "nothing installed to validate under ${PREFIX}/${DATADIR}")
endif()

set(skipped "")
set(failed "")

find_program(DESKTOP_FILE_VALIDATE desktop-file-validate)
if(DESKTOP_FILE_VALIDATE)
  foreach(f IN LISTS desktop_files)
    execute_process(COMMAND "${DESKTOP_FILE_VALIDATE}" "${f}" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    # It reports hints on exit status 0 too; only errors fail it.
    if(NOT rc EQUAL 0)
      string(APPEND failed "\n${f}:\n${out}")
    elseif(out)
      message(STATUS "${f}:\n${out}")
    endif()
  endforeach()
else()
  list(APPEND skipped "desktop-file-validate (package desktop-file-utils)")
endif()

find_program(APPSTREAMCLI appstreamcli)
if(APPSTREAMCLI)
  # The tree check also ties each metainfo file to its desktop entry.
  execute_process(COMMAND "${APPSTREAMCLI}" validate-tree --no-net "${PREFIX}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    string(APPEND failed "\nappstreamcli validate-tree ${PREFIX}:\n${out}")
  endif()
  foreach(f IN LISTS meta_files)
    execute_process(COMMAND "${APPSTREAMCLI}" validate --no-net "${f}"
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
      string(APPEND failed "\nappstreamcli validate ${f}:\n${out}")
    endif()
  endforeach()
else()
  list(APPEND skipped "appstreamcli (package appstream)")
endif()

if(failed)
  message(FATAL_ERROR "validation failed:${failed}")
endif()
if(skipped)
  list(JOIN skipped ", " text)
  message("SKIPPED: not installed: ${text}")
endif()
