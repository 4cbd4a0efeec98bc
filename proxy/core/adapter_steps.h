// Register steps of the adapter attach that stand on the device object
// alone.
#pragma once

#include "include/zek/mifh.h"

// Opens the adapter's user doorbell pages for the function: indexed register
// 0x900 + 8F gets (protection-domain count << 16) | first protection-domain
// id (the indexed write holds the index-register lock). Fails (nothing written) for a device
// without its doorbell window or whose guard words are not intact.
ZekStatus mifh_usermode_access_init(MifhDeviceObj* device);
