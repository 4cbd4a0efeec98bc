// The send path: NBLs from NDIS, each net buffer mapped for DMA and posted
// as one NIC send request (headers, or a whole small frame, from the slot's
// own buffer), completed in slot order from the NIC completion queue; NBLs
// that cannot start at once wait in the pending queue. Every NBL is
// completed exactly once: an NBL holds a count of its net buffers still
// out, plus one while it is being mapped, and completes when it reaches 0.
#include <cstring>

#include "include/hw/nic.h"
#include "miniport/datapath.h"
#include "proxy/rdma/hw/nic_qp.h"
#include "proxy/rdma/hw/qp.h"
#include "proxy/rdma/hw/ring.h"
#include "proxy/rdma/hw/status.h"

namespace {

constexpr std::uint32_t kFragments = zekhw::kNicMaxFragments;
constexpr std::uint32_t kVlanEthertype = 0x8100;
constexpr std::uint32_t kIpv4Ethertype = 0x0800;
constexpr std::uint8_t kTcp = 6;
// Flag bits of the adapter that refuse a send (bits 20-29).
constexpr std::uint32_t kRefusingFlags = 0x3FF00000;

MifhQpObject* nic_qp_of(ZEK_ADAPTER* adapter) { return reinterpret_cast<MifhQpObject*>(adapter->HwInfo->NicQp); }

ULONG_PTR& outstanding(NET_BUFFER_LIST* nbl) {
  return *reinterpret_cast<ULONG_PTR*>(&NET_BUFFER_LIST_MINIPORT_RESERVED(nbl)[0]);
}

ULONG_PTR cancel_id_of(NET_BUFFER_LIST* nbl) {
  return reinterpret_cast<ULONG_PTR>(NET_BUFFER_LIST_INFO(nbl, NetBufferListCancelId));
}

std::uint32_t nb_count(NET_BUFFER_LIST* nbl) {
  std::uint32_t n = 0;
  for (NET_BUFFER* nb = NET_BUFFER_LIST_FIRST_NB(nbl); nb != nullptr; nb = NET_BUFFER_NEXT_NB(nb)) ++n;
  return n;
}

// A chain of NBLs to complete once the send lock is dropped.
// The lists completed under the send lock, handed to NDIS once it is
// released. From the first list taken until the hand-over has returned the
// batch counts in the path's Indicating, so that a pause cannot report every
// send done while a batch is still on its way to NDIS.
struct Completions {
  explicit Completions(ZekSendPath* send) : send_(send) {}
  Completions(const Completions&) = delete;
  Completions& operator=(const Completions&) = delete;
  NET_BUFFER_LIST* head = nullptr;
  NET_BUFFER_LIST* tail = nullptr;
  void add(NET_BUFFER_LIST* nbl) {
    NET_BUFFER_LIST_NEXT_NBL(nbl) = nullptr;
    if (tail != nullptr) {
      NET_BUFFER_LIST_NEXT_NBL(tail) = nbl;
    } else {
      head = nbl;
      __atomic_add_fetch(&send_->Indicating, 1, __ATOMIC_ACQ_REL);
    }
    tail = nbl;
  }
  void complete(ZEK_ADAPTER* adapter, ZekSendPath* send, ULONG flags) {
    if (head == nullptr) return;
    for (NET_BUFFER_LIST* l = head; l != nullptr; l = NET_BUFFER_LIST_NEXT_NBL(l)) ++send->CompletedNbls;
    NdisMSendNetBufferListsComplete(adapter->MiniportAdapterHandle, head, flags);
    head = tail = nullptr;
    __atomic_sub_fetch(&send_->Indicating, 1, __ATOMIC_ACQ_REL);
  }

