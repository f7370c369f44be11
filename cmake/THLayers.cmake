# th_include_root(<target> [HEADERS <header>...])
#
# Gives <target> an include folder of its own that holds nothing but the
# target's headers, under the path they have in the tree:
# <build>/include/th_riff/platform/riff is a link to platform/riff. A file then
# finds "platform/riff/Riff.h" only when its target links th_riff (or is it),
# so an include that points up the layers, or to a library the target does not
# link, fails to build. The include strings stay those of the tree, and links
# (not copies) keep the compiler, its cache and the editor on the real files.
#
# A folder that holds more than one target names each target's HEADERS: the
# root then links those files one by one instead of the whole folder, so that
# the lower target of the folder does not see the upper one's headers.
function(th_include_root target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "HEADERS")
  file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  set(link ${root}/${rel})
  if(arg_HEADERS)
    # A folder of links, one per header; an older root's link to the whole
    # folder, and links to headers no longer named, go.
    if(IS_SYMLINK ${link})
      file(REMOVE ${link})
    endif()
    file(MAKE_DIRECTORY ${link})
    file(GLOB present LIST_DIRECTORIES false RELATIVE ${link} ${link}/*)
    foreach(name IN LISTS present)
      if(NOT name IN_LIST arg_HEADERS)
        file(REMOVE ${link}/${name})
      endif()
    endforeach()
    foreach(name IN LISTS arg_HEADERS)
      if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${name})
        message(FATAL_ERROR "th_include_root(${target}): no header ${name} in ${CMAKE_CURRENT_SOURCE_DIR}")
      endif()
      if(NOT IS_SYMLINK ${link}/${name})
        file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${name} ${link}/${name} SYMBOLIC)
      endif()
    endforeach()
  else()
    if(IS_SYMLINK ${link})
      file(READ_SYMLINK ${link} old)
      if(NOT old STREQUAL CMAKE_CURRENT_SOURCE_DIR)
        file(REMOVE ${link})
      endif()
    elseif(IS_DIRECTORY ${link})
      file(REMOVE_RECURSE ${link})
    endif()
    if(NOT IS_SYMLINK ${link})
      get_filename_component(parent ${link} DIRECTORY)
      file(MAKE_DIRECTORY ${parent})
      file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${link} SYMBOLIC)
    endif()
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL INTERFACE_LIBRARY)
    target_include_directories(${target} INTERFACE $<BUILD_INTERFACE:${root}>)
  else()
    target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${root}>)
  endif()
endfunction()
