// Scatter-gather DMA, net buffer lists, net buffers and MDLs, and the two
// ways frames leave the miniport (send completion, receive indication).
#include <cstring>

#include "platform/ndis/internal.h"

using plat::ndis::Adapter;

namespace plat::ndis {

struct Dma {
  Adapter* adapter;
  NDIS_SG_DMA_DESCRIPTION description;
};

struct NblPool {
  Adapter* adapter;
  NET_BUFFER_LIST_POOL_PARAMETERS parameters;
  std::atomic<long> out;
};

// A list, its one net buffer and its context area, in one block.
struct NblBlock {
  NET_BUFFER_LIST list;
  NET_BUFFER buffer;
  USHORT context_size;
};

}  // namespace plat::ndis

// ---- Scatter-gather DMA --------------------------------------------------------------------------
NDIS_STATUS NdisMRegisterScatterGatherDma(NDIS_HANDLE handle, PNDIS_SG_DMA_DESCRIPTION description,
                                          PNDIS_HANDLE NdisMiniportDmaHandle) {
  Adapter& adapter = plat::ndis::adapter_of(handle);
  if (description == nullptr || NdisMiniportDmaHandle == nullptr || description->ProcessSGListHandler == nullptr ||
      description->Header.Type != NDIS_OBJECT_TYPE_SG_DMA_DESCRIPTION || description->MaximumPhysicalMapping == 0) {
    return NDIS_STATUS_INVALID_PARAMETER;
  }
  auto* dma =
      static_cast<plat::ndis::Dma*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(plat::ndis::Dma), plat::ndis::kNdisTag));
  if (dma == nullptr) return NDIS_STATUS_RESOURCES;
  dma->adapter = &adapter;
  // Room for a mapping that starts anywhere in a page.
  const ULONG elements = description->MaximumPhysicalMapping / PAGE_SIZE + 2;
  description->ScatterGatherListSize =
      static_cast<ULONG>(offsetof(SCATTER_GATHER_LIST, Elements) + elements * sizeof(SCATTER_GATHER_ELEMENT));
  dma->description = *description;
  plat::ndis::hold(&adapter, [](auto& h) { ++h.dma; });
  *NdisMiniportDmaHandle = dma;
  return NDIS_STATUS_SUCCESS;
}

void NdisMDeregisterScatterGatherDma(NDIS_HANDLE handle) {
  auto* dma = static_cast<plat::ndis::Dma*>(handle);
  if (dma == nullptr) return;
  plat::ndis::hold(dma->adapter, [](auto& h) { --h.dma; });
  ExFreePoolWithTag(dma, plat::ndis::kNdisTag);
}

// Reserved of a list NDIS allocated itself (the miniport's buffer was too small).
static constexpr ULONG_PTR kOwnList = 1;

NDIS_STATUS NdisMAllocateNetBufferSGList(NDIS_HANDLE handle, PNET_BUFFER nb, PVOID Context, ULONG,
                                         PVOID ScatterGatherListBuffer, ULONG ScatterGatherListBufferSize) {
  auto* dma = static_cast<plat::ndis::Dma*>(handle);
  if (dma == nullptr || nb == nullptr) return NDIS_STATUS_INVALID_PARAMETER;
  if (nb->DataLength > dma->description.MaximumPhysicalMapping) return NDIS_STATUS_INVALID_LENGTH;
  // One element per physically contiguous run of the net buffer's data.
  std::vector<SCATTER_GATHER_ELEMENT> elements;
  ULONG left = nb->DataLength;
  ULONG offset = nb->CurrentMdlOffset;
  for (PMDL mdl = nb->CurrentMdl; mdl != nullptr && left > 0; mdl = mdl->Next) {
    const ULONG bytes = MmGetMdlByteCount(mdl);
    if (offset >= bytes) {
      offset -= bytes;
      continue;
    }
    auto* va = static_cast<std::uint8_t*>(MmGetMdlVirtualAddress(mdl)) + offset;
    ULONG run = std::min(left, bytes - offset);
    while (run > 0) {
      const ULONG in_page = std::min<ULONG>(run, PAGE_SIZE - static_cast<ULONG>(BYTE_OFFSET(va)));
      const PHYSICAL_ADDRESS pa = MmGetPhysicalAddress(va);
      if (pa.QuadPart == 0) return NDIS_STATUS_FAILURE;
      if (!elements.empty() &&
          elements.back().Address.QuadPart + static_cast<LONGLONG>(elements.back().Length) == pa.QuadPart) {
        elements.back().Length += in_page;
      } else {
        elements.push_back({pa, in_page, 0});
      }
      va += in_page;
      run -= in_page;
      left -= in_page;
    }
    offset = 0;
  }
  if (left != 0) return NDIS_STATUS_INVALID_LENGTH;
  const std::size_t need = offsetof(SCATTER_GATHER_LIST, Elements) +
                           std::max<std::size_t>(elements.size(), 1) * sizeof(SCATTER_GATHER_ELEMENT);
  auto* list = static_cast<PSCATTER_GATHER_LIST>(ScatterGatherListBuffer);
  bool own = false;
  if (list == nullptr || ScatterGatherListBufferSize < need) {
    list = static_cast<PSCATTER_GATHER_LIST>(ExAllocatePoolWithTag(NonPagedPool, need, plat::ndis::kNdisTag));
    if (list == nullptr) return NDIS_STATUS_RESOURCES;
    own = true;
  }
  list->NumberOfElements = static_cast<ULONG>(elements.size());
  list->Reserved = own ? kOwnList : 0;
  for (std::size_t i = 0; i < elements.size(); ++i) list->Elements[i] = elements[i];
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  dma->description.ProcessSGListHandler(nullptr, nullptr, list, Context);
  KeLowerIrql(old);
  return NDIS_STATUS_SUCCESS;
}

