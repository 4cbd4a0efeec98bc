// The adapter's resource managers: one set per PCI function, coordinated
// through an owner/follower pattern so that the functions of one adapter
// share one state per kind of manager.
//
//   exclusion.cpp  the exclusion head every manager starts with, the Global
//                  Interface Manager (GIM) that owners meet in, joining and
//                  leaving (GIMUser_Init / GIMUser_Cleanup), the hardware
//                  semaphore and the hardware information the managers share
//   gromit.cpp     resource numbering: the Global Resource Manager (GRoMiT)
//                  lends blocks of numbers to functions, the Local Resource
//                  Manager (LaRMiT) hands out single numbers from them
//   mrte.cpp       the memory-region translation manager: page-list budgets
//                  and the page-list layout of a region
//   services.cpp   the link manager's callback table, the flash and EEPROM
//                  locks and the IP address manager
//   tables.cpp     the routine tables and their use-counted registration in
//                  the interface manager
//
// Every routine answers a ZekStatus: 0 success, 1 failure, 2 bad pointer (a
// null object or the fill value 0xCCCCCCCC), 4 out of memory, unless its
// comment says otherwise. Every failure is logged as the conventions give.
//
// Where the owners' rules leave room, this module decides (each a named
// constant or a documented routine below): tables and follower lists refuse
// an entry when full; an owner whose followers all refuse the hand-off hands
// to the first follower anyway, so no follower is left with a null owner; a
// GIM that cannot leave its owner is not freed; a block given back by a
// function that leaves returns to the lending ring; a hand-off rebuilds the
// ring from free blocks only; a number freed twice or out of range answers 1.
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/zek/interfaces.h"
#include "include/zek/mifh.h"
#include "include/zek/osprim.h"
#include "include/zek/status.h"

// ---- Exclusion head -----------------------------------------------------------------------------------
inline constexpr std::uint32_t ZEK_EXCLUSION_SIGNATURE = 0xEC705102;
inline constexpr std::uint32_t ZEK_EXCLUSION_MAX_FOLLOWERS = 64;

struct ZekGimTable;
struct ZekExclusionObject;

using ZekExcHandoff = ZekStatus (*)(ZekExclusionObject* new_owner, ZekExclusionObject* old_owner);
using ZekExcHold = ZekStatus (*)(ZekExclusionObject* object);
using ZekExcNewOwner = ZekStatus (*)(ZekExclusionObject* object, ZekExclusionObject* owner);
using ZekExcRegister = ZekStatus (*)(ZekExclusionObject* owner, ZekExclusionObject* follower);

// The head of every GIM-managed object (the GIM, GRoMiT, MRTE, GLMI, IPADDR).
// The owner points at itself; every instance, the owner included, is in the
// owner's follower list and forwards its calls to the owner under its own
// exclusion lock.
struct ZekExclusionObject {
  std::uint32_t Signature;  // ZEK_EXCLUSION_SIGNATURE
  std::uint32_t InterfaceId;
  ZekExcHandoff Handoff;  // the new owner takes over the old one's state (old null: first owner)
  ZekExcHold HoldForNewOwner;
  ZekExcNewOwner NewOwner;
  ZekExcRegister Register;
  ZekExcRegister Deregister;
  ZekExclusionObject* Owner;
  ZekExclusionObject* Followers[ZEK_EXCLUSION_MAX_FOLLOWERS];
  std::uint32_t FollowerCount;
  std::uint32_t Reserved;
  OSPrimSpinlockObject Lock;  // the exclusion lock
  const ZekGimTable* Gim;
  void* GimHandle;
};
static_assert(offsetof(ZekExclusionObject, Signature) == 0);

// The common routines behind a head (also the defaults GIMUser_Init installs).
ZekStatus ExclusionIF_Register(ZekExclusionObject* owner, ZekExclusionObject* follower);
ZekStatus ExclusionIF_Deregister(ZekExclusionObject* owner, ZekExclusionObject* follower);
ZekStatus ExclusionIF_Handoff(ZekExclusionObject* new_owner, ZekExclusionObject* old_owner);
ZekStatus ExclusionIF_HoldForNewOwner(ZekExclusionObject* object);
ZekStatus ExclusionIF_NewOwner(ZekExclusionObject* object, ZekExclusionObject* owner);

