// The hardware-interface module (library zekhwif), compiled into both drivers:
// the pools and slabs, the rings and the control queue pair, completion and
// event queues, and the asynchronous-event ring. Its shared records are in
// include/zek/mifh.h, the adapter's formats in include/hw/.
//
// Not here yet: queue-pair and protection-domain control operations, work
// requests and completion formats, the driver's NIC queue pair, adapter
// configuration, the fail-over drains, TOE posting, counters, EEPROM, flash
// and PHY sequences.
#pragma once

#include "proxy/rdma/hw/async_events.h"
#include "proxy/rdma/hw/cqp.h"
#include "proxy/rdma/hw/pools.h"
#include "proxy/rdma/hw/queues.h"
#include "proxy/rdma/hw/registers.h"
#include "proxy/rdma/hw/ring.h"
#include "proxy/rdma/hw/status.h"
