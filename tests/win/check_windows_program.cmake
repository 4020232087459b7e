# pelkisp.exe (PELK_WINE_PELKISP; its build folder is two above it): its
# header names Windows 6.0, whose functions it imports, as the oldest system
# it runs on; its install holds the programs alone, no manual pages:
# pelkisp.exe and, when it is built, the window as "Pelk ISP.exe" (a name
# that differs from pelkisp.exe also where case does not count). Their
# resources, as windres reads them back: every size of ICON, the version
# VERSION, a manifest that names Windows 10 and 11 and runs the program as
# its invoker; only the window's with the UTF-8 code page, per-monitor DPI
# awareness and the common controls 6.
#
#   cmake -DVERSION=X.Y.Z -DICON=packaging/windows/pelkisp.ico -P check_windows_program.cmake
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

find_program(WINDRES NAMES x86_64-w64-mingw32-windres REQUIRED)
# The icon file's header: its third 16-bit word is the number of images.
file(READ "${ICON}" icon_header LIMIT 6 HEX)
string(SUBSTRING "${icon_header}" 8 2 images)
math(EXPR images "0x${images}")
string(REPLACE "." ", " numbers "${VERSION}")
string(REPLACE "." "\\." version "${VERSION}")
set(window_parts
  ">UTF-8</activeCodePage>"
  ">PerMonitorV2, PerMonitor</dpiAwareness>"
  ">true/pm</dpiAware>"
  "name=\"\"Microsoft.Windows.Common-Controls\"\"")

# check_resources(EXE WINDOW): WINDOW is TRUE for the window.
function(check_resources exe window)
  execute_process(COMMAND "${WINDRES}" -i "${exe}" -O rc OUTPUT_VARIABLE rc RESULT_VARIABLE status)
  set(expected
    "RT_GROUP_ICON \\*/\nBEGIN\n   0, 1, ${images},"
    "FILEVERSION ${numbers}, 0\n PRODUCTVERSION ${numbers}, 0\n"
    "VALUE \"FileVersion\", \"${version}\"\n"
    "VALUE \"ProductVersion\", \"${version}\"\n"
    "VALUE \"ProductName\", \"Pelk ISP\"\n"
    "<supportedOS Id=\"\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"\"/>"
    "<requestedExecutionLevel level=\"\"asInvoker\"\"")
  set(unexpected "")
  if(window)
    list(APPEND expected ${window_parts})
  else()
    list(APPEND unexpected ${window_parts})
  endif()
  set(wrong "")
  foreach(text IN LISTS expected)
    if(NOT rc MATCHES "${text}")
      string(APPEND wrong "  lacks: ${text}\n")
    endif()
  endforeach()
  foreach(text IN LISTS unexpected)
    if(rc MATCHES "${text}")
      string(APPEND wrong "  has: ${text}\n")
    endif()
  endforeach()
  if(NOT status EQUAL 0 OR NOT wrong STREQUAL "")
    message(SEND_ERROR "${exe}'s resources (windres status ${status}):\n${wrong}")
  endif()
endfunction()

check_resources("${exe}" FALSE)
if(EXISTS "${build}/src/app/PelkISP.exe")
  check_resources("${build}/src/app/PelkISP.exe" TRUE)
endif()