void NdisMFreeNetBufferSGList(NDIS_HANDLE, PSCATTER_GATHER_LIST list, PNET_BUFFER) {
  if (list != nullptr && list->Reserved == kOwnList) ExFreePoolWithTag(list, plat::ndis::kNdisTag);
}

// ---- Pools and lists ----------------------------------------------------------------------------------------
NDIS_HANDLE NdisAllocateNetBufferListPool(NDIS_HANDLE handle, PNET_BUFFER_LIST_POOL_PARAMETERS parameters) {
  if (parameters == nullptr) return nullptr;
  auto* pool = new plat::ndis::NblPool{plat::ndis::try_adapter_of(handle), *parameters, {0}};
  plat::ndis::hold(pool->adapter, [](auto& h) { ++h.pools; });
  return pool;
}

void NdisFreeNetBufferListPool(NDIS_HANDLE handle) {
  auto* pool = static_cast<plat::ndis::NblPool*>(handle);
  if (pool == nullptr) return;
  if (pool->out.load() != 0) {
    plat::fault(SrcLoc::current(), "NDIS: a pool is freed with %ld list(s) still out", pool->out.load());
  }
  plat::ndis::hold(pool->adapter, [](auto& h) { --h.pools; });
  delete pool;
}

PNET_BUFFER_LIST NdisAllocateNetBufferAndNetBufferList(NDIS_HANDLE handle, USHORT ContextSize, USHORT, PMDL MdlChain,
                                                       ULONG DataOffset, SIZE_T DataLength) {
  auto* pool = static_cast<plat::ndis::NblPool*>(handle);
  if (pool == nullptr) return nullptr;
  const std::size_t bytes = sizeof(plat::ndis::NblBlock) + ContextSize;
  auto* block = static_cast<plat::ndis::NblBlock*>(ExAllocatePoolWithTag(NonPagedPool, bytes, plat::ndis::kNdisTag));
  if (block == nullptr) return nullptr;
  std::memset(block, 0, bytes);
  block->context_size = ContextSize;
  NET_BUFFER_LIST* list = &block->list;
  NET_BUFFER* nb = &block->buffer;
  list->FirstNetBuffer = nb;
  list->NdisPoolHandle = pool;
  list->Context = ContextSize != 0 ? block + 1 : nullptr;
  nb->NdisPoolHandle = pool;
  nb->MdlChain = MdlChain;
  nb->DataOffset = DataOffset;
  nb->DataLength = static_cast<ULONG>(DataLength);
  // The current MDL is the one the data offset falls in.
  PMDL mdl = MdlChain;
  ULONG offset = DataOffset;
  while (mdl != nullptr && offset >= MmGetMdlByteCount(mdl) && mdl->Next != nullptr) {
    offset -= MmGetMdlByteCount(mdl);
    mdl = mdl->Next;
  }
  nb->CurrentMdl = mdl;
  nb->CurrentMdlOffset = offset;
  ++pool->out;
  return list;
}

void NdisFreeNetBufferList(PNET_BUFFER_LIST list) {
  if (list == nullptr) return;
  auto* pool = static_cast<plat::ndis::NblPool*>(list->NdisPoolHandle);
  --pool->out;
  ExFreePoolWithTag(reinterpret_cast<plat::ndis::NblBlock*>(list), plat::ndis::kNdisTag);
}

PMDL NdisAllocateMdl(NDIS_HANDLE, PVOID VirtualAddress, UINT Length) {
  PMDL mdl = IoAllocateMdl(VirtualAddress, Length, FALSE, FALSE, nullptr);
  if (mdl != nullptr) MmBuildMdlForNonPagedPool(mdl);
  return mdl;
}

void NdisFreeMdl(PMDL Mdl) {
  if (Mdl != nullptr) IoFreeMdl(Mdl);
}

// ---- Frames out of the miniport ---------------------------------------------------------------------------------
void NdisMSendNetBufferListsComplete(NDIS_HANDLE handle, PNET_BUFFER_LIST lists, ULONG) {
  plat::ndis::Ndis::current().send_complete(plat::ndis::adapter_of(handle), lists);
}

void NdisMIndicateReceiveNetBufferLists(NDIS_HANDLE handle, PNET_BUFFER_LIST lists, NDIS_PORT_NUMBER, ULONG,
                                        ULONG ReceiveFlags) {
  plat::ndis::Ndis::current().indicate_receive(plat::ndis::adapter_of(handle), lists, ReceiveFlags);
}
