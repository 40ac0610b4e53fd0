# Small helpers shared by the build files of the tree.

# kitbase_glob_sources(<out-var> <dir>...): every .cpp below the given folders.
function(kitbase_glob_sources out)
  set(files)
  foreach(dir ${ARGN})
    file(GLOB_RECURSE found CONFIGURE_DEPENDS ${dir}/*.cpp)
    list(APPEND files ${found})
  endforeach()
  set(${out} ${files} PARENT_SCOPE)
endfunction()
