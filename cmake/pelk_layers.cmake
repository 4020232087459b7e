# The layers of src/, enforced by the build. Each library of a src/ folder
# sees on its include path only its own folder and the folders of the
# libraries it links, directly or through them: a view in the build tree,
# ${CMAKE_BINARY_DIR}/layers/LIBRARY/, holding a link to each of those
# folders. An #include that goes the wrong way (a folder above, or one
# beside that the library does not link) then fails to compile:
#
#   src/image/checksum_summary.cpp:2:10: fatal error: protocol/operation_engine.h: No such file or directory
#
# The view is the library's public include path, so a program or library
# that links it sees what it may see itself. The tests and benchmarks add
# the whole src/ folder of their own accord.
#
#   pelk_layer_views(FOLDER...)   after the folders' add_subdirectory()
function(pelk_layer_views)
  set(libraries "")
  foreach(folder IN LISTS ARGN)
    get_property(targets DIRECTORY ${PROJECT_SOURCE_DIR}/src/${folder} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
      get_target_property(type ${target} TYPE)
      if(type STREQUAL "STATIC_LIBRARY")
        list(APPEND libraries ${target})
        set(folder_of_${target} ${folder})
      endif()
    endforeach()
  endforeach()

  foreach(library IN LISTS libraries)
    # The folders of the library and of every library below it.
    set(folders "")
    set(seen "")
    set(queue ${library})
    while(queue)
      list(POP_FRONT queue target)
      if(target IN_LIST seen)
        continue()
      endif()
      list(APPEND seen ${target})
      list(APPEND folders ${folder_of_${target}})
      get_target_property(links ${target} LINK_LIBRARIES)
      foreach(link IN LISTS links)
        if(link IN_LIST libraries)
          list(APPEND queue ${link})
        endif()
      endforeach()
    endwhile()
    list(REMOVE_DUPLICATES folders)

    set(view ${CMAKE_BINARY_DIR}/layers/${library})
    file(MAKE_DIRECTORY ${view})
    # Links of an earlier configuration that no longer belong go (the link
    # alone: file(REMOVE) does not follow it).
    file(GLOB present RELATIVE ${view} LIST_DIRECTORIES true ${view}/*)
    foreach(name IN LISTS present)
      if(NOT name IN_LIST folders)
        file(REMOVE ${view}/${name})
      endif()
    endforeach()
    foreach(folder IN LISTS folders)
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${folder} ${view}/${folder} SYMBOLIC)
    endforeach()
    target_include_directories(${library} PUBLIC ${view})
  endforeach()
endfunction()
