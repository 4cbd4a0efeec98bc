// The lock and mapping state behind an MDL. Private to the I/O manager's files.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/kernel/io/mdl.h"
#include "platform/kernel/io/procmem.h"

namespace plat {

struct MdlState {
  enum class Kind { Unbuilt, Kernel, IoSpace, User };
  Kind kind = Kind::Unbuilt;
  // User pages.
  pid_t pid = 0;
  std::uint64_t foreign_base = 0;
  LOCK_OPERATION operation = IoReadAccess;
  std::shared_ptr<procmem::Life> life;          // the locking process
  std::shared_ptr<procmem::SharedPages> pages;  // the pages themselves, when the process shares them
  // Other memory only: the kernel copy behind the system address.
  void* view = nullptr;
  std::vector<std::byte> snapshot;  // the described bytes as read, to write back only changes
};

inline MdlState* mdl_state(PMDL mdl) { return static_cast<MdlState*>(mdl->Impl); }

PVOID map_into_process(PMDL mdl);
void unmap_from_process(PVOID base);

}  // namespace plat
