// The multicast receive queue: each adapter function lends one client (a
// kernel module, or a user process through the control requests
// 0x12D400-0x12D420) a NIC queue pair and NIC completion queue of its own on
// which the adapter delivers every multicast frame the function receives.
//
// A user client opens the queue (its receive buffer area is mapped into the
// process), arms the completion queue, waits for arrivals with the drain
// request, takes each frame with the poll request (the buffer's offset in
// the area and the frame's length), reads the frame in its mapping, and
// hands buffers back, oldest first, with the release request. Closing the
// queue, closing the handle it was opened on, or the process's end releases
// the queue and its mapping.
//
// Decisions where the description leaves room or would be unsafe:
//   - A handle is the adapter number (0-15); every request checks that the
//     queue is open and was opened on the caller's own handle (file object)
//     in the caller's process, else status ZEK_MCRQ_STATUS_INVALID_HANDLE.
//   - The open's doorbell flag (+8) is refused: the doorbell page is the
//     function's register page, every register of the adapter function, and
//     no process is given it. The frames are reached by the poll request.
//   - The doorbell address field (+24) is 64 bits wide (0: nothing mapped).
//   - The queue has ZEK_MCRQ_BUFFERS buffers of ZEK_MCRQ_BUFFER_BYTES, one
//     per receive-ring slot, so ring slot i always holds buffer i.
//   - The completion-flag ring has ZEK_MCRQ_FLAG_ENTRIES entries; a drain
//     returns at most 64 of them and moves the read index past those it
//     returned. A drain that finds none waits at most ZEK_MCRQ_DRAIN_WAIT_MS
//     and then returns with a count of 0.
//   - A release of n buffers moves the receive ring's consumer by n (not by
//     one) and posts n buffers; n must be 1 to the number of frames polled
//     and not yet released.
//   - Close wakes a waiting drain before it takes anything down.
//   - The info request's last word is the function's PCI function number.
//   - After the request's operation the dispatcher runs the parked-slot
//     protocol on the record's first word: 0x103 parks the request in the
//     code's slot, 0xC0000120 cancels and 0 completes the caller's request
//     parked there (nothing when none is); any other value, and every
//     request not parked, completes with its record.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::uint32_t ZEK_MCRQ_MAX_ADAPTERS = 16;
inline constexpr std::uint32_t ZEK_MCRQ_BUFFERS = 512;
inline constexpr std::uint32_t ZEK_MCRQ_BUFFER_BYTES = 2048;
inline constexpr std::uint32_t ZEK_MCRQ_AREA_BYTES = ZEK_MCRQ_BUFFERS * ZEK_MCRQ_BUFFER_BYTES;
inline constexpr std::uint32_t ZEK_MCRQ_FLAG_ENTRIES = 256;
inline constexpr std::uint32_t ZEK_MCRQ_DRAIN_ENTRIES = 64;
inline constexpr std::uint32_t ZEK_MCRQ_DRAIN_WAIT_MS = 1000;
inline constexpr std::uint32_t ZEK_MCRQ_FRAME_BYTES = 1500;  // the queue's MTU

// Statuses written into the records.
inline constexpr std::uint32_t ZEK_MCRQ_STATUS_OK = 0;
inline constexpr std::uint32_t ZEK_MCRQ_STATUS_FAIL = 1;             // not open, in use, no hardware, refused
inline constexpr std::uint32_t ZEK_MCRQ_STATUS_BAD_POINTER = 2;      // a null record or output
inline constexpr std::uint32_t ZEK_MCRQ_STATUS_BAD_COUNT = 12;       // a release of 0, or of more than was taken
inline constexpr std::uint32_t ZEK_MCRQ_STATUS_INVALID_HANDLE = 13;  // above 15, or not the caller's queue
inline constexpr std::uint32_t ZEK_MCRQ_STATUS_CQ_EMPTY = 0x50033;   // poll: no frame waiting

// IOCTL_ZEK_MCRQ_GET_ADAPTER (264 bytes).
struct ZekMcrqGetAdapterRecord {
  std::uint32_t AdapterNumber;  // out
  char Host[256];               // in
  std::uint32_t Status;
};
static_assert(offsetof(ZekMcrqGetAdapterRecord, Host) == 4);
static_assert(offsetof(ZekMcrqGetAdapterRecord, Status) == 260);
static_assert(sizeof(ZekMcrqGetAdapterRecord) == 264);

