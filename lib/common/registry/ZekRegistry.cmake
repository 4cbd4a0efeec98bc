# The registries' one source, compiled into each build that carries them.
# zek_add_registry_sources(target) adds it to a target; the target's own
# compile definitions decide the build (ZEK_KERNEL_BUILD=1 for the kernel,
# which zekosprim carries; none for zekbase's user-mode build). Neither build
# depends on the other.
include_guard(GLOBAL)

set(ZEK_REGISTRY_DIR ${CMAKE_CURRENT_LIST_DIR})

function(zek_add_registry_sources target)
  target_sources(${target} PRIVATE
    ${ZEK_REGISTRY_DIR}/registry_tables.cpp
    ${ZEK_REGISTRY_DIR}/err_msgs.cpp
    ${ZEK_REGISTRY_DIR}/if_mngr.cpp
  )
endfunction()
