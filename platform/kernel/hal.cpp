// Register accessors: routed synchronously to the device behind the mapping.
#include "platform/kernel/hal.h"

#include "platform/kernel/fault.h"
#include "platform/kernel/kernel.h"

namespace {

plat::IoSpace::Target target(const volatile void* reg, unsigned size, const char* what, const SrcLoc& where) {
  if (reinterpret_cast<std::uintptr_t>(reg) % size != 0) {
    plat::fault(where, "%s at %p: not aligned to %u bytes", what, const_cast<void*>(reg), size);
  }
  auto t = plat::Kernel::current().io_space().lookup(reg, size);
  if (!t) plat::fault(where, "%s at %p: outside every mapped register window", what, const_cast<void*>(reg));
  return *t;
}

template <typename T>
T read_register(volatile T* reg, const char* what, const SrcLoc& where) {
  auto t = target(reg, sizeof(T), what, where);
  return static_cast<T>(t.handler->mmio_read(t.offset, sizeof(T)));
}

template <typename T>
void write_register(volatile T* reg, T value, const char* what, const SrcLoc& where) {
  auto t = target(reg, sizeof(T), what, where);
  t.handler->mmio_write(t.offset, value, sizeof(T));
}

}  // namespace

UCHAR READ_REGISTER_UCHAR(volatile UCHAR* Register, const SrcLoc& where) {
  return read_register(Register, "READ_REGISTER_UCHAR", where);
}
USHORT READ_REGISTER_USHORT(volatile USHORT* Register, const SrcLoc& where) {
  return read_register(Register, "READ_REGISTER_USHORT", where);
}
ULONG READ_REGISTER_ULONG(volatile ULONG* Register, const SrcLoc& where) {
  return read_register(Register, "READ_REGISTER_ULONG", where);
}
ULONG64 READ_REGISTER_ULONG64(volatile ULONG64* Register, const SrcLoc& where) {
  return read_register(Register, "READ_REGISTER_ULONG64", where);
}
void WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value, const SrcLoc& where) {
  write_register(Register, Value, "WRITE_REGISTER_UCHAR", where);
}
void WRITE_REGISTER_USHORT(volatile USHORT* Register, USHORT Value, const SrcLoc& where) {
  write_register(Register, Value, "WRITE_REGISTER_USHORT", where);
}
void WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value, const SrcLoc& where) {
  write_register(Register, Value, "WRITE_REGISTER_ULONG", where);
}
void WRITE_REGISTER_ULONG64(volatile ULONG64* Register, ULONG64 Value, const SrcLoc& where) {
  write_register(Register, Value, "WRITE_REGISTER_ULONG64", where);
}

void READ_REGISTER_BUFFER_ULONG(volatile ULONG* Register, PULONG Buffer, ULONG Count, const SrcLoc& where) {
  for (ULONG i = 0; i < Count; ++i) Buffer[i] = read_register(Register, "READ_REGISTER_BUFFER_ULONG", where);
}

void WRITE_REGISTER_BUFFER_ULONG(volatile ULONG* Register, PULONG Buffer, ULONG Count, const SrcLoc& where) {
  for (ULONG i = 0; i < Count; ++i) write_register(Register, Buffer[i], "WRITE_REGISTER_BUFFER_ULONG", where);
}
