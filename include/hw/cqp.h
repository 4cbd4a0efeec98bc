// Control queue pair formats: the host context the adapter reads when a CQP
// is created, the 64-byte control request (CQP WQE), its operation words and
// op codes, and the 32-byte completion entry (CCQ entry, the iWARP CQE form)
// with its error codes. Little-endian throughout. Records are packed, so no
// padding can creep in, and 8-byte aligned, as their rings are.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zekhw {

// ---------------------------------------------------------------------------
// CQP host context (16 bytes at the address in idx_cqp_context_low/high).
inline constexpr unsigned kCqpCtxSizeCodeShift = 10;  // bits 10-11 of word 0
inline constexpr unsigned kCqpCtxIdShift = 12;        // bits 12-15 of word 0
inline constexpr std::uint32_t kCqpRingSizes[4] = {4, 32, 128, 512};
inline constexpr unsigned kMaxCqpId = 15;
constexpr std::uint64_t cqp_context_word0(unsigned cqp_id, unsigned size_code) {
  return (static_cast<std::uint64_t>(size_code & 3) << kCqpCtxSizeCodeShift) |
         (static_cast<std::uint64_t>(cqp_id & 0xF) << kCqpCtxIdShift);
}

// ---------------------------------------------------------------------------
// Op codes (bits 0-5 of a request's op word, echoed in bits 0-5 of its CCQ entry).
inline constexpr std::uint32_t kOpMask = 0x3F;
enum CqpOp : std::uint8_t {
  kOpCreateQp = 0x00,
  kOpModifyQp = 0x01,
  kOpDestroyQp = 0x02,  // bits 16-19 = object type; type 4 destroys the CQP itself
  kOpCreateCq = 0x03,
  kOpModifyCq = 0x04,
  kOpDestroyCq = 0x05,
  kOpAllocateStag = 0x09,
  kOpRegisterNonSharedMr = 0x0A,
  kOpQueryStag = 0x0B,
  kOpRegisterSharedMr = 0x0C,
  kOpDeallocateStag = 0x0D,
  kOpArpCache = 0x0F,
  kOpUploadQpContext = 0x13,
  kOpCreateCeq = 0x16,
  kOpDestroyCeq = 0x18,
  kOpCreateAeq = 0x19,
  kOpDestroyAeq = 0x1B,
  kOpLmiAccess = 0x20,
  kOpFlush = 0x22,
  kOpNop = 0x24,
};

// Object types of create/destroy QP (bits 16-19 of the op word).
inline constexpr unsigned kQpTypeShift = 16;
inline constexpr std::uint32_t kQpTypeMask = 0xF;
inline constexpr std::uint32_t kQpTypeIwarp = 1;
inline constexpr std::uint32_t kQpTypeCqp = 4;
inline constexpr std::uint32_t kQpTypeNic = 5;
inline constexpr std::uint32_t kOpWordDestroyCqp = 0x40002;

// Queue-pair requests. NIC create 0x00258000 (op 0, bit 15, type 5, bits
// 21-27 = 1) and destroy 0x50002 name the QP id in the object word and its
// host context at +24. The iWARP create and modify carry the state in bits
// 28-30 (kQpStateShift, qp_context.h).
inline constexpr std::uint32_t kOpWordCreateNicQp = 0x00258000;
inline constexpr std::uint32_t kOpWordDestroyNicQp = 0x00050002;
inline constexpr std::uint32_t kOpWordDestroyIwarpQp = 0x00010002;
inline constexpr std::uint32_t kOpWordDestroyToeQp = 0x00004002;
// Upload: by object 0x40000013 | type << 16; by id (option << 30) | 0x10013
// (iWARP) or | 0x50013 (NIC ids below 40). +24 the buffer the adapter writes
// the context into (176 bytes for iWARP, 24 for NIC).
inline constexpr std::uint32_t kUploadByObject = 0x40000000;
// LMI access: 0x20 | kind << 28 | option << 31; +4 adapter-memory address,
// +32 buffer, +40 length.
inline constexpr unsigned kLmiKindShift = 28;
inline constexpr std::uint32_t kLmiKindMask = 7;
inline constexpr std::uint32_t kLmiWrite = 1;  // host buffer -> adapter memory
inline constexpr std::uint32_t kLmiRead = 2;   // adapter memory -> host buffer
inline constexpr std::uint32_t kMaxLmiBytes = 0x10000;
// Flush: 0x22 | SQ << 30 | RQ << 31 (object word the QP id).
inline constexpr std::uint32_t kFlushSq = 1u << 30;
inline constexpr std::uint32_t kFlushRq = 1u << 31;
// The modify's bit 31 flag and bit 9 (either attribute word at 24 or 28 non-zero).
inline constexpr std::uint32_t kModifyFlag31 = 1u << 31;
inline constexpr std::uint32_t kQpWordBit9 = 1u << 9;

