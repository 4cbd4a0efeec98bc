// The receive path and the adapter's data-path memory: the DMA
// registration, the send slots, the receive buffers with their MDLs and
// NBLs, their posting on the NIC receive queue, the NIC completion queue's
// processing (receives here, send completions handed to the send path), the
// indication to NDIS and the return.
#include <cstring>

#include "include/hw/nic.h"
#include "miniport/datapath.h"
#include "proxy/rdma/hw/cq.h"
#include "proxy/rdma/hw/qp.h"
#include "proxy/rdma/hw/ring.h"
#include "proxy/rdma/hw/status.h"

namespace {

constexpr ULONG kMaxPhysicalMapping = 65536;
constexpr std::uint32_t kSendHeaderBytes = 1536;
constexpr std::uint32_t kSendHeaderJumboBytes = 9088;
// Frame flags (NIC completion word 2).
constexpr std::uint32_t kChecksumStatusMask = 0x0FF0;
constexpr std::uint32_t kChecksumChecked = 1u << 4;
constexpr std::uint32_t kFragment = 1u << 12;
constexpr unsigned kProtocolShift = 8;
constexpr std::uint32_t kProtocolTcp = 1, kProtocolUdp = 2;
// Receive statuses by error bit.
enum : std::uint32_t { kRxOk = 0, kRxError = 1, kRxIpChecksum = 2, kRxL4Checksum = 3, kRxMalformed = 4, kRxLength = 5 };

MifhQpObject* nic_qp_of(ZEK_ADAPTER* adapter) { return reinterpret_cast<MifhQpObject*>(adapter->HwInfo->NicQp); }

ZekRxDesc*& desc_of(NET_BUFFER_LIST* nbl) {
  return *reinterpret_cast<ZekRxDesc**>(&NET_BUFFER_LIST_MINIPORT_RESERVED(nbl)[0]);
}

std::uint32_t receive_status(std::uint32_t errors, std::uint32_t frame_flags) {
  if (errors == 0) return kRxOk;
  if ((errors & (1u << 3)) != 0) return kRxMalformed;
  if ((errors & (1u << 1)) != 0) return kRxIpChecksum;
  if ((errors & (1u << 2)) != 0 && (frame_flags & kFragment) == 0) return kRxL4Checksum;
  if ((errors & (1u << 4)) != 0) return kRxLength;
  return kRxError;
}

// A buffer back on the free list, its lengths whole again. Under the adapter lock.
void to_free_list(ZekRecvPath* recv, ZekRxDesc* desc) {
  desc->Flags &= ~ZEK_RX_HELD_BY_NDIS;
  desc->Next = nullptr;
  NET_BUFFER* nb = NET_BUFFER_LIST_FIRST_NB(desc->Nbl);
  NET_BUFFER_DATA_LENGTH(nb) = recv->BufferBytes;
  NdisAdjustMdlLength(desc->Mdl, recv->BufferBytes);
  if (recv->FreeTail != nullptr) {
    recv->FreeTail->Next = desc;
  } else {
    recv->FreeHead = desc;
  }
  recv->FreeTail = desc;
}

ZekRxDesc* take_free(ZekRecvPath* recv) {
  ZekRxDesc* desc = recv->FreeHead;
  if (desc == nullptr) return nullptr;
  recv->FreeHead = desc->Next;
  if (recv->FreeHead == nullptr) recv->FreeTail = nullptr;
  desc->Next = nullptr;
  return desc;
}

bool multicast_listed(const ZEK_ADAPTER* adapter, const std::uint8_t* destination) {
  const std::uint32_t count = adapter->MulticastCount < 32 ? adapter->MulticastCount : 32;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (std::memcmp(adapter->MulticastList[i], destination, 6) == 0) return true;
  }
  return false;
}