 private:
  ZekSendPath* send_;
};

// One net buffer of `nbl` is done (`status` when it failed): the NBL goes
// to `done` when it was the last. Under the send lock.
void nb_done(NET_BUFFER_LIST* nbl, NDIS_STATUS status, Completions& done) {
  if (status != NDIS_STATUS_SUCCESS && NET_BUFFER_LIST_STATUS(nbl) == NDIS_STATUS_SUCCESS) {
    NET_BUFFER_LIST_STATUS(nbl) = status;
  }
  if (--outstanding(nbl) == 0) done.add(nbl);
}

void push_pending_tail(ZekSendPath* send, NET_BUFFER_LIST* nbl) {
  NET_BUFFER_LIST_NEXT_NBL(nbl) = nullptr;
  if (send->PendingTail != nullptr) {
    NET_BUFFER_LIST_NEXT_NBL(send->PendingTail) = nbl;
  } else {
    send->PendingHead = nbl;
  }
  send->PendingTail = nbl;
  ++send->PendingCount;
}

void push_pending_head(ZekSendPath* send, NET_BUFFER_LIST* nbl) {
  NET_BUFFER_LIST_NEXT_NBL(nbl) = send->PendingHead;
  send->PendingHead = nbl;
  if (send->PendingTail == nullptr) send->PendingTail = nbl;
  ++send->PendingCount;
}

NET_BUFFER_LIST* pop_pending(ZekSendPath* send) {
  NET_BUFFER_LIST* nbl = send->PendingHead;
  if (nbl == nullptr) return nullptr;
  send->PendingHead = NET_BUFFER_LIST_NEXT_NBL(nbl);
  if (send->PendingHead == nullptr) send->PendingTail = nullptr;
  --send->PendingCount;
  NET_BUFFER_LIST_NEXT_NBL(nbl) = nullptr;
  return nbl;
}

// Why a send is refused now, or success. Under the send lock.
NDIS_STATUS refusal(const ZEK_ADAPTER* adapter) {
  if (adapter->DataPath != ZEK_DATAPATH_RUNNING) return NDIS_STATUS_PAUSED;
  const std::uint32_t flags = adapter->Flags;
  if ((flags & ZEK_FLAG_RESET_IN_PROGRESS) != 0) return NDIS_STATUS_RESET_IN_PROGRESS;
  if (adapter->NdisState == ZEK_STATE_HALTING || adapter->NdisState == ZEK_STATE_HALTED) return ZEK_SEND_REFUSED;
  if ((flags & ZEK_FLAG_LINK_DOWN) != 0 || adapter->LinkDown != 0 || adapter->LinkDpcRunning != 0) {
    return ZEK_SEND_LINK_DOWN;
  }
  if ((flags & kRefusingFlags) != 0) return ZEK_SEND_REFUSED;
  return NDIS_STATUS_SUCCESS;
}

// Whether the NBL asks for an offload that is switched off.
bool asks_for_switched_off(const ZEK_ADAPTER* adapter, NET_BUFFER_LIST* nbl) {
  const bool checksum = NET_BUFFER_LIST_INFO(nbl, TcpIpChecksumNetBufferListInfo) != nullptr;
  const bool lso = NDIS_LSO_MSS(NET_BUFFER_LIST_INFO(nbl, TcpLargeSendNetBufferListInfo)) != 0;
  return (checksum && adapter->Proxy.OffloadEnable == 0) || (lso && adapter->Proxy.Lso == 0);
}

// Copies `length` bytes of the net buffer's data from `offset` on: false
// when its MDLs do not hold them.
bool copy_from_nb(NET_BUFFER* nb, std::uint32_t offset, std::uint8_t* out, std::uint32_t length) {
  std::uint32_t skip = NET_BUFFER_CURRENT_MDL_OFFSET(nb) + offset;
  for (PMDL mdl = NET_BUFFER_CURRENT_MDL(nb); mdl != nullptr && length > 0; mdl = mdl->Next) {
    const std::uint32_t bytes = MmGetMdlByteCount(mdl);
    if (skip >= bytes) {
      skip -= bytes;
      continue;
    }
    const auto* va = static_cast<const std::uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, HighPagePriority));
    if (va == nullptr) return false;
    const std::uint32_t take = bytes - skip < length ? bytes - skip : length;
    std::memcpy(out, va + skip, take);
    out += take;
    length -= take;
    skip = 0;
  }
  return length == 0;
}

