# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) once the files are staged and
# before they are packed: deb-finish.sh does the work on the staged tree.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
execute_process(
  COMMAND bash "${CPACK_PELK_FINISH_SCRIPT}"
          "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}"
          "${CPACK_PELK_SOURCE_DIR}" "${CPACK_PACKAGE_VERSION}" "${CPACK_DEBIAN_PACKAGE_MAINTAINER}"
          "${CPACK_PELK_WITH_UI}"
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "deb-finish.sh failed (${status})")
endif()