// True for a head whose signature is right.
bool ZekExclusionValid(const ZekExclusionObject* object);

// ---- Global Interface Manager -----------------------------------------------------------------------------
inline constexpr std::uint32_t ZEK_GIM_MAX_INTERFACES = 64;

struct ZekGimInterfaceEntry {
  std::uint64_t Value;
  std::uint32_t Key;
  std::uint32_t Reserved;
};

struct ZekGim {
  ZekExclusionObject Head;
  ZekGimInterfaceEntry Interfaces[ZEK_GIM_MAX_INTERFACES];
  std::uint32_t InterfaceCount;
  std::uint32_t RegisteredByThis;  // interfaces this follower registered, less those it deregistered
  MifhDeviceObj* Device;           // scratchpad and hardware semaphore
  OSPrimSpinlockObject OwnerLock;
};

// The GIM's routine table ("Global Interface Manager"), slots in order. The
// handle every slot takes is the calling function's own GIM.
struct ZekGimTable {
  ZekInterfaceHeader Header;
  ZekStatus (*Create_GIM)(ZekGim** out, MifhDeviceObj* device);
  ZekStatus (*Cleanup_GIM)(ZekGim* gim);
  ZekStatus (*Lock)(void* handle);
  ZekStatus (*Release)(void* handle);
  ZekStatus (*GetInterface)(void* handle, std::uint32_t key, std::uint64_t* value);
  ZekStatus (*RegisterInterface)(void* handle, std::uint32_t key, std::uint64_t value);
  ZekStatus (*ReregisterInterface)(void* handle, std::uint32_t key, std::uint64_t value);
  ZekStatus (*DeregisterInterface)(void* handle, std::uint32_t key);
};
extern const ZekGimTable g_ZekGimTable;

ZekStatus Create_GIM(ZekGim** out, MifhDeviceObj* device);
// A GIM that cannot leave its owner stays allocated (and answers 1): its
// pointer is still in the scratchpad or a follower list.
ZekStatus Cleanup_GIM(ZekGim* gim);

// The hardware semaphore: the board scratchpad's spin-lock object. A missing
// scratchpad or a wrong signature is tried again at once; every 20th failure
// waits 20 ms; after 100 failures the caller gets 1.
inline constexpr std::uint32_t ZEK_HW_SEMAPHORE_TRIES = 100;
inline constexpr std::uint32_t ZEK_HW_SEMAPHORE_BACKOFF_EVERY = 20;
inline constexpr std::uint32_t ZEK_HW_SEMAPHORE_BACKOFF_US = 20000;
ZekStatus ZekHwSemaphoreAcquire(MifhDeviceObj* device);
void ZekHwSemaphoreRelease(MifhDeviceObj* device);

// Joining and leaving the owner of a manager kind through the GIM. The
// object's head must be the start of the object; `object->Handoff`,
// `Register` and `Deregister` may be set by the kind before the call (null
// ones get the ExclusionIF defaults).
ZekStatus GIMUser_Init(ZekExclusionObject* object, const ZekGimTable* gim, void* gim_handle, std::uint32_t id);
ZekStatus GIMUser_Cleanup(ZekExclusionObject* object);

// ---- Hardware information ----------------------------------------------------------------------------------
enum ZekResourceType : std::uint32_t {
  ZEK_RES_QP = 0,
  ZEK_RES_CQ = 1,
  ZEK_RES_MR = 2,
  ZEK_RES_PD = 3,
  ZEK_RES_USERPD = 4,
  ZEK_RES_IRD = 5,
  ZEK_RES_TYPES = 6,
};
// "QP", "CQ", "MR", "PD", "USERPD", "IRD".
const char* ZekResourceTypeName(std::uint32_t type);

