# The registries' one source, compiled into each build that carries them.
# zek_add_registry_sources(target) adds it to a target; the target's own
# compile definitions decide the build (ZEK_KERNEL_BUILD=1 for the kernel,
# which zekosprim carries; none for zekbase's user-mode build). Neither build
# depends on the other.
include_guard(GLOBAL)

# The sources are named from the function's own folder: a variable set at
# inclusion would be seen only in the scope of the first includer.
function(zek_add_registry_sources target)
  set(dir ${CMAKE_CURRENT_FUNCTION_LIST_DIR})
  target_sources(${target} PRIVATE
    ${dir}/registry_tables.cpp
    ${dir}/err_msgs.cpp
    ${dir}/if_mngr.cpp
  )
endfunction()