// The header bytes of a frame larger than ZEK_SMALL_FRAME that go into the
// slot's buffer: at least ZEK_MIN_HEADER_COPY, all elements but the last
// four, and an IPv4 frame's L2, IP and L4 headers; never more than the
// frame or the buffer holds.
std::uint32_t header_copy_length(NET_BUFFER_LIST* nbl, NET_BUFFER* nb, const SCATTER_GATHER_LIST* list,
                                 std::uint32_t length, std::uint32_t buffer_bytes) {
  std::uint32_t copy = ZEK_MIN_HEADER_COPY;
  if (list->NumberOfElements > 4) {
    std::uint32_t front = 0;
    for (ULONG i = 0; i + 4 < list->NumberOfElements; ++i) front += list->Elements[i].Length;
    if (front > copy) copy = front;
  }
  const auto protocol =
      static_cast<UCHAR>(reinterpret_cast<ULONG_PTR>(NET_BUFFER_LIST_INFO(nbl, NetBufferListProtocolId)));
  std::uint8_t h[18 + 60 + 60] = {};
  if (protocol == NDIS_PROTOCOL_ID_TCP_IP && copy_from_nb(nb, 0, h, length < sizeof h ? length : sizeof h)) {
    std::uint32_t l2 = 14;
    std::uint32_t type = std::uint32_t{h[12]} << 8 | h[13];
    if (type == kVlanEthertype) {
      l2 = 18;
      type = std::uint32_t{h[16]} << 8 | h[17];
    }
    if (type == kIpv4Ethertype && length > l2) {
      const std::uint32_t ip = (h[l2] & 0xF) * 4u;
      std::uint32_t l4 = 8;
      if (h[l2 + 9] == kTcp && l2 + ip + 12 < sizeof h) l4 = (h[l2 + ip + 12] >> 4) * 4u;
      if (l2 + ip + l4 > copy) copy = l2 + ip + l4;
    }
  }
  if (copy > length) copy = length;
  if (copy > buffer_bytes) copy = buffer_bytes;
  return copy;
}

// The NIC send request: fragments, length, checksum and VLAN. Counts the
// frame. Under the send lock.
ZekStatus CommonSendPacket(ZEK_ADAPTER* adapter, const MifhSglElement* fragments, std::uint32_t count,
                           std::uint32_t length, bool no_checksum, bool vlan_insert, std::uint16_t tag) {
  ZekSendPath* send = adapter->Send;
  MifhQpObject* qp = nic_qp_of(adapter);
  MifhNicSendRequest request{};
  request.Fragments = fragments;
  request.FragmentCount = count;
  request.TotalLength = length;
  request.NoChecksum = no_checksum ? 1 : 0;
  request.VlanInsert = vlan_insert ? 1 : 0;
  request.VlanTagPresent = vlan_insert ? 1 : 0;
  request.VlanTag = tag;
  const ZekStatus status = mifh_nic_qp_post_sq(qp, &request);
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("CommonSendPacket:SendTailIndex[%d] HeadIndex[%d] NumSQElements[%d] busysend[%d]\n", send->Tail,
                    send->Head, send->Size, send->Busy);
    return status;
  }
  send->BytesPosted += length;
  ++send->FramesPosted;
  return status;
}

void count_destination(ZekSendPath* send, const std::uint8_t* destination, std::uint32_t length) {
  static const std::uint8_t kBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  if (std::memcmp(destination, kBroadcast, 6) == 0) {
    ++send->BroadcastFrames;
    send->BroadcastBytes += length;
  } else if ((destination[0] & 1) != 0) {
    ++send->MulticastFrames;
    send->MulticastBytes += length;
  } else {
    ++send->UnicastFrames;
    send->UnicastBytes += length;
  }
}