// IOCTL_ZEK_MCRQ_OPEN_USER (128 bytes).
struct ZekMcrqOpenRecord {
  std::uint64_t Handle;           // out: the adapter number
  std::uint32_t MapDoorbell;      // in: must be 0
  std::uint32_t AdapterNumber;    // in
  std::uint32_t QpId;             // out
  std::uint32_t CqId;             // out
  std::uint64_t DoorbellAddress;  // out: 0
  std::uint64_t CompletionRing;   // out: 0 (not mapped)
  std::uint32_t FlagRingEntries;  // out
  std::uint32_t Reserved44;
  std::uint64_t BufferArea;  // out: the area's address in the caller
  std::uint32_t Status;
  std::uint32_t Reserved60;
  std::uint32_t One;               // out: 1
  std::uint32_t Zero;              // out: 0
  std::uint32_t BufferCount;       // out
  std::uint32_t AdapterNumberOut;  // out
  std::uint32_t BufferSize;        // out
  std::uint32_t Reserved84;
  std::uint64_t Zero88;  // out: 0
  std::uint8_t Reserved96[32];
};
static_assert(offsetof(ZekMcrqOpenRecord, MapDoorbell) == 8);
static_assert(offsetof(ZekMcrqOpenRecord, AdapterNumber) == 12);
static_assert(offsetof(ZekMcrqOpenRecord, QpId) == 16);
static_assert(offsetof(ZekMcrqOpenRecord, CqId) == 20);
static_assert(offsetof(ZekMcrqOpenRecord, DoorbellAddress) == 24);
static_assert(offsetof(ZekMcrqOpenRecord, CompletionRing) == 32);
static_assert(offsetof(ZekMcrqOpenRecord, FlagRingEntries) == 40);
static_assert(offsetof(ZekMcrqOpenRecord, BufferArea) == 48);
static_assert(offsetof(ZekMcrqOpenRecord, Status) == 56);
static_assert(offsetof(ZekMcrqOpenRecord, One) == 64);
static_assert(offsetof(ZekMcrqOpenRecord, BufferCount) == 72);
static_assert(offsetof(ZekMcrqOpenRecord, AdapterNumberOut) == 76);
static_assert(offsetof(ZekMcrqOpenRecord, BufferSize) == 80);
static_assert(offsetof(ZekMcrqOpenRecord, Zero88) == 88);
static_assert(sizeof(ZekMcrqOpenRecord) == 128);

// IOCTL_ZEK_MCRQ_CLOSE (16 bytes).
struct ZekMcrqCloseRecord {
  std::uint64_t Handle;
  std::uint32_t Status;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekMcrqCloseRecord, Status) == 8);
static_assert(sizeof(ZekMcrqCloseRecord) == 16);

// IOCTL_ZEK_MCRQ_POLL_COMPLETION (24 bytes).
struct ZekMcrqPollRecord {
  std::uint32_t Handle;
  std::uint32_t Reserved4;
  std::uint32_t Offset;  // out: of the frame's buffer in the area
  std::uint32_t Length;  // out: the frame's length (0: received in error)
  std::uint32_t Status;  // ZEK_MCRQ_STATUS_CQ_EMPTY when nothing waits
  std::uint32_t Reserved20;
};
static_assert(offsetof(ZekMcrqPollRecord, Offset) == 8);
static_assert(offsetof(ZekMcrqPollRecord, Length) == 12);
static_assert(offsetof(ZekMcrqPollRecord, Status) == 16);
static_assert(sizeof(ZekMcrqPollRecord) == 24);

// IOCTL_ZEK_MCRQ_ARM and IOCTL_ZEK_MCRQ_WAKE_DRAIN (16 bytes).
struct ZekMcrqHandleRecord {
  std::uint32_t Handle;
  std::uint32_t Reserved4;
  std::uint32_t Status;
  std::uint32_t Reserved12;
};
static_assert(offsetof(ZekMcrqHandleRecord, Status) == 8);
static_assert(sizeof(ZekMcrqHandleRecord) == 16);

// IOCTL_ZEK_MCRQ_DRAIN (272 bytes).
struct ZekMcrqDrainRecord {
  std::uint32_t Handle;
  std::uint32_t Reserved4;
  std::uint32_t Flags[ZEK_MCRQ_DRAIN_ENTRIES];  // out
  std::uint32_t Count;                          // out
  std::uint32_t Status;
};
static_assert(offsetof(ZekMcrqDrainRecord, Flags) == 8);
static_assert(offsetof(ZekMcrqDrainRecord, Count) == 264);
static_assert(offsetof(ZekMcrqDrainRecord, Status) == 268);
static_assert(sizeof(ZekMcrqDrainRecord) == 272);

// IOCTL_ZEK_MCRQ_RELEASE_BUFFERS (16 bytes).
struct ZekMcrqReleaseRecord {
  std::uint32_t Handle;
  std::uint32_t Reserved4;
  std::uint32_t Count;
  std::uint32_t Status;
};
static_assert(offsetof(ZekMcrqReleaseRecord, Count) == 8);
static_assert(offsetof(ZekMcrqReleaseRecord, Status) == 12);
static_assert(sizeof(ZekMcrqReleaseRecord) == 16);

// ---- "MCRQ Kernel Verbs" (interface 0x28495AF0) ------------------------------------------------
// A kernel client's arrival routine: (its context, 1, its handle).
using ZekMcrqCallback = void (*)(void* context, std::uint32_t events, std::uint64_t handle);
struct ZekMcrqInfo {
  std::uint32_t One;
  std::uint32_t Zero;
  std::uint32_t BufferCount;
  std::uint32_t Function;  // the PCI function number
};
struct ZekMcrqCompletion {
  std::uint64_t Buffer;  // the buffer's kernel address
  std::uint32_t Length;
  std::uint32_t Reserved;
};
struct ZekMcrqKernelVerbs {
  std::uint32_t (*GetAdapter)(std::uint32_t* adapter_number, const char* host);
  std::uint32_t (*Open)(std::uint32_t adapter_number, std::uint64_t* handle);
  std::uint32_t (*Close)(std::uint64_t handle);
  std::uint32_t (*GetInfo)(std::uint64_t handle, ZekMcrqInfo* info);
  std::uint32_t (*SetUser)(std::uint64_t handle, void* context, ZekMcrqCallback callback);
  std::uint32_t (*PollCompletion)(std::uint64_t handle, ZekMcrqCompletion* out);
  std::uint32_t (*Arm)(std::uint64_t handle);
  std::uint32_t (*ReleaseBuffer)(std::uint64_t handle, std::uint32_t count);
};
static_assert(sizeof(ZekMcrqKernelVerbs) == 64);