// One received frame: onto the indication list, or back to the free list
// (answers true then, and the caller posts a buffer again). Under the
// adapter lock.
bool take_frame(ZEK_ADAPTER* adapter, const zekhw::MifhNicCqe& cqe) {
  ZekRecvPath* recv = adapter->Recv;
  MifhQpObject* qp = nic_qp_of(adapter);
  const std::uint32_t index = cqe.index & zekhw::kNicCqeIndexMask;
  const std::uint32_t length = cqe.status & zekhw::kNicCqeLengthMask;
  const std::uint32_t flags = cqe.frame_flags & 0xFFFF;
  // The completion must name a buffer that is in the ring.
  ZekRxDesc* desc = index < qp->RqRing.Size ? recv->PostedAt[index] : nullptr;
  if (desc == nullptr) {
    ZEK_LOG_FAILURE("ProcessRecv: a receive completion names ring slot %u, which holds no buffer\n", index);
    ++recv->StrayIndex;
    ++recv->Dropped;
    return false;
  }
  if ((desc->Flags & ZEK_RX_HELD_BY_NDIS) != 0)
    ZEK_LOG_FAILURE("ProcessRecv: buffer %u is held by NDIS\n", desc->Index);
  recv->PostedAt[index] = nullptr;
  --recv->Posted;
  qp->RqRing.Tail = (index + 1) % qp->RqRing.Size;
  const std::uint8_t* destination = desc->Va;
  const bool unicast = (flags & zekhw::kNicFrameUnicast) != 0;
  const bool broadcast = (flags & zekhw::kNicFrameBroadcast) != 0;
  ++recv->Frames;
  recv->Bytes += length;
  if (unicast) {
    ++recv->UnicastFrames;
    recv->UnicastBytes += length;
  } else if (broadcast) {
    ++recv->BroadcastFrames;
    recv->BroadcastBytes += length;
  } else {
    ++recv->MulticastFrames;
    recv->MulticastBytes += length;
  }
  const ZekRxVerdict verdict = ZekJudgeReceive(cqe, recv->BufferBytes, adapter->Proxy.OffloadEnable != 0);
  bool drop = !verdict.Indicate;
  if (verdict.BadLength) ++recv->BadLength;
  if (!drop && !unicast && !broadcast &&
      (adapter->PacketFilter & (NDIS_PACKET_TYPE_ALL_MULTICAST | NDIS_PACKET_TYPE_PROMISCUOUS)) == 0 &&
      !multicast_listed(adapter, destination)) {
    ++recv->FilteredMulticast;
    drop = true;
  }
  if (drop) {
    ++recv->Dropped;
    to_free_list(recv, desc);
    return true;
  }
  NET_BUFFER_LIST* nbl = desc->Nbl;
  NET_BUFFER_LIST_NEXT_NBL(nbl) = nullptr;
  nbl->Flags = 0;
  NET_BUFFER_LIST_STATUS(nbl) = NDIS_STATUS_SUCCESS;
  NDIS_NET_BUFFER_LIST_8021Q_INFO q;
  q.Value = nullptr;
  if ((cqe.status & zekhw::kNicCqeVlanStripped) != 0 && adapter->Proxy.VlanEnabled != 0) {
    const std::uint32_t tag = cqe.frame_flags >> zekhw::kNicFrameVlanShift;
    q.TagHeader.UserPriority = (tag >> 13) & 7;
    q.TagHeader.VlanId = tag & 0xFFF;
  }
  NET_BUFFER_LIST_INFO(nbl, Ieee8021QNetBufferListInfo) = q.Value;
  NET_BUFFER_LIST_INFO(nbl, TcpIpChecksumNetBufferListInfo) = verdict.Checksum.Value;
  desc->Flags |= ZEK_RX_HELD_BY_NDIS;
  nbl->SourceHandle = adapter->MiniportAdapterHandle;
  NET_BUFFER_DATA_LENGTH(NET_BUFFER_LIST_FIRST_NB(nbl)) = length;
  NdisAdjustMdlLength(desc->Mdl, length);
  ++recv->Outstanding;
  if (recv->IndicateTail != nullptr) {
    NET_BUFFER_LIST_NEXT_NBL(recv->IndicateTail) = nbl;
  } else {
    recv->IndicateHead = nbl;
  }
  recv->IndicateTail = nbl;
  ++recv->IndicateCount;
  return false;
}