// Starts one NBL: false when it has to wait (it went back to the head of
// the pending queue). Under the send lock, which it drops while each net
// buffer is mapped.
bool start_one(ZEK_ADAPTER* adapter, NET_BUFFER_LIST* nbl, Completions& done) {
  ZekSendPath* send = adapter->Send;
  const std::uint32_t nbs = nb_count(nbl);
  if (nbs > send->Size - ZEK_SEND_RESERVE) {
    // More frames than the ring ever takes: waiting would block every NBL behind it.
    ZEK_LOG_FAILURE("ZekSendNetBufferLists: an NBL of %u frames does not fit the send ring\n", nbs);
    NET_BUFFER_LIST_STATUS(nbl) = NDIS_STATUS_RESOURCES;
    done.add(nbl);
    return true;
  }
  const std::int64_t free_slots = std::int64_t{send->Size} - send->Busy - ZEK_SEND_RESERVE;
  if (free_slots < std::int64_t{nbs}) {
    push_pending_head(send, nbl);
    return false;
  }
  send->Mapping = nbl;
  // The mapping holds the NBL: none of its net buffers can complete it
  // while the loop below still walks them.
  outstanding(nbl) = nbs + 1;
  NET_BUFFER* nb = NET_BUFFER_LIST_FIRST_NB(nbl);
  for (; nb != nullptr; nb = NET_BUFFER_NEXT_NB(nb)) {
    ZekTxContext* context = &send->Contexts[send->ContextIndex];
    send->ContextIndex = (send->ContextIndex + 1) & (send->Size - 1);
    *context = {adapter, nbl, nb};
    void* buffer = send->Slots[send->Tail].SglBuffer;
    NdisReleaseSpinLock(&adapter->SendLock);
    const NDIS_STATUS status = NdisMAllocateNetBufferSGList(adapter->DmaHandle, nb, context, 0, buffer, send->SglBytes);
    NdisAcquireSpinLock(&adapter->SendLock);
    if (status != NDIS_STATUS_SUCCESS) {
      ZEK_LOG_FAILURE("NdisMAllocateNetBufferSGList failed 0x%x\n", static_cast<unsigned>(status));
      break;
    }
  }
  // The net buffers that were never mapped fail the NBL.
  for (; nb != nullptr; nb = NET_BUFFER_NEXT_NB(nb)) nb_done(nbl, NDIS_STATUS_RESOURCES, done);
  send->Mapping = nullptr;
  if (--outstanding(nbl) == 0) done.add(nbl);
  return true;
}

// Starts pending NBLs while nothing is mapped and the path runs. Under the send lock.
void start_pending(ZEK_ADAPTER* adapter, bool from_dpc, Completions& done) {
  ZekSendPath* send = adapter->Send;
  while (send->PendingHead != nullptr && send->Mapping == nullptr && refusal(adapter) == NDIS_STATUS_SUCCESS) {
    if (from_dpc) {
      LARGE_INTEGER now;
      NdisGetCurrentSystemTime(&now);
      if (now.QuadPart - adapter->DpcStartTime > LONGLONG{adapter->DpcBudgetMs} * 10'000) break;
    }
    if (!start_one(adapter, pop_pending(send), done)) break;
  }
}

}  // namespace