// Completion queues. The create/modify/destroy CQ op word carries the entry
// count in bits 16-31, the iWARP flag in bit 9, the fixed bits 0x400 and
// 0x1000, flag P in bit 14 and the virtual-mapping flag V in bit 15.
inline constexpr std::uint32_t kCqWordIwarp = 1u << 9;
inline constexpr std::uint32_t kCqWordFixed = 0x0400 | 0x1000;
inline constexpr std::uint32_t kCqWordModifyFixed = 0x1E00;
inline constexpr std::uint32_t kCqWordP = 1u << 14;
inline constexpr std::uint32_t kCqWordV = 1u << 15;
inline constexpr unsigned kCqWordCountShift = 16;
inline constexpr std::uint32_t kMaxCqId = 32768;
inline constexpr std::uint32_t kMaxCqEntries = 32768;
constexpr std::uint32_t create_cq_word(std::uint32_t count, bool iwarp, bool p = false, bool v = false) {
  return kOpCreateCq | kCqWordFixed | (iwarp ? kCqWordIwarp : 0u) | (p ? kCqWordP : 0u) | (v ? kCqWordV : 0u) |
         (count << kCqWordCountShift);
}
constexpr std::uint32_t modify_cq_word(std::uint32_t count, bool p = false, bool v = false) {
  return kOpModifyCq | kCqWordModifyFixed | (p ? kCqWordP : 0u) | (v ? kCqWordV : 0u) | (count << kCqWordCountShift);
}
constexpr std::uint32_t destroy_cq_word(std::uint32_t count = 0, bool p = false, bool v = false) {
  return kOpDestroyCq | (p ? kCqWordP : 0u) | (v ? kCqWordV : 0u) | (count << kCqWordCountShift);
}
// Object word of the CQ requests: CEQ id << 16 | CQ id.
constexpr std::uint32_t cq_object_word(std::uint32_t cq_id, std::uint32_t ceq_id) { return (ceq_id << 16) | cq_id; }

// Event queues: id << 8 | op | 0x4000; the object word holds the entry count.
inline constexpr std::uint32_t kEqWordFixed = 0x4000;
inline constexpr unsigned kEqIdShift = 8;
inline constexpr std::uint32_t kEqIdMask = 0x3F;  // bits 8-13
inline constexpr unsigned kMaxCeqs = 16;
inline constexpr unsigned kMaxAeqs = 8;
inline constexpr std::uint32_t kMaxCeqEntries = 32768;
inline constexpr std::uint32_t kMaxAeqEntries = 0x20000;
constexpr std::uint32_t create_ceq_word(std::uint32_t id) { return (id << kEqIdShift) | kEqWordFixed | kOpCreateCeq; }
constexpr std::uint32_t destroy_ceq_word(std::uint32_t id) { return (id << kEqIdShift) | kEqWordFixed | kOpDestroyCeq; }
constexpr std::uint32_t create_aeq_word(std::uint32_t id) { return (id << kEqIdShift) | kEqWordFixed | kOpCreateAeq; }
constexpr std::uint32_t destroy_aeq_word(std::uint32_t id) { return (id << kEqIdShift) | kEqWordFixed | kOpDestroyAeq; }

