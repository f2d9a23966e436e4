# The layering, kept by the compiler: each library's headers are reached through an include
# root of its own in the build tree, which holds links to them alone under the folder's name
# ("core/Logger.h"). The root is a PUBLIC include directory of its library, so a target sees the
# headers of the libraries it links and of no other: including one from outside the layering
# does not compile.
#
# corvane_include_root(<target> [HEADERS <file>...]) gives <target> its root with the listed
# headers of the current folder, or with the whole folder when the folder is that one library.

# Made anew at every configure, so that no header moved or removed leaves a link behind.
file(REMOVE_RECURSE ${PROJECT_BINARY_DIR}/include)

function(corvane_include_root target)
  cmake_parse_arguments(R "" "" "HEADERS" ${ARGN})
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  set(root ${PROJECT_BINARY_DIR}/include/${target})
  if(R_HEADERS)
    file(MAKE_DIRECTORY ${root}/${folder})
    foreach(header ${R_HEADERS})
      file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${header} ${root}/${folder}/${header} SYMBOLIC)
    endforeach()
  else()
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${folder} SYMBOLIC)
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()
