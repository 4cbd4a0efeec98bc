// Reference-counted kernel objects and the kernel handle table. A body
// allocated here is preceded by its header, so ObReferenceObject and
// ObDereferenceObject work from the body's address alone.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>

#include "platform/kernel/ob.h"

// The type of a kernel object.
struct OBJECT_TYPE {
  const char* Name;
  void (*Destroy)(void* body);
};

namespace plat {

struct alignas(16) ObjectHeader {
  std::atomic<std::int64_t> refs;
  const OBJECT_TYPE* type;
};

inline ObjectHeader* header_of(void* body) {
  return reinterpret_cast<ObjectHeader*>(static_cast<char*>(body) - sizeof(ObjectHeader));
}

// Creates a body of type T with one reference, owned by the caller.
template <typename T, typename... Args>
T* create_object(const OBJECT_TYPE& type, Args&&... args) {
  void* block = ::operator new (sizeof(ObjectHeader) + sizeof(T), std::align_val_t{alignof(ObjectHeader)});
  auto* header = new (block) ObjectHeader{{1}, &type};
  return new (reinterpret_cast<char*>(header) + sizeof(ObjectHeader)) T(std::forward<Args>(args)...);
}

// For OBJECT_TYPE::Destroy: runs T's destructor and releases the block.
template <typename T>
void destroy_object(void* body) {
  ObjectHeader* header = header_of(body);
  static_cast<T*>(body)->~T();
  header->~ObjectHeader();
  ::operator delete (header, std::align_val_t{alignof(ObjectHeader)});
}

void reference(void* body);
void dereference(void* body);

// Kernel handles: opaque values that each hold one reference on an object.
class HandleTable {
 public:
  HandleTable() = default;
  ~HandleTable();
  HandleTable(const HandleTable&) = delete;
  HandleTable& operator=(const HandleTable&) = delete;

  // Takes a new reference on body.
  HANDLE insert(void* body);
  // Returns the body with a new reference, or null.
  void* reference(HANDLE handle, const OBJECT_TYPE* type, NTSTATUS* status);
  // Drops the handle's reference. False when the handle is unknown.
  bool close(HANDLE handle);
  std::size_t size() const;

 private:
  mutable std::mutex mu_;
  std::unordered_map<std::uintptr_t, void*> entries_;
  std::uintptr_t next_ = 0;
};

}  // namespace plat