inline constexpr std::uint32_t ZEK_IP_TABLE_SIZE = 32;
inline constexpr std::uint32_t ZEK_MIN_ARP_TABLE_SIZE = 32;

struct ZekRmHardwareInfo {
  std::uint32_t Count[ZEK_RES_TYPES];  // numbers of each type
  std::uint32_t First[ZEK_RES_TYPES];  // first number of each type
  std::uint32_t PciFunctions;          // functions sharing the adapter
  std::uint32_t Pbl4kChunks;
  std::uint32_t Pbl256Chunks;
  std::uint32_t IpTableSize;   // always ZEK_IP_TABLE_SIZE
  std::uint32_t ArpTableSize;  // the adapter's ARP count, at least ZEK_MIN_ARP_TABLE_SIZE
};

// The hardware information of a device object. The attach publishes it for
// its device object from the adapter's capabilities before it creates the
// managers; a device with none published answers 1.
ZekStatus GetHardwareInfo(MifhDeviceObj* device, ZekRmHardwareInfo* info);
ZekStatus ZekRmPublishHardwareInfo(MifhDeviceObj* device, const ZekRmHardwareInfo* info);
void ZekRmWithdrawHardwareInfo(MifhDeviceObj* device);

// Resources per block for a resource count.
std::uint32_t GromitBlockSize(std::uint32_t count);

// ---- GRoMiT -------------------------------------------------------------------------------------------------
inline constexpr std::uint8_t ZEK_GROMIT_FREE_TAG = 255;
inline constexpr std::uint32_t ZEK_GROMIT_MAX_TAG = 40;
inline constexpr std::uint32_t ZEK_GROMIT_MAX_FUNCTIONS = 64;
inline constexpr std::uint32_t ZEK_GROMIT_MAX_BLOCKS = 65536;
// Statuses of the owner's block routines.
inline constexpr ZekStatus ZEK_GROMIT_NO_BLOCK = 3;
inline constexpr ZekStatus ZEK_GROMIT_BAD_TAG = 515;
inline constexpr ZekStatus ZEK_GROMIT_BAD_INDEX = 518;
inline constexpr ZekStatus ZEK_GROMIT_BAD_TYPE = 519;

struct ZekGromitPool {
  std::uint32_t Blocks;  // n (up to 65536)
  std::uint16_t BlockSize;
  std::uint16_t Reserved;
  std::uint32_t Base;
  std::uint32_t Alloc;  // A
  std::uint32_t Free;   // F; blocks lent = A - F
  std::uint32_t* Ring;  // n block indexes
  std::uint8_t* Tags;   // n owner tags, ZEK_GROMIT_FREE_TAG = free
};

struct ZekGromit {
  ZekExclusionObject Head;
  OSPrimSpinlockObject PoolLock;
  std::uint8_t Tag;  // this function's owner tag
  std::uint8_t Reserved[7];
  ZekGromitPool Pools[ZEK_RES_TYPES];
};

// Words 0-5: resources per type; words 8-13: resources lent (GRoMiT) or in use (LaRMiT).
struct ZekAllocationRecord {
  std::uint32_t Words[16];
};

struct ZekGromitTable {
  ZekInterfaceHeader Header;
  ZekStatus (*CreateGromit)(ZekGromit** out, const ZekGimTable* gim, void* gim_handle, MifhDeviceObj* device,
                            std::uint32_t tag);
  ZekStatus (*Cleanup_Gromit)(ZekGromit* gromit);
  ZekStatus (*AllocBlock)(ZekGromit* gromit, std::uint32_t type, std::uint32_t* first, std::uint32_t* block_size);
  ZekStatus (*FreeBlock)(ZekGromit* gromit, std::uint32_t type, std::uint32_t first, std::uint32_t block_size);
  ZekStatus (*QueryResourceBlock)(ZekGromit* gromit, std::uint32_t type, std::uint32_t index, std::uint32_t* tag);
  ZekStatus (*QueryResourceBlockInfo)(ZekGromit* gromit, std::uint32_t type, std::uint32_t* block_size,
                                      std::uint32_t* blocks, std::uint32_t* base);
  ZekStatus (*QueryResourceAllocation)(ZekGromit* gromit, ZekAllocationRecord* record);
};
extern const ZekGromitTable g_ZekGromitTable;

