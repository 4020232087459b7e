# pelkisp.exe (PELK_WINE_PELKISP; its build folder is two above it): its
# header names Windows 6.0, whose functions it imports, as the oldest system
# it runs on, and its install holds the programs alone, no manual pages:
# pelkisp.exe and, when it is built, the window as "Pelk ISP.exe" (a name
# that differs from pelkisp.exe also where case does not count).
set(exe "$ENV{PELK_WINE_PELKISP}")
if(exe STREQUAL "")
  message("skipped: run by ./dev test, which builds pelkisp.exe and sets PELK_WINE_PELKISP")
  return()
endif()
find_program(OBJDUMP NAMES x86_64-w64-mingw32-objdump REQUIRED)
execute_process(COMMAND "${OBJDUMP}" -p "${exe}" OUTPUT_VARIABLE header)
string(REGEX MATCHALL "(OSystem|Subsystem)Version\t[0-9]+" versions "${header}")
get_filename_component(build "${exe}/../../.." ABSOLUTE)
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${build}" --prefix "${build}/install-check" OUTPUT_QUIET)
file(GLOB_RECURSE installed RELATIVE "${build}/install-check" "${build}/install-check/*")
file(REMOVE_RECURSE "${build}/install-check")
set(expected "bin/pelkisp.exe")
if(EXISTS "${build}/src/app/PelkISP.exe")
  set(expected "bin/Pelk ISP.exe;bin/pelkisp.exe")
endif()
list(SORT installed)
if(NOT versions STREQUAL "OSystemVersion\t6;OSystemVersion\t0;SubsystemVersion\t6;SubsystemVersion\t0"
   OR NOT installed STREQUAL expected)
  message(FATAL_ERROR "header: ${versions}\ninstalled: ${installed}")
endif()
