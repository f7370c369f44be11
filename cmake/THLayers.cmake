# th_include_root(<target>)
#
# Gives <target> an include folder of its own that holds nothing but the
# target's source folder, under the path it has in the tree:
# <build>/include/th_riff/platform/riff is a link to platform/riff. A file then
# finds "platform/riff/Riff.h" only when its target links th_riff (or is it),
# so an include that points up the layers, or to a library the target does not
# link, fails to build. The include strings stay those of the tree, and a link
# (not a copy) keeps the compiler, its cache and the editor on the real files.
function(th_include_root target)
  file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  set(link ${root}/${rel})
  if(IS_SYMLINK ${link})
    file(READ_SYMLINK ${link} old)
    if(NOT old STREQUAL CMAKE_CURRENT_SOURCE_DIR)
      file(REMOVE ${link})
    endif()
  endif()
  if(NOT IS_SYMLINK ${link})
    get_filename_component(parent ${link} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${link} SYMBOLIC)
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL INTERFACE_LIBRARY)
    target_include_directories(${target} INTERFACE $<BUILD_INTERFACE:${root}>)
  else()
    target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${root}>)
  endif()
endfunction()
