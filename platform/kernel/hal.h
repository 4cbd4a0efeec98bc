// Register accessors. Each access goes synchronously to the device that owns
// the mapped register window (MmMapIoSpace). An access outside every mapped
// window stops the host with the caller's place.
#pragma once

#include "platform/kernel/ke.h"

UCHAR READ_REGISTER_UCHAR(volatile UCHAR* Register, const SrcLoc& where = SrcLoc::current());
USHORT READ_REGISTER_USHORT(volatile USHORT* Register, const SrcLoc& where = SrcLoc::current());
ULONG READ_REGISTER_ULONG(volatile ULONG* Register, const SrcLoc& where = SrcLoc::current());
ULONG64 READ_REGISTER_ULONG64(volatile ULONG64* Register, const SrcLoc& where = SrcLoc::current());
void WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value, const SrcLoc& where = SrcLoc::current());
void WRITE_REGISTER_USHORT(volatile USHORT* Register, USHORT Value, const SrcLoc& where = SrcLoc::current());
void WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value, const SrcLoc& where = SrcLoc::current());
void WRITE_REGISTER_ULONG64(volatile ULONG64* Register, ULONG64 Value, const SrcLoc& where = SrcLoc::current());
void READ_REGISTER_BUFFER_ULONG(volatile ULONG* Register, PULONG Buffer, ULONG Count,
                                const SrcLoc& where = SrcLoc::current());
void WRITE_REGISTER_BUFFER_ULONG(volatile ULONG* Register, PULONG Buffer, ULONG Count,
                                 const SrcLoc& where = SrcLoc::current());
