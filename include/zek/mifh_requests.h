// The hardware-object control requests (0x12D198-0x12D218): single
// hardware-interface operations on objects whose memory the caller
// supplies, access to the adapter's local memory (LMI), and the upload of a
// queue pair's adapter context. Records: offsets in bytes, pointers are
// addresses in the calling process, statuses u32.
//
// Decisions where the description leaves room or would be unsafe (the host
// trusts no process):
//   - Only privileged callers are served (kernel-mode callers and the
//     machine's administrators); anyone else's request fails with
//     STATUS_ACCESS_DENIED and nothing is read or written.
//   - The init requests fill the caller's own objects; every pointer they
//     store there is an address in the caller's process (its own copies),
//     never a kernel address. Element arrays are mapped for their whole
//     length (count x element size), bounded by the counts below.
//   - The requests that would hand the adapter control objects the caller
//     built, or run operations through pointers the caller wrote (CQP init,
//     create, allocate, post, destroy and deallocate, CEQ, AEQ and CCQ
//     create), check their bounds and are then refused with status
//     MIFH_REQ_STATUS_REFUSED: each function's control queue pair and event
//     queues are the miniport's, and a second set built from a process's
//     copies would take the function's control path over.
//   - LMI access takes the management handle from the caller's cell and
//     serves it only when it names an attached adapter (not by its
//     signature alone); the length is 1 to MIFH_REQ_LMI_MAX_BYTES and the
//     address range must lie in the adapter's local memory window (the
//     adapter checks it too). Access kind 1 writes the caller's bytes into
//     adapter memory, kind 2 reads adapter memory into the caller's buffer.
//   - Every wait for the adapter is bounded (MIFH_REQ_WAIT_MS); a request the
//     adapter did not answer fails with status 1, and its DMA buffer is kept
//     (the adapter may still write it).
//   - The one-QP upload uses the control queue pair of the first attached
//     adapter; the QP id must be one the adapter can have (1, 16-39 or
//     40-262143), else status 7.
//   - The upload of every queue pair (0x12D218) uploads each queue pair the
//     verbs hold open (at most MIFH_REQ_UPLOAD_ALL_MAX) by its id through its
//     own adapter's control queue pair, into the driver's own buffer: the
//     queue pair object is never touched, so one destroyed meanwhile cannot
//     be written into; it is found missing afterwards and skipped. The dump
//     goes to the debug print (proxy/core/mifh_context_dump.h), one line per
//     queue pair to the driver's log. Status: 1 when an upload failed, else 0.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::uint32_t MIFH_REQ_STATUS_OK = 0;
inline constexpr std::uint32_t MIFH_REQ_STATUS_FAIL = 1;
inline constexpr std::uint32_t MIFH_REQ_STATUS_REFUSED = 1;
inline constexpr std::uint32_t MIFH_REQ_STATUS_BAD_COUNT = 6;
inline constexpr std::uint32_t MIFH_REQ_STATUS_BAD_ID = 7;
inline constexpr std::uint32_t MIFH_REQ_STATUS_BAD_PD = 13;

// Bounds of the object requests.
inline constexpr std::uint32_t MIFH_REQ_AEQ_MAX_ELEMENTS = 0x20000;
inline constexpr std::uint32_t MIFH_REQ_CEQ_MAX_ELEMENTS = 0x8000;
inline constexpr std::uint32_t MIFH_REQ_CQ_MAX_ELEMENTS = 32768;
inline constexpr std::uint32_t MIFH_REQ_AEQ_IDS = 8;
inline constexpr std::uint32_t MIFH_REQ_MAX_PD_ID = 0x7FFF;
inline constexpr std::uint32_t MIFH_REQ_AEQE_BYTES = 16;
inline constexpr std::uint32_t MIFH_REQ_CEQE_BYTES = 8;
inline constexpr std::uint32_t MIFH_REQ_CQE_BYTES = 32;
// Mapped object lengths.
inline constexpr std::uint32_t MIFH_REQ_DEVICE_BYTES = 616;
inline constexpr std::uint32_t MIFH_REQ_EQ_OBJECT_BYTES = 64;
inline constexpr std::uint32_t MIFH_REQ_CQ_OBJECT_BYTES = 488;
inline constexpr std::uint32_t MIFH_REQ_PD_OBJECT_BYTES = 272;
// LMI and upload.
inline constexpr std::uint32_t MIFH_REQ_LMI_MAX_BYTES = 0x10000;
inline constexpr std::uint32_t MIFH_REQ_LMI_ALIGN = 64;
inline constexpr std::uint32_t MIFH_REQ_UPLOAD_FULL_BYTES = 320;
inline constexpr std::uint32_t MIFH_REQ_UPLOAD_SHORT_BYTES = 152;
inline constexpr std::uint32_t MIFH_REQ_WAIT_MS = 5000;
inline constexpr std::uint32_t MIFH_REQ_UPLOAD_ALL_MAX = 256;

// IOCTL_ZEK_MIFH_AEQ_INIT, _CEQ_INIT, _CCQ_INIT (40 bytes).
struct MifhReqQueueInit {
  std::uint64_t Device;
  std::uint64_t Object;
  std::uint64_t Elements;
  std::uint64_t ElementsPa;
  std::uint32_t Count;
  std::uint32_t Status;
};
static_assert(offsetof(MifhReqQueueInit, Elements) == 16);
static_assert(offsetof(MifhReqQueueInit, ElementsPa) == 24);
static_assert(offsetof(MifhReqQueueInit, Count) == 32);
static_assert(offsetof(MifhReqQueueInit, Status) == 36);
static_assert(sizeof(MifhReqQueueInit) == 40);

