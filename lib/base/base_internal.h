// What the files of zekbase share among themselves and nobody else sees.
#pragma once

#include "include/zek/zekbase.h"
#include "platform/user/win32.h"

// The library's private heap: created by the first allocation that needs it
// and destroyed when the library leaves the process, whatever the use
// counts say (blocks still allocated go with it). Null when there is none
// and `create` is false, or when it cannot be created.
HANDLE ZekBaseHeap(bool create);
void ZekBaseDestroyHeap();

// True when the object pointer is usable and the object carries `signature`.
bool ZekBaseHasSignature(const std::uint32_t* field, std::uint32_t signature);