ZekStatus CreateGromit(ZekGromit** out, const ZekGimTable* gim, void* gim_handle, MifhDeviceObj* device,
                       std::uint32_t tag);
ZekStatus Cleanup_Gromit(ZekGromit* gromit);
ZekStatus GRomit_Serf_AllocBlock(ZekGromit* gromit, std::uint32_t type, std::uint32_t* first,
                                 std::uint32_t* block_size);
ZekStatus GRomit_Serf_FreeBlock(ZekGromit* gromit, std::uint32_t type, std::uint32_t first, std::uint32_t block_size);
ZekStatus GRomit_Serf_QueryResourceBlock(ZekGromit* gromit, std::uint32_t type, std::uint32_t index,
                                         std::uint32_t* tag);
ZekStatus GRomit_Serf_QueryResourceBlockInfo(ZekGromit* gromit, std::uint32_t type, std::uint32_t* block_size,
                                             std::uint32_t* blocks, std::uint32_t* base);
ZekStatus GRomit_Serf_QueryResourceAllocation(ZekGromit* gromit, ZekAllocationRecord* record);

// ---- LaRMiT -------------------------------------------------------------------------------------------------
struct ZekLocalBlock {
  std::uint16_t Size;
  std::uint16_t FreeCount;
  std::uint32_t First;
  std::uint8_t* Used;  // one byte per number: 0 free, 1 used
};

struct ZekLocalBlockList {
  std::uint32_t Base;
  std::uint32_t Type;
  OSPrimSpinlockObject Lock;
  std::uint16_t BlockSize;
  std::uint16_t Reserved;
  std::uint32_t Slots;     // n of the GRoMiT pool
  std::uint32_t Searched;  // slots below this may hold a block
  ZekLocalBlock** Blocks;  // one pointer per slot
};

struct ZekLarmit {
  ZekGromit* Gromit;
  const ZekGromitTable* GromitTable;
  ZekLocalBlockList Lists[ZEK_RES_TYPES];
};

struct ZekLarmitTable {
  ZekInterfaceHeader Header;
  ZekStatus (*L_Initialize)(ZekLarmit** out, const ZekGromitTable* table, ZekGromit* gromit);
  ZekStatus (*L_Free)(ZekLarmit* larmit);
  ZekStatus (*GetQueuePair)(ZekLarmit*, std::uint32_t*);
  ZekStatus (*FreeQueuePair)(ZekLarmit*, std::uint32_t);
  ZekStatus (*GetCompletionQueue)(ZekLarmit*, std::uint32_t*);
  ZekStatus (*FreeCompletionQueue)(ZekLarmit*, std::uint32_t);
  ZekStatus (*GetMemoryRegion)(ZekLarmit*, std::uint32_t*);
  ZekStatus (*FreeMemoryRegion)(ZekLarmit*, std::uint32_t);
  ZekStatus (*GetProtectionDomain)(ZekLarmit*, std::uint32_t*);
  ZekStatus (*FreeProtectionDomain)(ZekLarmit*, std::uint32_t);
  ZekStatus (*GetUserProtectionDomain)(ZekLarmit*, std::uint32_t*);
  ZekStatus (*FreeUserProtectionDomain)(ZekLarmit*, std::uint32_t);
  ZekStatus (*GetIRD)(ZekLarmit*, std::uint32_t*);
  ZekStatus (*FreeIRD)(ZekLarmit*, std::uint32_t);
  ZekStatus (*QueryResourceAllocation)(ZekLarmit*, ZekAllocationRecord* local, ZekAllocationRecord* global);
};
extern const ZekLarmitTable g_ZekLarmitTable;