void ZekSendNetBufferLists(NDIS_HANDLE context, PNET_BUFFER_LIST lists, NDIS_PORT_NUMBER, ULONG) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(context);
  ZekSendPath* send = adapter->Send;
  Completions done(adapter->Send);
  NdisAcquireSpinLock(&adapter->SendLock);
  const NDIS_STATUS refused = send == nullptr ? ZEK_SEND_REFUSED : refusal(adapter);
  if (refused != NDIS_STATUS_SUCCESS) {
    if (refused == NDIS_STATUS_PAUSED) OSPrimDebugPrint("Func[%s,%d] Adapter is Paused \n", __func__, __LINE__);
    if (refused == NDIS_STATUS_RESET_IN_PROGRESS) {
      OSPrimDebugPrint("Func[%s,%d] reset in progress \n", __func__, __LINE__);
    }
    for (NET_BUFFER_LIST* l = lists; l != nullptr;) {
      NET_BUFFER_LIST* next = NET_BUFFER_LIST_NEXT_NBL(l);
      NET_BUFFER_LIST_STATUS(l) = refused;
      done.add(l);
      l = next;
    }
    NdisReleaseSpinLock(&adapter->SendLock);
    if (done.head != nullptr) NdisMSendNetBufferListsComplete(adapter->MiniportAdapterHandle, done.head, 0);
    return;
  }
  for (NET_BUFFER_LIST* l = lists; l != nullptr;) {
    NET_BUFFER_LIST* next = NET_BUFFER_LIST_NEXT_NBL(l);
    NET_BUFFER_LIST_NEXT_NBL(l) = nullptr;
    NET_BUFFER_LIST_STATUS(l) = NDIS_STATUS_SUCCESS;
    // Each NBL is judged on its own: one that asks for a switched-off
    // offload fails alone.
    if (asks_for_switched_off(adapter, l) || NET_BUFFER_LIST_FIRST_NB(l) == nullptr) {
      NET_BUFFER_LIST_STATUS(l) = NDIS_STATUS_FAILURE;
      done.add(l);
    } else if (send->Mapping != nullptr || send->PendingHead != nullptr) {
      push_pending_tail(send, l);
    } else {
      start_one(adapter, l, done);
    }
    l = next;
  }
  if (send->Mapping == nullptr && send->PendingHead != nullptr && send->Busy == 0) start_pending(adapter, false, done);
  NdisReleaseSpinLock(&adapter->SendLock);
  done.complete(adapter, send, 0);
}

