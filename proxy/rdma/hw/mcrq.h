// The multicast receive queue service of the proxy driver: one queue per
// adapter function (16), each a NIC completion queue (id F + 8, on the
// driver's completion event queue F + 8) and the NIC queue pair 1 with
// ZEK_MCRQ_BUFFERS receive buffers in one contiguous area, lent to one
// client at a time (records, statuses and the decisions in
// include/zek/mcrq.h).
//
// The driver's attach offers each function's hardware
// (ZEK_k_mcrq_attach_adapter) and its detach takes it back
// (ZEK_k_mcrq_detach_adapter), which shuts an open queue down on the
// adapter first; a user client's buffer area then stays mapped and
// allocated until the client closes it or its handle. The bottom half hands
// every NIC completion queue of the function to McrqiCompletionCallback,
// which claims the queues' own. Closing a handle (the driver's cleanup)
// closes the queues opened on it.
//
// Locks: each queue has a passive lock for its requests; the arrival
// callback (DISPATCH_LEVEL) takes none: the flag ring has one producer and
// one consumer.
#pragma once

#include <cstdint>

#include "include/zek/mcrq.h"
#include "include/zek/mifh.h"
#include "include/zek/status.h"
#include "platform/kernel/driver.h"

// Library start and stop: the queue table and the "MCRQ Kernel Verbs"
// interface. The stop closes every queue left.
ZekStatus ZEK_Init_MCRQ();
ZekStatus ZEK_Cleanup_MCRQ();

// The function's hardware, offered by the attach of adapter `number` and
// withdrawn by its detach (at PASSIVE_LEVEL, the function's control
// completions still processed).
void ZEK_k_mcrq_attach_adapter(std::uint32_t number, NIC_HW_INFO* hw);
// With `hardware_usable` false (the adapter halted first) nothing is sent
// to the adapter: an open queue's memory stays out of the pools.
void ZEK_k_mcrq_detach_adapter(std::uint32_t number, bool hardware_usable);

// The bottom half's arrival callback: true when `cq` is a queue's (then
// handled), false for any other completion queue.
bool McrqiCompletionCallback(MifhCqObject* cq);

// The control requests 0x12D400-0x12D420 on the record of the code's size:
// the operation's status goes into the record and *Bytes is the record's
// size. Answers 0 (the request completes with its record), or 1 for a code
// of another family.
ULONG ZEK_k_mcrq_poll_completion_ioctl(void* Record, ULONG Code, ULONG_PTR* Bytes, PFILE_OBJECT File);

// Cleanup of a handle: closes the queues opened on it.
void ZEK_k_mcrq_close_file(PFILE_OBJECT File);

// The kernel table's routines (include/zek/mcrq.h).
std::uint32_t ZEK_k_mcrq_get_adapter(std::uint32_t* adapter_number, const char* host);
std::uint32_t ZEK_k_mcrq_open(std::uint32_t adapter_number, std::uint64_t* handle);
std::uint32_t ZEK_k_mcrq_close(std::uint64_t handle);
std::uint32_t ZEK_k_mcrq_get_info(std::uint64_t handle, ZekMcrqInfo* info);
std::uint32_t ZEK_k_mcrq_set_user(std::uint64_t handle, void* context, ZekMcrqCallback callback);
std::uint32_t ZEK_k_mcrq_poll_completion(std::uint64_t handle, ZekMcrqCompletion* out);
std::uint32_t ZEK_k_mcrq_arm(std::uint64_t handle);
std::uint32_t ZEK_k_mcrq_release_buffer(std::uint64_t handle, std::uint32_t count);