// ---------------------------------------------------------------------------
// The 64-byte control request.
#pragma pack(push, 1)
struct alignas(8) MifhCqpWqe {
  std::uint32_t op_word;             // bits 0-5 op code, higher bits per operation
  std::uint32_t object_word;         // per operation (ids, counts)
  std::uint64_t cqp_object;          // echoed in bytes 8-15 of the CCQ entry
  std::uint64_t completion_context;  // the requester's record, or 0 (not seen by the adapter)
  std::uint64_t physical_address;    // ring, page list or host context
  std::uint64_t operation_word;      // CQ requests: CQ object >> 1
  std::uint32_t parameter_word;      // CQ requests: the CQ's parameter word
  std::uint8_t further[20];          // zero unless the operation says otherwise
};
#pragma pack(pop)
static_assert(alignof(MifhCqpWqe) == 8);
static_assert(sizeof(MifhCqpWqe) == 64);
static_assert(offsetof(MifhCqpWqe, op_word) == 0);
static_assert(offsetof(MifhCqpWqe, object_word) == 4);
static_assert(offsetof(MifhCqpWqe, cqp_object) == 8);
static_assert(offsetof(MifhCqpWqe, completion_context) == 16);
static_assert(offsetof(MifhCqpWqe, physical_address) == 24);
static_assert(offsetof(MifhCqpWqe, operation_word) == 32);
static_assert(offsetof(MifhCqpWqe, parameter_word) == 40);
static_assert(offsetof(MifhCqpWqe, further) == 44);

// Bytes 32-63 of an iWARP QP create or modify request: the attribute values
// the driver places there (the adapter keeps them with the QP).
#pragma pack(push, 1)
struct alignas(8) MifhCqpQpAttributeWords {
  std::uint64_t value32;
  std::uint32_t value40;
  std::uint32_t value44;
  std::uint64_t value48;
  std::uint32_t value56;
  std::uint16_t value60;
  std::uint16_t reserved62;
};
#pragma pack(pop)
static_assert(sizeof(MifhCqpQpAttributeWords) == 32);
static_assert(offsetof(MifhCqpQpAttributeWords, value40) == 40 - 32);
static_assert(offsetof(MifhCqpQpAttributeWords, value44) == 44 - 32);
static_assert(offsetof(MifhCqpQpAttributeWords, value48) == 48 - 32);
static_assert(offsetof(MifhCqpQpAttributeWords, value56) == 56 - 32);
static_assert(offsetof(MifhCqpQpAttributeWords, value60) == 60 - 32);
inline constexpr std::uint32_t kCqpQpAttributeOffset = offsetof(MifhCqpWqe, operation_word);
static_assert(kCqpQpAttributeOffset + sizeof(MifhCqpQpAttributeWords) == sizeof(MifhCqpWqe));

