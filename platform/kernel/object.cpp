#include "platform/kernel/object.h"

#include "platform/kernel/fault.h"

namespace plat {
namespace {
// Kernel handles have their top bits set, as kernel handles do, so that they
// are never confused with user handles.
constexpr std::uintptr_t kKernelHandleBase = 0xFFFFFFFF80000000ull;
}  // namespace

void reference(void* body) { header_of(body)->refs.fetch_add(1, std::memory_order_relaxed); }

void dereference(void* body) {
  ObjectHeader* header = header_of(body);
  std::int64_t before = header->refs.fetch_sub(1, std::memory_order_acq_rel);
  if (before <= 0) fault(SrcLoc::current(), "dereference of a dead %s object %p", header->type->Name, body);
  if (before == 1) header->type->Destroy(body);
}

HandleTable::~HandleTable() {
  for (auto& [value, body] : entries_) dereference(body);
}

HANDLE HandleTable::insert(void* body) {
  plat::reference(body);
  std::lock_guard lock(mu_);
  next_ += 4;
  entries_.emplace(kKernelHandleBase + next_, body);
  return reinterpret_cast<HANDLE>(kKernelHandleBase + next_);
}

void* HandleTable::reference(HANDLE handle, const OBJECT_TYPE* type, NTSTATUS* status) {
  std::lock_guard lock(mu_);
  auto it = entries_.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == entries_.end()) {
    *status = STATUS_INVALID_HANDLE;
    return nullptr;
  }
  if (type != nullptr && header_of(it->second)->type != type) {
    *status = STATUS_OBJECT_TYPE_MISMATCH;
    return nullptr;
  }
  plat::reference(it->second);
  *status = STATUS_SUCCESS;
  return it->second;
}

bool HandleTable::close(HANDLE handle) {
  void* body = nullptr;
  {
    std::lock_guard lock(mu_);
    auto it = entries_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == entries_.end()) return false;
    body = it->second;
    entries_.erase(it);
  }
  dereference(body);
  return true;
}

std::size_t HandleTable::size() const {
  std::lock_guard lock(mu_);
  return entries_.size();
}

}  // namespace plat