// The indication list to NDIS while the path runs; otherwise its buffers
// go back to the ring (never only to the free list, which would drain the
// ring). Answers the buffers to post again.
std::uint32_t ProcessRecv(ZEK_ADAPTER* adapter) {
  ZekRecvPath* recv = adapter->Recv;
  NdisAcquireSpinLock(&adapter->AdapterLock);
  NET_BUFFER_LIST* head = recv->IndicateHead;
  const std::uint32_t count = recv->IndicateCount;
  recv->IndicateHead = recv->IndicateTail = nullptr;
  recv->IndicateCount = 0;
  if (head == nullptr) {
    NdisReleaseSpinLock(&adapter->AdapterLock);
    return 0;
  }
  const bool running = adapter->DataPath == ZEK_DATAPATH_RUNNING &&
                       (adapter->Flags & (ZEK_FLAG_HALT_IN_PROGRESS | ZEK_FLAG_RESET_IN_PROGRESS)) == 0 &&
                       adapter->NdisState != ZEK_STATE_HALTING && adapter->NdisState != ZEK_STATE_HALTED;
  if (!running) {
    OSPrimDebugPrint("func[%s,%d] PacketArrayCount[%d] NicPausing[%x] , fReset[%x] , fHalt[%x] \n", __func__, __LINE__,
                     count, adapter->DataPath, adapter->Flags & ZEK_FLAG_RESET_IN_PROGRESS,
                     adapter->Flags & ZEK_FLAG_HALT_IN_PROGRESS);
    for (NET_BUFFER_LIST* l = head; l != nullptr;) {
      NET_BUFFER_LIST* next = NET_BUFFER_LIST_NEXT_NBL(l);
      --recv->Outstanding;
      to_free_list(recv, desc_of(l));
      l = next;
    }
    const bool resetting = (adapter->Flags & ZEK_FLAG_RESET_IN_PROGRESS) != 0;
    NdisReleaseSpinLock(&adapter->AdapterLock);
    return resetting ? 0 : count;
  }
  ULONG flags = NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL;
  if (recv->Outstanding >= recv->LowResources) flags |= NDIS_RECEIVE_FLAGS_RESOURCES;
  recv->Held += count;
  NdisReleaseSpinLock(&adapter->AdapterLock);
  NdisMIndicateReceiveNetBufferLists(adapter->MiniportAdapterHandle, head, 0, count, flags);
  // With RESOURCES the lists are the miniport's again at once.
  if ((flags & NDIS_RECEIVE_FLAGS_RESOURCES) != 0)
    ZekReturnNetBufferLists(adapter, head, NDIS_RETURN_FLAGS_DISPATCH_LEVEL);
  return 0;
}

void free_send_memory(ZEK_ADAPTER* adapter) {
  ZekSendPath* send = adapter->Send;
  if (send == nullptr) return;
  if (send->HeaderBlock.Va != nullptr) {
    NdisMFreeSharedMemory(adapter->MiniportAdapterHandle, send->HeaderBlock.Length, FALSE, send->HeaderBlock.Va,
                          send->HeaderBlock.Pa);
  }
  if (send->Slots != nullptr) NdisFreeMemory(send->Slots, 0, 0);
  if (send->Contexts != nullptr) NdisFreeMemory(send->Contexts, 0, 0);
  if (send->SglBuffers != nullptr) NdisFreeMemory(send->SglBuffers, 0, 0);
  NdisFreeMemory(send, sizeof *send, 0);
  adapter->Send = nullptr;
}