ZekStatus L_Initialize(ZekLarmit** out, const ZekGromitTable* table, ZekGromit* gromit);
ZekStatus L_Free(ZekLarmit* larmit);
// A number of `type` (0 to 5); 1 when none can be had, 2 for a null out pointer.
ZekStatus L_GetResource(ZekLarmit* larmit, std::uint32_t type, std::uint32_t* number);
// 1 for a number that is not this manager's to free (out of range, not in a
// borrowed block, already free).
ZekStatus L_FreeResource(ZekLarmit* larmit, std::uint32_t type, std::uint32_t number);
ZekStatus L_QueryResourceAllocation(ZekLarmit* larmit, ZekAllocationRecord* local, ZekAllocationRecord* global);

// ---- MRTE ---------------------------------------------------------------------------------------------------
inline constexpr std::int32_t ZEK_MRTE_RESERVED_CHUNKS = 50;  // kept back from each budget
inline constexpr std::uint32_t ZEK_MRTE_MAX_ENTRIES = 524288;
inline constexpr std::uint32_t ZEK_PBL_4K = 4096;
inline constexpr std::uint32_t ZEK_PBL_256 = 256;
inline constexpr std::uint32_t ZEK_PAGE_4K = 4096;
inline constexpr std::uint32_t ZEK_PAGE_2M = 2u << 20;

struct ZekMrte {
  ZekExclusionObject Head;
  OSPrimSpinlockObject Lock;
  MifhDeviceObj* Device;
  std::int32_t Free256;
  std::int32_t Free4k;
  std::int32_t Initial256;
  std::int32_t Initial4k;
};

// The page-list layout of a region of `entries` addresses, chosen against
// the budgets. Levels 0 (contiguous, no list), 1 or 2.
struct ZekPblChoice {
  std::uint32_t Levels;
  std::uint32_t ChunkSize;   // 256, 4096, 0 without a list
  std::uint32_t ChunkCount;  // leaf chunks
  std::uint32_t Taken;       // chunks taken from the budget (leaves and root)
  std::uint32_t RootBytes;   // 512 or 8192 with two levels, else 0
};
// 0 with `choice` filled, or 1 ("low pbl count") with nothing taken. A
// negative budget counts as 0.
ZekStatus MRTE_ChoosePbl(std::uint32_t entries, bool contiguous, std::int32_t free256, std::int32_t free4k,
                         std::int32_t initial4k, ZekPblChoice* choice);

// The verbs' description of a region.
struct ZekMrDescription {
  std::uint64_t PageListAddress;  // out: the address list, or the root with two levels
  std::uint64_t FirstByteOffset;  // out
  std::uint64_t VirtualAddress;   // in
  const std::uint64_t* PageList;  // in, optional: physical page addresses
  std::uint32_t PageCount;        // in; out: the page list's size in bytes
  std::uint32_t PageSize;         // in; out: the page size used
  std::uint32_t TotalLength;      // in
  std::uint32_t PageSizeUsed;
  std::uint32_t ChunkSize;
  std::uint32_t ChunkCount;
};

// What one region took, kept by the verbs' MR object.
struct ZekMrChunks {
  std::uint32_t Chunks256;
  std::uint32_t Chunks4k;
};

struct ZekMrAllocInfo {
  void* Root;
  std::uint32_t RootBytes;
  std::uint32_t Levels;
  void* AddressList;  // a list the manager made (null when the caller's list serves)
  std::uint32_t AddressListBytes;
  std::uint32_t Reserved;
};

struct ZekMrteQuery {
  std::uint32_t Initial256;
  std::uint32_t Initial4k;
  std::uint32_t Used256;
  std::uint32_t Used4k;
};

struct ZekMrteTable {
  ZekInterfaceHeader Header;
  ZekStatus (*Create_MRTEM)(ZekMrte** out, const ZekGimTable* gim, void* gim_handle, MifhDeviceObj* device);
  ZekStatus (*Cleanup_MRTEM)(ZekMrte* mrte);
  ZekStatus (*Setup_MR_From_Verbs)(ZekMrte*, ZekMrDescription*, ZekMrChunks*, ZekMrAllocInfo*);
  ZekStatus (*Create_Complete)(ZekMrte*, ZekMrAllocInfo*);
  ZekStatus (*Teardown_MR)(ZekMrte*, ZekMrChunks*);
  ZekStatus (*QueryResourceAllocation)(ZekMrte*, ZekMrteQuery*);
  ZekStatus (*AllocatePBLChunk)(ZekMrte*, std::uint32_t size);
  ZekStatus (*FreePBLChunk)(ZekMrte*, std::uint32_t size);
};
extern const ZekMrteTable g_ZekMrteTable;

