// Reaching the memory of another Linux process by pid: the primitives under
// the caller-memory routines, MDLs and DMA to locked user pages.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace plat::procmem {

// Whole transfers only: false when any byte could not be moved.
bool read(pid_t pid, std::uint64_t address, void* destination, std::size_t length);
bool write(pid_t pid, std::uint64_t address, const void* source, std::size_t length);

enum class Access { Read, Write };
// Whether every page of the range is mapped in the process with that access.
bool accessible(pid_t pid, std::uint64_t address, std::size_t length, Access access);

// The user process the calling thread serves, or 0 in the system process.
pid_t current_pid();

}  // namespace plat::procmem
