# Sources written once for both builds of the OS-primitive contract: the
# locked list, the record of the memory log, and the status-message and
# function-name registries with the interface manager. Each function compiles
# its part into a target; the target's own compile definitions decide the
# build (ZEK_KERNEL_BUILD=1 for the kernel, which zekosprim carries; none for
# zekbase's user-mode build). Neither build depends on the other.
include_guard(GLOBAL)

# The sources are named from the functions' own folder: a variable set at
# inclusion would be seen only in the scope of the first includer.
function(zek_add_shared_list_source target)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/list/locked_list.cpp)
endfunction()

function(zek_add_shared_log_source target)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/log/log_record.cpp)
endfunction()

function(zek_add_shared_registry_sources target)
  set(dir ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/registry)
  target_sources(${target} PRIVATE
    ${dir}/registry_tables.cpp
    ${dir}/err_msgs.cpp
    ${dir}/if_mngr.cpp
  )
endfunction()