ZekStatus Create_MRTEM(ZekMrte** out, const ZekGimTable* gim, void* gim_handle, MifhDeviceObj* device);
ZekStatus Cleanup_MRTEM(ZekMrte* mrte);
// Regions described by a physical page list (4 KB or 2 MB pages, or any
// multiple of 4 KB re-expressed in 4 KB or 2 MB pages). A region given only
// by its virtual address answers 1: the verbs map it into a page list first.
ZekStatus MRTE_Serf_Setup_MR_From_Verbs(ZekMrte* mrte, ZekMrDescription* mr, ZekMrChunks* chunks, ZekMrAllocInfo* info);
// Returns only the buffers the manager made (never the caller's own list).
ZekStatus MRTE_Serf_Create_Complete(ZekMrte* mrte, ZekMrAllocInfo* info);
ZekStatus MRTE_Serf_Teardown_MR(ZekMrte* mrte, ZekMrChunks* chunks);
ZekStatus MRTE_Serf_QueryResourceAllocation(ZekMrte* mrte, ZekMrteQuery* query);
ZekStatus MRTE_Serf_AllocatePBLChunk(ZekMrte* mrte, std::uint32_t size);
ZekStatus MRTE_Serf_FreePBLChunk(ZekMrte* mrte, std::uint32_t size);

// ---- GLMI: link-state callbacks -----------------------------------------------------------------------------
inline constexpr std::uint32_t ZEK_GLMI_MAX_CALLBACKS = 64;
struct ZekGlmi;
struct ZekGlmiCallback {
  std::uint64_t ValueA;
  ZekGlmi* Registrant;
  std::uint64_t ValueB;
};
struct ZekGlmi {
  ZekExclusionObject Head;
  OSPrimSpinlockObject TableLock;
  ZekGlmiCallback Callbacks[ZEK_GLMI_MAX_CALLBACKS];
  std::uint32_t CallbackCount;
  std::uint32_t Reserved;
  MifhDeviceObj* Device;
};

ZekStatus Create_Glmi(ZekGlmi** out, const ZekGimTable* gim, void* gim_handle, MifhDeviceObj* device);
// Removes every callback this function registered, then leaves.
ZekStatus Cleanup_Glmi(ZekGlmi* glmi);
// 1 when the table is full (nothing stored).
ZekStatus GLMI_Serf_Register_Callback(ZekGlmi* glmi, std::uint64_t value_a, std::uint64_t value_b);
// Removes this function's first entry with `value_a` (any entry of it with 0).
ZekStatus GLMI_Serf_DeRegister_Callback(ZekGlmi* glmi, std::uint64_t value_a);
std::uint32_t ZekGlmiCallbackCount(ZekGlmi* glmi);

// ---- Flash and EEPROM locks ---------------------------------------------------------------------------------
ZekStatus ZEK_Lock_Flash(const ZekGimTable* gim, void* gim_handle);
ZekStatus ZEK_Release_Flash(const ZekGimTable* gim, void* gim_handle);
ZekStatus ZEK_Lock_EEProm(const ZekGimTable* gim, void* gim_handle);
ZekStatus ZEK_Release_EEProm(const ZekGimTable* gim, void* gim_handle);

struct ZekDeviceLockTable {
  ZekInterfaceHeader Header;
  ZekStatus (*Lock)(const ZekGimTable* gim, void* gim_handle);
  ZekStatus (*Release)(const ZekGimTable* gim, void* gim_handle);
};
extern const ZekDeviceLockTable g_ZekFlashTable;
extern const ZekDeviceLockTable g_ZekEepromTable;