void ZekProcessSGList(PDEVICE_OBJECT, PVOID, PSCATTER_GATHER_LIST list, PVOID context_pointer) {
  auto* context = static_cast<ZekTxContext*>(context_pointer);
  ZEK_ADAPTER* adapter = context->Adapter;
  ZekSendPath* send = adapter->Send;
  NET_BUFFER_LIST* nbl = context->Nbl;
  NET_BUFFER* nb = context->Nb;
  Completions done(adapter->Send);
  NdisAcquireSpinLock(&adapter->SendLock);
  ZekTxSlot* slot = &send->Slots[send->Tail];
  const std::uint32_t length = NET_BUFFER_DATA_LENGTH(nb);
  auto drop = [&](NDIS_STATUS status) {
    NdisMFreeNetBufferSGList(adapter->DmaHandle, list, nb);
    nb_done(nbl, status, done);
  };
  if (slot->Busy) {
    // Never overwrite a frame still in the ring.
    ZEK_LOG_FAILURE("Func[%s,%d] Something wrong with pMpTxBuf SEND[%d,%d] \n", __func__, __LINE__, send->Tail,
                    send->Head);
    drop(NDIS_STATUS_RESOURCES);
    NdisReleaseSpinLock(&adapter->SendLock);
    done.complete(adapter, send, NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL);
    return;
  }
  MifhSglElement fragments[kFragments] = {};
  std::uint32_t count = 0;
  std::uint32_t total = length;
  bool copied = length > 0 && length <= send->HeaderBytes;
  if (copied && length <= ZEK_SMALL_FRAME) {
    // A small frame whole, padded with zeros to the Ethernet minimum.
    copied = copy_from_nb(nb, 0, slot->Header, length);
    if (copied) {
      total = length < ZEK_MIN_FRAME ? ZEK_MIN_FRAME : length;
      std::memset(slot->Header + length, 0, total - length);
      fragments[count++] = {slot->HeaderPa, total, 0};
    }
  } else if (copied) {
    std::uint32_t head = header_copy_length(nbl, nb, list, length, send->HeaderBytes);
    // The fragments after the copied bytes; a frame that would need more
    // than the request holds is copied whole.
    std::uint32_t rest = 0;
    std::uint32_t skip = head;
    for (ULONG i = 0; i < list->NumberOfElements; ++i) {
      const SCATTER_GATHER_ELEMENT& e = list->Elements[i];
      if (skip >= e.Length) {
        skip -= e.Length;
        continue;
      }
      ++rest;
      skip = 0;
    }
    if (rest + 1 > kFragments) head = length;
    copied = copy_from_nb(nb, 0, slot->Header, head);
    if (copied) {
      fragments[count++] = {slot->HeaderPa, head, 0};
      skip = head;
      for (ULONG i = 0; i < list->NumberOfElements && head < length; ++i) {
        const SCATTER_GATHER_ELEMENT& e = list->Elements[i];
        if (skip >= e.Length) {
          skip -= e.Length;
          continue;
        }
        fragments[count++] = {static_cast<std::uint64_t>(e.Address.QuadPart) + skip, e.Length - skip, 0};
        skip = 0;
      }
    }
  }
  if (!copied) {
    ZEK_LOG_FAILURE("ZekProcessSGList: the frame of %u bytes could not be copied\n", length);
    drop(NDIS_STATUS_FAILURE);
    NdisReleaseSpinLock(&adapter->SendLock);
    done.complete(adapter, send, NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL);
    return;
  }
  // VLAN: the configured VLAN ID with the NBL's priority.
  bool vlan = false;
  std::uint16_t tag = 0;
  NDIS_NET_BUFFER_LIST_8021Q_INFO q;
  q.Value = NET_BUFFER_LIST_INFO(nbl, Ieee8021QNetBufferListInfo);
  if (adapter->Proxy.VlanEnabled != 0 && q.Value != nullptr) {
    vlan = true;
    tag = static_cast<std::uint16_t>(q.TagHeader.UserPriority << 13 | (adapter->Proxy.VlanEnabled & 0xFFF));
  }
  NDIS_TCP_IP_CHECKSUM_NET_BUFFER_LIST_INFO checksum;
  checksum.Value = NET_BUFFER_LIST_INFO(nbl, TcpIpChecksumNetBufferListInfo);
  const bool no_checksum =
      !(adapter->Proxy.OffloadEnable != 0 && checksum.Value != nullptr && checksum.Transmit.IsIPv4);
  count_destination(send, slot->Header, total);
  if (adapter->LinkDown == 0 && adapter->DataPath == ZEK_DATAPATH_RUNNING &&
      (adapter->Flags & ZEK_FLAG_RESET_IN_PROGRESS) == 0 && adapter->NdisState != ZEK_STATE_HALTING &&
      adapter->NdisState != ZEK_STATE_HALTED && adapter->NdisState != ZEK_STATE_SHUTDOWN) {
    slot->Nbl = nbl;
    slot->Nb = nb;
    slot->Sgl = list;
    slot->Busy = TRUE;
    const std::uint32_t index = send->Tail;
    send->Tail = (send->Tail + 1) & (send->Size - 1);
    ++send->Busy;
    if (CommonSendPacket(adapter, fragments, count, total, no_checksum, vlan, tag) != MIFH_STATUS_SUCCESS) {
      // Nothing was posted: the slot, the tail and the count go back and
      // the net buffer fails.
      ZEK_LOG_FAILURE("CommonSendPacket failed \n");
      slot->Busy = FALSE;
      slot->Nbl = nullptr;
      send->Tail = index;
      --send->Busy;
      drop(NDIS_STATUS_RESOURCES);
    }
  } else {
    drop(NDIS_STATUS_REQUEST_ABORTED);
  }
  NdisReleaseSpinLock(&adapter->SendLock);
  done.complete(adapter, send, NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL);
}