// IOCTL_ZEK_MIFH_PD_INIT (24 bytes).
struct MifhReqPdInit {
  std::uint64_t Device;
  std::uint64_t Pd;
  std::uint32_t PdId;
  std::uint32_t Status;
};
static_assert(offsetof(MifhReqPdInit, PdId) == 16);
static_assert(offsetof(MifhReqPdInit, Status) == 20);
static_assert(sizeof(MifhReqPdInit) == 24);

// IOCTL_ZEK_MIFH_CQP_INIT (64 bytes).
struct MifhReqCqpInit {
  std::uint64_t Device;
  std::uint64_t Cqp;
  std::uint64_t Pd;
  std::uint64_t Sq;
  std::uint64_t HostContext;
  std::uint64_t Pa1;
  std::uint64_t Pa2;
  std::uint32_t SqWqeSize;
  std::uint32_t Status;
};
static_assert(offsetof(MifhReqCqpInit, SqWqeSize) == 56);
static_assert(offsetof(MifhReqCqpInit, Status) == 60);
static_assert(sizeof(MifhReqCqpInit) == 64);

// IOCTL_ZEK_MIFH_CQP_CREATE, _CQP_POST_SQ (16 bytes): object, u32, status.
struct MifhReqObjectWord {
  std::uint64_t Object;
  std::uint32_t Value;
  std::uint32_t Status;
};
static_assert(offsetof(MifhReqObjectWord, Status) == 12);
static_assert(sizeof(MifhReqObjectWord) == 16);

// IOCTL_ZEK_MIFH_CCEQ_CREATE, _AEQ_CREATE (24 bytes).
struct MifhReqEqCreate {
  std::uint64_t Object;
  std::uint32_t Id;
  std::uint8_t Flag;
  std::uint8_t Reserved[3];
  std::uint32_t Status;
  std::uint32_t Reserved20;
};
static_assert(offsetof(MifhReqEqCreate, Flag) == 12);
static_assert(offsetof(MifhReqEqCreate, Status) == 16);
static_assert(sizeof(MifhReqEqCreate) == 24);

// IOCTL_ZEK_MIFH_CCQ_CREATE (24 bytes).
struct MifhReqCcqCreate {
  std::uint64_t Cq;
  std::uint32_t Value8;
  std::uint32_t Value12;
  std::uint32_t Status;
  std::uint32_t Reserved20;
};
static_assert(offsetof(MifhReqCcqCreate, Status) == 16);
static_assert(sizeof(MifhReqCcqCreate) == 24);

// IOCTL_ZEK_MIFH_CQP_ALLOCATE (32 bytes).
struct MifhReqCqpAllocate {
  std::uint64_t Cqp;
  std::uint64_t Sq;
  std::uint64_t HostContext;
  std::uint32_t SqWqeSize;
  std::uint32_t Status;
};
static_assert(offsetof(MifhReqCqpAllocate, Status) == 28);
static_assert(sizeof(MifhReqCqpAllocate) == 32);

// IOCTL_ZEK_MIFH_CQP_DESTROY, _CQP_DEALLOCATE (16 bytes).
struct MifhReqObject {
  std::uint64_t Object;
  std::uint32_t Status;
  std::uint32_t Reserved;
};
static_assert(offsetof(MifhReqObject, Status) == 8);
static_assert(sizeof(MifhReqObject) == 16);

// IOCTL_ZEK_MIFH_LMI_ACCESS (32 bytes).
inline constexpr std::uint8_t MIFH_REQ_LMI_WRITE = 1;
inline constexpr std::uint8_t MIFH_REQ_LMI_READ = 2;
struct MifhReqLmiAccess {
  std::uint64_t HandleCell;  // address of an 8-byte cell holding the management handle
  std::uint64_t Data;
  std::uint32_t Address;  // in the adapter's local memory
  std::uint32_t Length;
  std::uint8_t Kind;    // MIFH_REQ_LMI_WRITE or MIFH_REQ_LMI_READ
  std::uint8_t Option;  // bit 31 of the request
  std::uint8_t Reserved[2];
  std::uint32_t Status;
};
static_assert(offsetof(MifhReqLmiAccess, Data) == 8);
static_assert(offsetof(MifhReqLmiAccess, Address) == 16);
static_assert(offsetof(MifhReqLmiAccess, Length) == 20);
static_assert(offsetof(MifhReqLmiAccess, Kind) == 24);
static_assert(offsetof(MifhReqLmiAccess, Option) == 25);
static_assert(offsetof(MifhReqLmiAccess, Status) == 28);
static_assert(sizeof(MifhReqLmiAccess) == 32);

// IOCTL_ZEK_MIFH_UPLOAD_TCP_CONTEXT (24 bytes).
struct MifhReqUpload {
  std::uint64_t Buffer;  // 320 bytes with Full, else 152
  std::uint32_t QpId;
  std::uint8_t Full;
  std::uint8_t Option;  // bit 30 of the request
  std::uint8_t Reserved[2];
  std::uint32_t Status;
  std::uint32_t Reserved20;
};
static_assert(offsetof(MifhReqUpload, QpId) == 8);
static_assert(offsetof(MifhReqUpload, Full) == 12);
static_assert(offsetof(MifhReqUpload, Option) == 13);
static_assert(offsetof(MifhReqUpload, Status) == 16);
static_assert(sizeof(MifhReqUpload) == 24);

// IOCTL_ZEK_MIFH_UPLOAD_TCP_CONTEXT_BY_QP (24 bytes): only the status is written.
struct MifhReqUploadAll {
  std::uint8_t Reserved[16];
  std::uint32_t Status;
  std::uint32_t Reserved20;
};
static_assert(offsetof(MifhReqUploadAll, Status) == 16);
static_assert(sizeof(MifhReqUploadAll) == 24);