void free_receive_memory(ZEK_ADAPTER* adapter) {
  ZekRecvPath* recv = adapter->Recv;
  if (recv == nullptr) return;
  if (recv->Held != 0) {
    ZEK_LOG_FAILURE("NICFreeAdapterMemory: NDIS still holds %u receive buffers; they are not freed\n", recv->Held);
  }
  for (std::uint32_t i = 0; recv->Descs != nullptr && i < recv->DescCount; ++i) {
    ZekRxDesc& d = recv->Descs[i];
    if ((d.Flags & ZEK_RX_HELD_BY_NDIS) != 0) continue;  // NDIS's still: kept rather than freed under it
    if (d.Nbl != nullptr) NdisFreeNetBufferList(d.Nbl);
    if (d.Mdl != nullptr) NdisFreeMdl(d.Mdl);
    if (d.Va != nullptr) {
      NdisMFreeSharedMemory(adapter->MiniportAdapterHandle, recv->BufferBytes, FALSE, d.Va, d.SharedPa);
    }
  }
  if (recv->Held == 0) {
    if (recv->NblPool != nullptr) NdisFreeNetBufferListPool(recv->NblPool);
    if (recv->Descs != nullptr) NdisFreeMemory(recv->Descs, 0, 0);
    if (recv->PostedAt != nullptr) NdisFreeMemory(recv->PostedAt, 0, 0);
    NdisFreeMemory(recv, sizeof *recv, 0);
  }
  adapter->Recv = nullptr;
}

template <typename T>
T* allocate_zeroed(ZEK_ADAPTER* adapter, std::size_t count) {
  const auto bytes = static_cast<UINT>(sizeof(T) * count);
  auto* p = static_cast<T*>(
      NdisAllocateMemoryWithTagPriority(adapter->MiniportAdapterHandle, bytes, ZEK_POOL_TAG, NormalPoolPriority));
  if (p != nullptr) NdisZeroMemory(p, bytes);
  return p;
}

bool allocate_send_memory(ZEK_ADAPTER* adapter, ULONG sgl_bytes) {
  auto* send = allocate_zeroed<ZekSendPath>(adapter, 1);
  if (send == nullptr) return false;
  adapter->Send = send;
  send->Size = adapter->Proxy.SendQueueSize;
  send->SglBytes = sgl_bytes;
  send->HeaderBytes = adapter->Proxy.JumboFrames ? kSendHeaderJumboBytes : kSendHeaderBytes;
  send->Slots = allocate_zeroed<ZekTxSlot>(adapter, send->Size);
  send->Contexts = allocate_zeroed<ZekTxContext>(adapter, send->Size);
  send->SglBuffers = allocate_zeroed<std::uint8_t>(adapter, std::size_t{send->Size} * sgl_bytes);
  if (send->Slots == nullptr || send->Contexts == nullptr || send->SglBuffers == nullptr) return false;
  ZekSharedBlock& block = send->HeaderBlock;
  block.Length = send->Size * send->HeaderBytes;
  NdisMAllocateSharedMemory(adapter->MiniportAdapterHandle, block.Length, FALSE, &block.Va, &block.Pa);
  if (block.Va == nullptr) return false;
  for (std::uint32_t i = 0; i < send->Size; ++i) {
    ZekTxSlot& slot = send->Slots[i];
    slot.Header = static_cast<std::uint8_t*>(block.Va) + std::size_t{i} * send->HeaderBytes;
    slot.HeaderPa = static_cast<std::uint64_t>(block.Pa.QuadPart) + std::uint64_t{i} * send->HeaderBytes;
    slot.SglBuffer = send->SglBuffers + std::size_t{i} * sgl_bytes;
  }
  return true;
}

bool NicSetupRecvBuffers(ZEK_ADAPTER* adapter) {
  ZekRecvPath* recv = adapter->Recv;
  for (std::uint32_t i = 0; i < recv->DescCount; ++i) {
    ZekRxDesc& d = recv->Descs[i];
    d.Index = i;
    PVOID va = nullptr;
    NdisMAllocateSharedMemory(adapter->MiniportAdapterHandle, recv->BufferBytes, FALSE, &va, &d.SharedPa);
    if (va == nullptr) return false;
    NdisZeroMemory(va, recv->BufferBytes);
    d.Va = static_cast<std::uint8_t*>(va);
    d.Pa = static_cast<std::uint64_t>(d.SharedPa.QuadPart);
    d.Mdl = NdisAllocateMdl(adapter->MiniportAdapterHandle, va, recv->BufferBytes);
    if (d.Mdl == nullptr) return false;
    d.Nbl = NdisAllocateNetBufferAndNetBufferList(recv->NblPool, 0, 0, d.Mdl, 0, recv->BufferBytes);
    if (d.Nbl == nullptr) return false;
    desc_of(d.Nbl) = &d;
    d.Nbl->SourceHandle = adapter->MiniportAdapterHandle;
    to_free_list(recv, &d);
  }
  return true;
}