void HandleSendInterrupt(ZEK_ADAPTER* adapter, std::uint32_t completions) {
  ZekSendPath* send = adapter->Send;
  if (send == nullptr || completions == 0) return;
  Completions done(adapter->Send);
  NdisAcquireSpinLock(&adapter->SendLock);
  MifhQpObject* qp = nic_qp_of(adapter);
  // No more completions than frames in the ring are taken.
  const std::uint32_t in_ring = ZekRingUsed(&qp->SqRing);
  if (completions > in_ring) {
    ZEK_LOG_FAILURE("HandleSendInterrupt: %u completions for %u frames in the ring\n", completions, in_ring);
    completions = in_ring;
  }
  for (std::uint32_t i = 0; i < completions; ++i) {
    ZekTxSlot* slot = &send->Slots[send->Head];
    send->Head = (send->Head + 1) & (send->Size - 1);
    if (!slot->Busy) continue;
    slot->Busy = FALSE;
    --send->Busy;
    NdisMFreeNetBufferSGList(adapter->DmaHandle, slot->Sgl, slot->Nb);
    NET_BUFFER_LIST* nbl = slot->Nbl;
    slot->Nbl = nullptr;
    slot->Sgl = nullptr;
    nb_done(nbl, NDIS_STATUS_SUCCESS, done);
  }
  OSPRIM_RING_ADVANCE_TAIL(&qp->SqRing, completions);
  send->Completions += completions;
  if (completions > send->LargestBatch) send->LargestBatch = completions;
  if (send->PendingHead != nullptr) start_pending(adapter, true, done);
  NdisReleaseSpinLock(&adapter->SendLock);
  done.complete(adapter, send, NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL);
}

void ZekStartPendingSends(ZEK_ADAPTER* adapter, bool from_dpc) {
  if (adapter->Send == nullptr) return;
  Completions done(adapter->Send);
  NdisAcquireSpinLock(&adapter->SendLock);
  start_pending(adapter, from_dpc, done);
  NdisReleaseSpinLock(&adapter->SendLock);
  done.complete(adapter, adapter->Send, 0);
}

void zek_free_busy_packets_with_id(ZEK_ADAPTER* adapter, ULONG_PTR cancel_id, NDIS_STATUS status) {
  ZekSendPath* send = adapter->Send;
  if (send == nullptr) return;
  Completions done(adapter->Send);
  NdisAcquireSpinLock(&adapter->SendLock);
  for (std::uint32_t i = send->Head; i != send->Tail; i = (i + 1) & (send->Size - 1)) {
    ZekTxSlot* slot = &send->Slots[i];
    if (!slot->Busy || (cancel_id != ZEK_CANCEL_ALL && cancel_id_of(slot->Nbl) != cancel_id)) continue;
    slot->Busy = FALSE;
    --send->Busy;
    NdisMFreeNetBufferSGList(adapter->DmaHandle, slot->Sgl, slot->Nb);
    NET_BUFFER_LIST* nbl = slot->Nbl;
    slot->Nbl = nullptr;
    nb_done(nbl, status, done);
  }
  NdisReleaseSpinLock(&adapter->SendLock);
  done.complete(adapter, send, 0);
}

void ZekCancelSend(NDIS_HANDLE context, PVOID cancel_id_pointer) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(context);
  const auto cancel_id = reinterpret_cast<ULONG_PTR>(cancel_id_pointer);
  if (adapter->Send == nullptr) return;
  ZekCompleteWaitingSends(adapter, cancel_id, NDIS_STATUS_REQUEST_ABORTED);
  NdisAcquireSpinLock(&adapter->SendLock);
  const bool ring_frames = adapter->Send->Busy != 0;
  NdisReleaseSpinLock(&adapter->SendLock);
  if (adapter->LinkDown != 0 && ring_frames) {
    zek_free_busy_packets_with_id(adapter, cancel_id, NDIS_STATUS_REQUEST_ABORTED);
  }
}

