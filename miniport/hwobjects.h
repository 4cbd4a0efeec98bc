// zekhnic's hardware objects: the NIC_HW_INFO of each PCI function with its
// device object and base object, and the per-board objects that the
// functions of one board share (shared timer, card tables, MDIO lock, link
// lock, multicast resources, scratchpad), found by the board key and
// reference-counted. The driver keeps one table of 16 pointers per kind
// under its shared-resource lock; a seventeenth board is refused.
#pragma once

#include <cstdint>

#include "miniport/adapter.h"

inline constexpr std::uint32_t ZEK_BOARD_TABLE_SLOTS = 16;

inline constexpr std::uint32_t ZEK_CARD_TABLES_SIGNATURE = 0x44524143;
inline constexpr std::uint32_t ZEK_MDIO_LOCK_SIGNATURE = 0x4D44494F;
inline constexpr std::uint32_t ZEK_LINK_LOCK_SIGNATURE = 0x4C494E48;
inline constexpr std::uint32_t ZEK_MULTICAST_SIGNATURE = 0x4D554C54;
inline constexpr std::uint32_t ZEK_MIN_ARP_ENTRIES = 32;
inline constexpr std::uint32_t ZEK_IP_ENTRIES = 32;

// Direct registers the objects touch.
inline constexpr std::uint32_t ZEK_REG_TIMER_CONTROL = 0x10;
inline constexpr std::uint32_t ZEK_REG_INTERRUPT_TIMER = 0x18;
inline constexpr std::uint32_t ZEK_REG_GLOBAL_CONTROL = 0x30;
// The bits of the timer-control register that the shared timer keeps as read.
inline constexpr std::uint32_t ZEK_TIMER_CONTROL_KEPT = 0x0FFF6009;    // bits 0, 3, 13, 14, 16-27
inline constexpr std::uint32_t ZEK_TIMER_CONTROL_ENABLE = 0x00000004;  // bit 2

struct ZekSharedTimer {
  std::uint32_t ReferenceCount;
  std::uint32_t BoardKey;
  std::uint32_t Interval;      // 55, or 100 with JumboFrames
  std::uint32_t Constants[4];  // 1, 128, 6, 18
  OSPrimSpinlockObject Lock;
};

struct ZekArpEntry {
  std::uint32_t Ipv4;
  std::uint32_t Type;
};
struct ZekIpEntry {
  std::uint32_t References;
  std::uint32_t Ipv4;
};

// One allocation: this header, then the ARP table, then the IP table.
struct CardTables {
  OSPrimSpinlockObject Lock;
  std::uint32_t Signature;  // ZEK_CARD_TABLES_SIGNATURE
  std::uint32_t ByteSize;
  std::uint32_t ReferenceCount;
  std::uint32_t BoardKey;
  std::uint32_t ArpEntries;
  std::uint32_t IpEntries;
  std::uint8_t Flag;
  ZekArpEntry* Arp;
  ZekIpEntry* Ip;
};

struct ZekMdioLock {
  std::uint32_t Signature;  // ZEK_MDIO_LOCK_SIGNATURE
  std::uint32_t ReferenceCount;
  std::uint32_t BoardKey;
  OSPrimSpinlockObject Lock;
};

struct ZekLinkLock {
  std::uint32_t Signature;  // ZEK_LINK_LOCK_SIGNATURE
  std::uint32_t ReferenceCount;
  std::uint32_t BoardKey;
  OSPrimSpinlockObject Lock;
};

struct ZekMulticastResources {
  std::uint32_t Signature;  // ZEK_MULTICAST_SIGNATURE
  std::uint32_t ReferenceCount;
  std::uint32_t BoardKey;
  std::uint32_t PortCount;  // global control bits 8-9, plus 1
  OSPrimSpinlockObject Lock;
  std::uint64_t HashWords[4];  // one per PCI function, under Lock
};

// The driver's tables of per-board objects.
struct ZekBoardTables {
  ZekSharedTimer* Timers[ZEK_BOARD_TABLE_SLOTS];
  std::uint32_t TimerCount;
  CardTables* Tables[ZEK_BOARD_TABLE_SLOTS];
  std::uint32_t TablesCount;
  ZekMdioLock* MdioLocks[ZEK_BOARD_TABLE_SLOTS];
  std::uint32_t MdioCount;
  ZekLinkLock* LinkLocks[ZEK_BOARD_TABLE_SLOTS];
  std::uint32_t LinkCount;
  ZekMulticastResources* Multicast[ZEK_BOARD_TABLE_SLOTS];
  std::uint32_t MulticastCount;
  HwScratchpadObj* Scratchpads[ZEK_BOARD_TABLE_SLOTS];
  std::uint32_t ScratchpadCount;
};
extern ZekBoardTables g_ZekBoards;

// A zeroed NIC_HW_INFO with its signatures and its base object pointing at
// its own objects; null when memory is short. Freed by ZekFreeHwInfo.
NIC_HW_INFO* ZekAllocateHwInfo();
void ZekFreeHwInfo(NIC_HW_INFO* info);

// Fills the device object of a PCI function and allocates its EEPROM
// (2048 bytes, DMA) and statistics (216 counters) buffers, each once.
// 14 for a function of 8 or more; 1 when the index-register lock is
// already set up or a buffer cannot be had.
ZekStatus mifh_dev_object_init(MifhDeviceObj* device, std::uint32_t bits8to15, std::uint32_t bits3to7,
                               std::uint32_t chip_revision, std::uint32_t pci_function, void* register_window,
                               void* second_window, std::uint32_t second_window_length, std::uint64_t second_window_pa,
                               MifhLockRoutine acquire, MifhLockRoutine release);
// Frees the buffers mifh_dev_object_init allocated and tears down its lock.
void mifh_dev_object_free(MifhDeviceObj* device);

// Find-or-create of each per-board object for the adapter's board key:
// 0 on success, 1 when refused (a seventeenth board, or no ARP or IP
// entries for the card tables), all ones when memory is short.
ZekStatus AllocateSharedTimer(ZEK_ADAPTER* adapter);
ZekStatus CardTablesAlloc(ZEK_ADAPTER* adapter);
ZekStatus AllocateMdioSharedLock(ZEK_ADAPTER* adapter);
ZekStatus AllocateSharedLinkLock(ZEK_ADAPTER* adapter);
ZekStatus AllocateMulticastResources(ZEK_ADAPTER* adapter);
ZekStatus AllocateScratchPadResources(ZEK_ADAPTER* adapter);
// All six in order; the first failure ends it (what was taken stays for
// ZekReleaseBoardObjects).
ZekStatus ZekAllocateBoardObjects(ZEK_ADAPTER* adapter);
// Drops the adapter's references in halt order (shared timer, card tables,
// link lock, MDIO lock, multicast resources, scratchpad); the last user
// frees each object and removes it from its table.
void ZekReleaseBoardObjects(ZEK_ADAPTER* adapter);

// The board's scratchpad value (the object AllocateScratchPadResources
// shares) is read and written by the hardware-interface module's
// mifh_get_hw_scratchpad and mifh_set_hw_scratchpad (proxy/rdma/hw/config.h),
// the one definition both drivers use.
// The adapter's scratchpad registers (indexed 0x800 + 8 x index).
ZekStatus mifh_get_hw_scratchpad_index(MifhDeviceObj* device, std::uint32_t index, std::uint32_t* value);
ZekStatus mifh_set_hw_scratchpad_index(MifhDeviceObj* device, std::uint32_t index, std::uint32_t value);