bool allocate_receive_memory(ZEK_ADAPTER* adapter) {
  auto* recv = allocate_zeroed<ZekRecvPath>(adapter, 1);
  if (recv == nullptr) return false;
  adapter->Recv = recv;
  const std::uint32_t queue = adapter->Proxy.RecvQueueSize;
  recv->BufferBytes = adapter->Proxy.JumboFrames ? ZEK_RX_BUFFER_JUMBO_BYTES : ZEK_RX_BUFFER_BYTES;
  recv->DescCount = 2 * queue + 1;
  recv->PostLimit = queue - 1;
  recv->LowResources = queue * 4 / 3;
  recv->Descs = allocate_zeroed<ZekRxDesc>(adapter, recv->DescCount);
  recv->PostedAt = allocate_zeroed<ZekRxDesc*>(adapter, queue);
  if (recv->Descs == nullptr || recv->PostedAt == nullptr) return false;
  NET_BUFFER_LIST_POOL_PARAMETERS pool{};
  pool.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, 16};
  pool.ProtocolId = 0;
  pool.fAllocateNetBuffer = TRUE;
  pool.ContextSize = 0;
  pool.PoolTag = ZEK_POOL_TAG;
  recv->NblPool = NdisAllocateNetBufferListPool(adapter->MiniportAdapterHandle, &pool);
  if (recv->NblPool == nullptr) return false;
  if (!NicSetupRecvBuffers(adapter)) {
    ZEK_LOG_FAILURE("NicSetupRecvBuffers:failed file[%s] line[%d]\n", __FILE__, __LINE__);
    return false;
  }
  return true;
}

}  // namespace

ZekRxVerdict ZekJudgeReceive(const zekhw::MifhNicCqe& cqe, std::uint32_t buffer_bytes, bool checksum_offload) {
  ZekRxVerdict verdict{};
  verdict.Checksum.Value = nullptr;
  const std::uint32_t length = cqe.status & zekhw::kNicCqeLengthMask;
  const std::uint32_t errors = (cqe.status & zekhw::kNicCqeErrorMask) >> zekhw::kNicCqeErrorShift;
  const std::uint32_t flags = cqe.frame_flags & 0xFFFF;
  const std::uint32_t status = receive_status(errors, flags);
  if (status != kRxOk && status != kRxIpChecksum && status != kRxL4Checksum) return verdict;
  // The adapter's length is not trusted.
  if (length < ZEK_ETHERNET_HEADER || length > buffer_bytes) {
    verdict.BadLength = true;
    return verdict;
  }
  verdict.Indicate = true;
  const bool checked = (flags & kChecksumChecked) != 0 && (flags & kChecksumStatusMask) != 0 &&
                       (flags & (kFragment | zekhw::kNicFrameChecksumNotChecked)) == 0;
  if (!checksum_offload || !checked) return verdict;
  // Each checksum is judged by its own error bit: a frame whose IP header
  // checksum is bad may have a bad TCP or UDP checksum too, and is not
  // marked good for it.
  const bool ip_bad = (errors & (1u << 1)) != 0;
  const bool l4_bad = (errors & (1u << 2)) != 0;
  auto& r = verdict.Checksum.Receive;
  (ip_bad ? r.IpChecksumFailed : r.IpChecksumSucceeded) = 1;
  const std::uint32_t protocol = (flags >> kProtocolShift) & 0xF;
  if (protocol == kProtocolTcp) (l4_bad ? r.TcpChecksumFailed : r.TcpChecksumSucceeded) = 1;
  if (protocol == kProtocolUdp) (l4_bad ? r.UdpChecksumFailed : r.UdpChecksumSucceeded) = 1;
  return verdict;
}