void ZekCompleteWaitingSends(ZEK_ADAPTER* adapter, ULONG_PTR cancel_id, NDIS_STATUS status) {
  ZekSendPath* send = adapter->Send;
  if (send == nullptr) return;
  Completions done(adapter->Send);
  NdisAcquireSpinLock(&adapter->SendLock);
  NET_BUFFER_LIST* keep_head = nullptr;
  NET_BUFFER_LIST* keep_tail = nullptr;
  std::uint32_t kept = 0;
  while (NET_BUFFER_LIST* nbl = pop_pending(send)) {
    if (cancel_id == ZEK_CANCEL_ALL || cancel_id_of(nbl) == cancel_id) {
      NET_BUFFER_LIST_STATUS(nbl) = status;
      done.add(nbl);
      continue;
    }
    if (keep_tail != nullptr) {
      NET_BUFFER_LIST_NEXT_NBL(keep_tail) = nbl;
    } else {
      keep_head = nbl;
    }
    keep_tail = nbl;
    ++kept;
  }
  send->PendingHead = keep_head;
  send->PendingTail = keep_tail;
  send->PendingCount = kept;
  NdisReleaseSpinLock(&adapter->SendLock);
  done.complete(adapter, send, 0);
}

void ZekCompletePendingSends(ZEK_ADAPTER* adapter, NDIS_STATUS status) {
  if (adapter->Send == nullptr) return;
  zek_free_busy_packets_with_id(adapter, ZEK_CANCEL_ALL, status);
  ZekCancelSend(adapter, reinterpret_cast<PVOID>(ZEK_CANCEL_ALL));
}

BOOLEAN ZekSendStalled(ZEK_ADAPTER* adapter) {
  ZekSendPath* send = adapter->Send;
  if (send == nullptr) return FALSE;
  BOOLEAN stalled = FALSE;
  NdisAcquireSpinLock(&adapter->SendLock);
  if (send->Busy == 0 || send->Head != send->LastHead) {
    send->LastHead = send->Head;
    send->StallChecks = 0;
  } else if (++send->StallChecks > ZEK_SEND_STALL_CHECKS) {
    ZEK_LOG_FAILURE("MPCheckForHang: no send completed for %u checks with %u frames in the ring\n", send->StallChecks,
                    send->Busy);
    send->StallChecks = 0;
    stalled = TRUE;
  }
  NdisReleaseSpinLock(&adapter->SendLock);
  return stalled;
}

BOOLEAN ZekSendLinkDownCheck(ZEK_ADAPTER* adapter, bool link_down) {
  ZekSendPath* send = adapter->Send;
  if (send == nullptr) return FALSE;
  NdisAcquireSpinLock(&adapter->SendLock);
  const std::uint32_t checks = link_down ? ++send->LinkDownChecks : (send->LinkDownChecks = 0);
  const bool ring_frames = send->Busy != 0;
  NdisReleaseSpinLock(&adapter->SendLock);
  if (checks != ZEK_LINK_DOWN_CHECKS) return FALSE;
  ZEK_LOG_FAILURE("MPCheckForHang: the link is down for %u checks; the waiting sends complete\n", checks);
  ZekCompleteWaitingSends(adapter, ZEK_CANCEL_ALL, ZEK_SEND_LINK_DOWN);
  return ring_frames ? TRUE : FALSE;
}

void ZekResetSendRing(ZEK_ADAPTER* adapter) {
  ZekSendPath* send = adapter->Send;
  if (send == nullptr) return;
  // The queue pair that held these frames is gone: they fail, once each.
  zek_free_busy_packets_with_id(adapter, ZEK_CANCEL_ALL, NDIS_STATUS_REQUEST_ABORTED);
  NdisAcquireSpinLock(&adapter->SendLock);
  for (std::uint32_t i = 0; i < send->Size; ++i) send->Slots[i].Busy = FALSE;
  send->Head = send->Tail = send->ContextIndex = 0;
  send->Busy = 0;
  send->LastHead = 0;
  send->StallChecks = 0;
  NdisReleaseSpinLock(&adapter->SendLock);
}