// The register-MR request (op 0x0A, a non-shared memory region), the same
// 64 bytes read in its own form.
#pragma pack(push, 1)
struct alignas(8) MifhCqpRegisterMrWqe {
  std::uint32_t op_word;  // kOpRegisterNonSharedMr | 0x2000 | the region's flags and access rights
  std::uint32_t pbl_chunk_count;
  std::uint64_t cqp_object;
  std::uint64_t completion_context;
  std::uint32_t pd_id;  // 16 bits
  std::uint32_t total_length;
  std::uint32_t stag;  // STag index << 8 | key
  std::uint32_t reserved36;
  std::uint64_t va_or_fbo;  // first-byte offset when zero-based, else the virtual address
  std::uint64_t pbl_pa;     // physical address of the page list
  std::uint32_t pbl_bytes;  // page-list size in bytes
  std::uint32_t reserved60;
};
#pragma pack(pop)
static_assert(alignof(MifhCqpRegisterMrWqe) == 8);
static_assert(sizeof(MifhCqpRegisterMrWqe) == sizeof(MifhCqpWqe));
static_assert(offsetof(MifhCqpRegisterMrWqe, pbl_chunk_count) == offsetof(MifhCqpWqe, object_word));
static_assert(offsetof(MifhCqpRegisterMrWqe, cqp_object) == offsetof(MifhCqpWqe, cqp_object));
static_assert(offsetof(MifhCqpRegisterMrWqe, completion_context) == offsetof(MifhCqpWqe, completion_context));
static_assert(offsetof(MifhCqpRegisterMrWqe, pd_id) == 24);
static_assert(offsetof(MifhCqpRegisterMrWqe, total_length) == 28);
static_assert(offsetof(MifhCqpRegisterMrWqe, stag) == 32);
static_assert(offsetof(MifhCqpRegisterMrWqe, va_or_fbo) == 40);
static_assert(offsetof(MifhCqpRegisterMrWqe, pbl_pa) == 48);
static_assert(offsetof(MifhCqpRegisterMrWqe, pbl_bytes) == 56);

#pragma pack(push, 1)
struct alignas(8) MifhCqpHostContext {
  std::uint64_t word0;    // cqp_context_word0(id, size code)
  std::uint64_t ring_pa;  // physical address of the request ring
};
#pragma pack(pop)
static_assert(alignof(MifhCqpHostContext) == 8);
static_assert(sizeof(MifhCqpHostContext) == 16);
static_assert(offsetof(MifhCqpHostContext, word0) == 0);
static_assert(offsetof(MifhCqpHostContext, ring_pa) == 8);

// ---------------------------------------------------------------------------
// The 32-byte completion entry. iWARP CQs and the CCQ share the form; the
// CCQ reads bytes 8-15 as the CQP object, 16-19 as the result word and
// 24-27 as the minor (bits 0-15) and major (bits 16-31) codes.
#pragma pack(push, 1)
struct alignas(8) MifhCqe {
  std::uint32_t bytes_received;  // receive completions
  std::uint32_t reserved4;
  std::uint64_t tag;        // QP object | WQE index; CCQ: CQP object
  std::uint32_t immediate;  // immediate data; CCQ: result word
  std::uint32_t reserved20;
  std::uint32_t codes;  // CCQ: minor code bits 0-15, major code bits 16-31
  std::uint32_t flags;  // bit 31 valid, 30 QP flag, 8 SQ, 7 error, 6 immediate, 0-5 op code
};
#pragma pack(pop)
static_assert(alignof(MifhCqe) == 8);
static_assert(sizeof(MifhCqe) == 32);
static_assert(offsetof(MifhCqe, bytes_received) == 0);
static_assert(offsetof(MifhCqe, tag) == 8);
static_assert(offsetof(MifhCqe, immediate) == 16);
static_assert(offsetof(MifhCqe, codes) == 24);
static_assert(offsetof(MifhCqe, flags) == 28);