NDIS_STATUS NICAllocAdapterMemory(ZEK_ADAPTER* adapter) {
  NDIS_SG_DMA_DESCRIPTION dma{};
  dma.Header = {NDIS_OBJECT_TYPE_SG_DMA_DESCRIPTION, 1, 40};
  dma.Flags = NDIS_SG_DMA_64_BIT_ADDRESS;
  dma.MaximumPhysicalMapping = kMaxPhysicalMapping;
  dma.ProcessSGListHandler = ZekProcessSGList;
  const NDIS_STATUS status = NdisMRegisterScatterGatherDma(adapter->MiniportAdapterHandle, &dma, &adapter->DmaHandle);
  if (status != NDIS_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("func[NICAllocAdapterMemory] NdisMRegisterScatterGatherDma failed[%x]\n",
                    static_cast<unsigned>(status));
    adapter->DmaHandle = nullptr;
    NdisWriteErrorLogEntry(adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_OUT_OF_RESOURCES, 0);
    return NDIS_STATUS_RESOURCES;
  }
  adapter->RxBufferSize = adapter->Proxy.JumboFrames ? ZEK_RX_BUFFER_JUMBO_BYTES : ZEK_RX_BUFFER_BYTES;
  if (!allocate_send_memory(adapter, dma.ScatterGatherListSize) || !allocate_receive_memory(adapter)) {
    NICFreeAdapterMemory(adapter);
    NdisWriteErrorLogEntry(adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_OUT_OF_RESOURCES, 0);
    return NDIS_STATUS_RESOURCES;
  }
  return NDIS_STATUS_SUCCESS;
}

void NICFreeAdapterMemory(ZEK_ADAPTER* adapter) {
  free_send_memory(adapter);
  free_receive_memory(adapter);
}

void CommonRePostRcvBuffers(ZEK_ADAPTER* adapter, std::uint32_t count) {
  ZekRecvPath* recv = adapter->Recv;
  if (recv == nullptr || adapter->HwInfo == nullptr) return;
  MifhQpObject* qp = nic_qp_of(adapter);
  NdisAcquireSpinLock(&adapter->AdapterLock);
  if (qp->Rq == nullptr || (adapter->Flags & ZEK_FLAG_RESET_IN_PROGRESS) != 0) {
    NdisReleaseSpinLock(&adapter->AdapterLock);
    return;
  }
  const std::uint32_t room = recv->PostLimit > recv->Posted ? recv->PostLimit - recv->Posted : 0;
  std::uint32_t n = count < room ? count : room;
  auto* ring = static_cast<zekhw::MifhNicRqWqe*>(qp->Rq);
  std::uint32_t written = 0;
  for (; written < n; ++written) {
    const std::uint32_t slot = (qp->RqRing.Head + written) % qp->RqRing.Size;
    if (recv->PostedAt[slot] != nullptr) break;  // never over a buffer still in the ring
    ZekRxDesc* desc = take_free(recv);
    if (desc == nullptr) break;
    recv->PostedAt[slot] = desc;
    zekhw::MifhNicRqWqe wqe{};
    wqe.buffer_length = recv->BufferBytes;
    wqe.buffer_pa = desc->Pa;
    ring[slot] = wqe;
  }
  if (written > 0) {
    std::uint32_t posted = 0;
    if (mifh_nic_qp_post_rq(qp, written, &posted) != MIFH_STATUS_SUCCESS) {
      ZEK_LOG_FAILURE("mifh_nic_qp_post_rq:failed FILE[%s] LINE[%d]\n", __FILE__, __LINE__);
      for (std::uint32_t i = posted; i < written; ++i) {
        const std::uint32_t slot = (qp->RqRing.Head + i - posted) % qp->RqRing.Size;
        to_free_list(recv, recv->PostedAt[slot]);
        recv->PostedAt[slot] = nullptr;
      }
    }
    recv->Posted += posted;
  }
  NdisReleaseSpinLock(&adapter->AdapterLock);
}

