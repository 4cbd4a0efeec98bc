// The user-mode register accessor. Register pages that a driver maps into
// the process (doorbell pages) are inaccessible memory: a plain store
// crashes. These routines append the write to the mapping's posted-write
// ring, after every store the thread made before (release), and wake the
// host, which applies the writes to the device in order. A write to an
// address outside every register mapping stops the process with a message.
#pragma once

#include "platform/common/wintypes.h"

extern "C" {
void WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value);
void WRITE_REGISTER_USHORT(volatile USHORT* Register, USHORT Value);
void WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value);
void WRITE_REGISTER_ULONG64(volatile ULONG64* Register, ULONG64 Value);
}
