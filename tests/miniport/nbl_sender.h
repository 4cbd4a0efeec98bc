// NBLs a test (or a test driver) sends through a miniport, each over its
// own pool memory, freed together once every one has completed.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/kernel/io/iomgr.h"
#include "platform/ndis/ndis.h"

namespace datapath {

class Sender {
 public:
  Sender() {
    NET_BUFFER_LIST_POOL_PARAMETERS p{};
    p.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, 16};
    p.fAllocateNetBuffer = TRUE;
    pool_ = NdisAllocateNetBufferListPool(nullptr, &p);
  }
  ~Sender() { release(); }
  // A list over a copy of `bytes`, its data split over `pieces` MDLs.
  NET_BUFFER_LIST* make(const std::vector<std::uint8_t>& bytes, unsigned pieces = 1) {
    auto* data = static_cast<std::uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, bytes.size(), 0x74736554));
    std::memcpy(data, bytes.data(), bytes.size());
    PMDL first = nullptr;
    PMDL last = nullptr;
    const std::size_t piece = (bytes.size() + pieces - 1) / pieces;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
      const auto n = static_cast<ULONG>(std::min(piece, bytes.size() - at));
      PMDL mdl = IoAllocateMdl(data + at, n, FALSE, FALSE, nullptr);
      MmBuildMdlForNonPagedPool(mdl);
      if (last != nullptr) {
        last->Next = mdl;
      } else {
        first = mdl;
      }
      last = mdl;
    }
    NET_BUFFER_LIST* nbl = NdisAllocateNetBufferAndNetBufferList(pool_, 0, 0, first, 0, bytes.size());
    items_.push_back({nbl, first, data});
    return nbl;
  }
  static NET_BUFFER_LIST* chain(const std::vector<NET_BUFFER_LIST*>& lists) {
    for (std::size_t i = 0; i < lists.size(); ++i) lists[i]->Next = i + 1 < lists.size() ? lists[i + 1] : nullptr;
    return lists.empty() ? nullptr : lists[0];
  }
  void release() {
    for (Item& i : items_) {
      NdisFreeNetBufferList(i.nbl);
      for (PMDL m = i.mdl; m != nullptr;) {
        PMDL next = m->Next;
        IoFreeMdl(m);
        m = next;
      }
      ExFreePoolWithTag(i.data, 0x74736554);
    }
    items_.clear();
    if (pool_ != nullptr) NdisFreeNetBufferListPool(pool_);
    pool_ = nullptr;
  }

 private:
  struct Item {
    NET_BUFFER_LIST* nbl;
    PMDL mdl;
    std::uint8_t* data;
  };
  NDIS_HANDLE pool_ = nullptr;
  std::vector<Item> items_;
};

}  // namespace datapath
