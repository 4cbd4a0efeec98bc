// The hardware-interface module (library zekhwif), compiled into both drivers:
// the pools and slabs, the rings and the control queue pair, completion and
// event queues, and the asynchronous-event ring. Its shared records are in
// include/zek/mifh.h, the adapter's formats in include/hw/.
//
// Also: queue-pair and protection-domain control operations (qp.h), work
// requests and completion formats (wqe.h), the driver's NIC queue pair
// (nic_qp.h), adapter configuration, MAC table and connection hash
// (config.h), the fail-over steering and drains (failover.h).
//
// Not here yet: TOE posting, counters, EEPROM, flash and PHY sequences, the
// multicast receive queue.
#pragma once

#include "proxy/rdma/hw/async_events.h"
#include "proxy/rdma/hw/ccq.h"
#include "proxy/rdma/hw/config.h"
#include "proxy/rdma/hw/cq.h"
#include "proxy/rdma/hw/cqp.h"
#include "proxy/rdma/hw/doorbell.h"
#include "proxy/rdma/hw/eq.h"
#include "proxy/rdma/hw/failover.h"
#include "proxy/rdma/hw/locks.h"
#include "proxy/rdma/hw/nic_qp.h"
#include "proxy/rdma/hw/pool_ops.h"
#include "proxy/rdma/hw/pools.h"
#include "proxy/rdma/hw/qp.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/ring.h"
#include "proxy/rdma/hw/status.h"
#include "proxy/rdma/hw/wqe.h"