// ---------------------------------------------------------------------------
// STag requests (allocate 0x09, register non-shared 0x0A, query 0x0B,
// register shared 0x0C, deallocate 0x0D) laid over the 64-byte request.
#pragma pack(push, 1)
struct alignas(8) MifhStagWqe {
  std::uint32_t op_word;
  std::uint32_t chunk_count;  // register: page-list chunks (0 contiguous, 1 one level, more: two levels)
  std::uint64_t cqp_object;
  std::uint64_t completion_context;
  std::uint32_t pd;            // +24
  std::uint32_t length;        // +28 (register)
  std::uint32_t stag;          // +32: index << 8 | key
  std::uint32_t source_index;  // +36 (register shared)
  std::uint64_t va_or_fbo;     // +40: the virtual address, or the first-byte offset when zero-based
  std::uint64_t pbl_pa;        // +48: page list (one level), its root (two levels), the first page (contiguous)
  std::uint32_t pbl_bytes;     // +56: bytes of page-list entries (8 a page)
  std::uint32_t reserved60;
};
#pragma pack(pop)
static_assert(sizeof(MifhStagWqe) == 64);
static_assert(offsetof(MifhStagWqe, chunk_count) == 4);
static_assert(offsetof(MifhStagWqe, pd) == 24);
static_assert(offsetof(MifhStagWqe, length) == 28);
static_assert(offsetof(MifhStagWqe, stag) == 32);
static_assert(offsetof(MifhStagWqe, source_index) == 36);
static_assert(offsetof(MifhStagWqe, va_or_fbo) == 40);
static_assert(offsetof(MifhStagWqe, pbl_pa) == 48);
static_assert(offsetof(MifhStagWqe, pbl_bytes) == 56);
inline constexpr std::uint32_t kStagNotZeroBased = 1u << 9;  // register: +40 is a virtual address
inline constexpr std::uint32_t kStagChunk4K = 1u << 11;      // page-list chunks of 4 KB (else 256 bytes)
inline constexpr std::uint32_t kStagRegion = 1u << 13;       // allocate / deallocate: a region (else a window)
inline constexpr std::uint32_t kStagLargePages = 1u << 14;   // register: 2 MB pages
inline constexpr unsigned kStagAccessShift = 16;             // register: rights in bits 16-19
inline constexpr std::uint32_t kStagDeallocPbl = 1u << 10;   // deallocate: the page list goes too
// Query result: the CCQ codes word, major 0xFFFF when no such STag; else
// minor bits 0-7 = 0 when valid (1 when not), bits 8-15 the key.
inline constexpr std::uint16_t kStagQueryNone = 0xFFFF;

// ARP cache request (0x0F): AEQ number << 16 | 0x30F adds entry (object
// word) with MAC bytes 2-5 at +24 (byte 2 in bits 24-31) and bytes 0-1 at
// +28 (byte 0 in bits 8-15); 0x20F deletes it. Entries 0-4095.
inline constexpr std::uint32_t kArpAdd = 0x300;
inline constexpr std::uint32_t kArpDelete = 0x200;
inline constexpr std::uint32_t kArpEntries = 4096;

inline constexpr std::uint32_t kCqeValid = 1u << 31;
inline constexpr std::uint32_t kCqeQpFlag = 1u << 30;
inline constexpr std::uint32_t kCqeSendQueue = 1u << 8;
inline constexpr std::uint32_t kCqeError = 1u << 7;
inline constexpr std::uint32_t kCqeImmediate = 1u << 6;
inline constexpr std::uint32_t kCqeOpMask = 0x3F;
inline constexpr unsigned kCqeMajorShift = 16;
inline constexpr std::uint32_t kCqeMinorMask = 0xFFFF;

// Major code of a refused control request (with kCqeError); 0 on success.
inline constexpr std::uint16_t kCcqMajorRefused = 0x0001;

// Minor codes of a refused control request.
enum CcqMinor : std::uint16_t {
  kCcqOk = 0x0000,
  kCcqBackingState = 0x1000,  // the queue's memory cannot be reached
  kCcqPacketCount = 0x3000,
  kCcqScratchpadFlush = 0x3001,
  kCcqMemoryWindowBound = 0x4000,
  kCcqIdTooBig = 0x8000,  // a queue or QP id outside its range
  kCcqInvalidNicQpId = 0x8001,
  kCcqInvalidState = 0x8002,  // the object does not exist, or already exists
  kCcqInvalidNextState = 0x8003,
  kCcqInvalidQueueSize = 0x8004,  // an entry count or size code outside its range
  kCcqInvalidQpType = 0x8005,
  kCcqNoWqePending = 0x8006,
  kCcqBadClose = 0x8007,
  kCcqInvalidNicIndex = 0x8008,
  kCcqLlpClosed = 0x8009,
  kCcqResetNotSent = 0x800A,
  kCcqUnsupported = 0x800B,  // an op code (or form of one) this adapter does not carry out
};

}  // namespace zekhw
