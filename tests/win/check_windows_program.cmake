# The Windows build's pelkisp.exe (PELK_WINE_PELKISP, as for the tests under
# wine; its build folder is two above its own): its header names Windows 6.0
# (Vista) as the oldest system and subsystem it runs on, since it imports
# functions that came with Vista, so an older system refuses it plainly
# instead of failing on a missing function; and its install holds the
# program alone, no Linux manual pages.
# Usage: cmake -P check_windows_program.cmake (label "wine": ./dev test)
set(exe "$ENV{PELK_WINE_PELKISP}")
if(exe STREQUAL "")
  message("skipped: run by ./dev test, which builds pelkisp.exe and sets PELK_WINE_PELKISP")
  return()
endif()
find_program(OBJDUMP NAMES x86_64-w64-mingw32-objdump REQUIRED)
set(failed "")
execute_process(COMMAND "${OBJDUMP}" -p "${exe}" OUTPUT_VARIABLE header RESULT_VARIABLE status)
foreach(field MajorOSystemVersion MinorOSystemVersion MajorSubsystemVersion MinorSubsystemVersion)
  set(wanted 0)
  if(field MATCHES "^Major")
    set(wanted 6)
  endif()
  string(REGEX MATCH "\n${field}[ \t]+([0-9]+)" found "${header}")
  if(NOT status EQUAL 0 OR NOT CMAKE_MATCH_1 STREQUAL wanted)
    string(APPEND failed "\n${field} is '${CMAKE_MATCH_1}', not ${wanted}")
  endif()
endforeach()

get_filename_component(build "${exe}" DIRECTORY)
get_filename_component(build "${build}/../.." ABSOLUTE)
set(prefix "${build}/install-check")
file(REMOVE_RECURSE "${prefix}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${build}" --prefix "${prefix}" RESULT_VARIABLE status OUTPUT_QUIET)
file(GLOB_RECURSE installed RELATIVE "${prefix}" "${prefix}/*")
if(NOT status EQUAL 0 OR NOT installed STREQUAL "bin/pelkisp.exe")
  string(APPEND failed "\ncmake --install (${status}) put in place: ${installed}")
endif()
file(REMOVE_RECURSE "${prefix}")
if(failed)
  message(FATAL_ERROR "${failed}")
endif()