void ZekProcessNicCompletions(ZEK_ADAPTER* adapter) {
  NIC_HW_INFO* hw = adapter->HwInfo;
  MifhCqObject* cq = &hw->NicCq;
  if (adapter->Recv == nullptr) return;
  std::uint32_t taken = 0, sends = 0, receives = 0, repost = 0;
  zekhw::MifhNicCqe cqe;
  while (taken < ZEK_NIC_CQES_PER_PASS && mifh_nic_cqe_read(cq, &cqe) == MIFH_STATUS_SUCCESS) {
    ++taken;
    if ((cqe.status & zekhw::kNicCqeSend) != 0) {
      ++sends;
      continue;
    }
    ++receives;
    NdisAcquireSpinLock(&adapter->AdapterLock);
    if (take_frame(adapter, cqe)) ++repost;
    NdisReleaseSpinLock(&adapter->AdapterLock);
  }
  // The entries go back to the adapter (in writes of at most 255).
  if (mifh_cq_release_cqes(&hw->Device, cq, taken, false) != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("ProcessNicCompletions: %u entries could not be given back\n", taken);
  }
  if (sends != 0) HandleSendInterrupt(adapter, sends);
  if (receives != 0) {
    if (receives > adapter->Recv->LargestBatch) adapter->Recv->LargestBatch = receives;
    repost += ProcessRecv(adapter);
  }
  if (repost != 0) CommonRePostRcvBuffers(adapter, repost);
}

void ZekReturnNetBufferLists(NDIS_HANDLE context, PNET_BUFFER_LIST lists, ULONG) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(context);
  ZekRecvPath* recv = adapter->Recv;
  std::uint32_t n = 0;
  NdisAcquireSpinLock(&adapter->AdapterLock);
  for (NET_BUFFER_LIST* l = lists; l != nullptr;) {
    NET_BUFFER_LIST* next = NET_BUFFER_LIST_NEXT_NBL(l);
    to_free_list(recv, desc_of(l));
    if (recv->Outstanding != 0) --recv->Outstanding;
    if (recv->Held != 0) --recv->Held;
    ++n;
    l = next;
  }
  const bool resetting = (adapter->Flags & ZEK_FLAG_RESET_IN_PROGRESS) != 0;
  const bool all_returned = recv->Held == 0;
  NdisReleaseSpinLock(&adapter->AdapterLock);
  if (resetting) {
    OSPrimDebugPrint("func[%s,%d] Reset in progress fReset[%x] rx_buffers_posted[%d] \n", __func__, __LINE__, 1,
                     recv->Posted);
  } else {
    CommonRePostRcvBuffers(adapter, n);
  }
  if (all_returned) NdisSetEvent(&adapter->RxReturnEvent);
}

void ZekRepostAfterReset(ZEK_ADAPTER* adapter) {
  ZekRecvPath* recv = adapter->Recv;
  if (recv == nullptr) return;
  MifhQpObject* qp = nic_qp_of(adapter);
  NdisAcquireSpinLock(&adapter->AdapterLock);
  for (std::uint32_t i = 0; i < qp->RqRing.Size; ++i) {
    if (recv->PostedAt[i] == nullptr) continue;
    to_free_list(recv, recv->PostedAt[i]);
    recv->PostedAt[i] = nullptr;
  }
  recv->Posted = 0;
  NdisReleaseSpinLock(&adapter->AdapterLock);
  CommonRePostRcvBuffers(adapter, recv->PostLimit);
}

bool WaitForRxReturnPackets(ZEK_ADAPTER* adapter, ULONG milliseconds) {
  constexpr ULONG kPollMs = 10;
  for (ULONG waited = 0;; waited += kPollMs) {
    if (adapter->Recv == nullptr || __atomic_load_n(&adapter->Recv->Held, __ATOMIC_ACQUIRE) == 0) return true;
    if (waited >= milliseconds) return false;
    NdisMSleep(kPollMs * 1000);
  }
}
