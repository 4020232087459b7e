# pelk_use_converters(target): gives the target the paths of the installed
# general-purpose HEX converters as PELK_SREC_CAT and PELK_OBJCOPY (empty
# strings when one is missing; Debian packages srecord and binutils).
find_program(PELK_SREC_CAT_PROGRAM srec_cat)
find_program(PELK_OBJCOPY_PROGRAM objcopy)

function(pelk_use_converters target)
  set(srec_cat "")
  set(objcopy "")
  if(PELK_SREC_CAT_PROGRAM)
    set(srec_cat "${PELK_SREC_CAT_PROGRAM}")
  endif()
  if(PELK_OBJCOPY_PROGRAM)
    set(objcopy "${PELK_OBJCOPY_PROGRAM}")
  endif()
  target_compile_definitions(${target} PRIVATE PELK_SREC_CAT="${srec_cat}" PELK_OBJCOPY="${objcopy}")
endfunction()
