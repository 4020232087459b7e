# Windows resources for a program: the icon (packaging/windows/pelkisp.ico),
# the version information (the project's version; company and copyright
# from packaging/copyright) and the application manifest
# (packaging/windows/program.manifest.in).
#
#   pelk_windows_resources(TARGET DESCRIPTION [WINDOW])
#
# DESCRIPTION is the file description that Explorer and the Task Manager
# show. Every program's manifest runs it as its invoker and names the
# systems it was written for (Vista to 11). WINDOW is for the window: its
# manifest adds per-monitor DPI awareness, the UTF-8 code page and the
# common controls 6 (packaging/windows/window.manifest.part).
#
# A console program goes without those: the console host, not the program,
# draws its window (DPI), and it creates no controls. Nor does it take the
# UTF-8 code page: it must not need it, since Windows before 10 1903
# ignores it, so pelkisp.exe reads its command line and opens files in
# UTF-16; and wine honours it, so with it the wine tests of names outside
# the ANSI code page would no longer see a narrow call that slipped in.
#
# On other systems than Windows the call does nothing.
#
# Also sets PELK_WINDOWS_COMPANY and PELK_WINDOWS_COPYRIGHT from
# packaging/copyright's first "Copyright: YEARS HOLDER" line, for the
# resources and the installer.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/copyright PELK_WINDOWS_COPYRIGHT REGEX "^Copyright: " LIMIT_COUNT 1)
if(NOT PELK_WINDOWS_COPYRIGHT MATCHES "^Copyright: ([0-9][0-9, -]*[0-9]) (.+)$")
  message(FATAL_ERROR "packaging/copyright has no line \"Copyright: YEARS HOLDER\"")
endif()
set(PELK_WINDOWS_COPYRIGHT "Copyright © ${CMAKE_MATCH_1} ${CMAKE_MATCH_2}")
set(PELK_WINDOWS_COMPANY "${CMAKE_MATCH_2}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/copyright)

function(pelk_windows_resources target description)
  if(NOT WIN32)
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 2 arg "WINDOW" "" "")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "pelk_windows_resources: unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  set(source ${PROJECT_SOURCE_DIR}/packaging/windows)

  set(PELK_RES_TARGET ${target})
  set(PELK_RES_DESCRIPTION "${description}")
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  set(PELK_RES_FILE_NAME ${name}${CMAKE_EXECUTABLE_SUFFIX})
  # Four numbers, as the version resource and the manifest have them.
  set(PELK_RES_VERSION4 ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)
  string(REPLACE "." "," PELK_RES_VERSION_COMMAS ${PELK_RES_VERSION4})
  set(PELK_RES_WINDOW_PARTS "")
  if(arg_WINDOW)
    file(READ ${source}/window.manifest.part PELK_RES_WINDOW_PARTS)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source}/window.manifest.part)
  endif()

  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources)
  set(PELK_RES_ICON ${source}/pelkisp.ico)
  set(PELK_RES_MANIFEST ${dir}/${PELK_RES_FILE_NAME}.manifest)
  configure_file(${source}/program.manifest.in ${PELK_RES_MANIFEST} @ONLY)
  configure_file(${source}/program.rc.in ${dir}/${name}.rc @ONLY)
  target_sources(${target} PRIVATE ${dir}/${name}.rc)
  # The resource compiler reports no dependencies: the icon and manifest
  # are named here, so that a change to either builds the program again.
  set_property(SOURCE ${dir}/${name}.rc APPEND PROPERTY OBJECT_DEPENDS ${PELK_RES_ICON} ${PELK_RES_MANIFEST})
endfunction()