// ---- IP address manager ---------------------------------------------------------------------------------------
struct ZekIpaddr {
  ZekExclusionObject Head;
  OSPrimSpinlockObject Lock;
  MifhDeviceObj* Device;
  std::uint32_t IpTableSize;
  std::uint32_t ArpTableSize;
  std::uint32_t* IpTable;   // 0 = free slot
  std::uint32_t* ArpTable;  // 0 = free slot
};

ZekStatus Create_IPADDRM(ZekIpaddr** out, const ZekGimTable* gim, void* gim_handle, MifhDeviceObj* device);
ZekStatus Cleanup_IPADDRM(ZekIpaddr* ipaddr);
ZekStatus IPADDR_Serf_Add_IPAddress(ZekIpaddr* ipaddr, std::uint32_t address);
ZekStatus IPADDR_Serf_GetIndexForIP(ZekIpaddr* ipaddr, std::uint32_t address, std::uint32_t* index);
ZekStatus IPADDR_Serf_Remove_IPAddress(ZekIpaddr* ipaddr, std::uint32_t address);
ZekStatus IPADDR_Serf_Add_Arp(ZekIpaddr* ipaddr, std::uint32_t address);
ZekStatus IPADDR_Serf_GetIndexForArp(ZekIpaddr* ipaddr, std::uint32_t address, std::uint32_t* index);
ZekStatus IPADDR_Serf_Remove_Arp(ZekIpaddr* ipaddr, std::uint32_t address);

// ---- Registration of the tables (library start-up) -----------------------------------------------------------
// Use-counted: the first init registers the table under its id, the last
// cleanup deregisters it. A cleanup past the last init logs and answers 1.
ZekStatus ZEK_Init_Gromit();
ZekStatus ZEK_Cleanup_Gromit();
ZekStatus ZEK_Init_GIM();
ZekStatus ZEK_Cleanup_GIM();
ZekStatus ZEK_Init_GLMI();
ZekStatus ZEK_Cleanup_GLMI();
ZekStatus ZEK_Init_LRMI();
ZekStatus ZEK_Cleanup_LRMI();
ZekStatus ZEK_Init_MRTE();
ZekStatus ZEK_Cleanup_MRTE();
ZekStatus ZEK_Init_Flash();
ZekStatus ZEK_Cleanup_Flash();
ZekStatus ZEK_Init_EEProm();
ZekStatus ZEK_Cleanup_EEProm();
ZekStatus ZEK_Init_IPADDR();
ZekStatus ZEK_Cleanup_IPADDR();

// The GLMI and IPADDR tables as registered.
struct ZekGlmiTable {
  ZekInterfaceHeader Header;
  ZekStatus (*Create_Glmi)(ZekGlmi**, const ZekGimTable*, void*, MifhDeviceObj*);
  ZekStatus (*Cleanup_Glmi)(ZekGlmi*);
  ZekStatus (*Register_Callback)(ZekGlmi*, std::uint64_t, std::uint64_t);
  ZekStatus (*DeRegister_Callback)(ZekGlmi*, std::uint64_t);
};
extern const ZekGlmiTable g_ZekGlmiTable;

struct ZekIpaddrTable {
  ZekInterfaceHeader Header;
  ZekStatus (*Create_IPADDRM)(ZekIpaddr**, const ZekGimTable*, void*, MifhDeviceObj*);
  ZekStatus (*Cleanup_IPADDRM)(ZekIpaddr*);
  ZekStatus (*Add_IPAddress)(ZekIpaddr*, std::uint32_t);
  ZekStatus (*GetIndexForIP)(ZekIpaddr*, std::uint32_t, std::uint32_t*);
  ZekStatus (*Remove_IPAddress)(ZekIpaddr*, std::uint32_t);
  ZekStatus (*Add_Arp)(ZekIpaddr*, std::uint32_t);
  ZekStatus (*GetIndexForArp)(ZekIpaddr*, std::uint32_t, std::uint32_t*);
  ZekStatus (*Remove_Arp)(ZekIpaddr*, std::uint32_t);
};
extern const ZekIpaddrTable g_ZekIpaddrTable;
