// Everything a driver of this system includes from the kernel.
#pragma once

#include "platform/common/interlocked.h"
#include "platform/common/ntstatus.h"
#include "platform/common/wintypes.h"
#include "platform/kernel/dbg.h"
#include "platform/kernel/ex.h"
#include "platform/kernel/hal.h"
#include "platform/kernel/ke.h"
#include "platform/kernel/mm.h"
#include "platform/kernel/ob.h"
#include "platform/kernel/ps.h"
#include "platform/kernel/rtl.h"
