// The hardware-interface module (library zekhwif), compiled into both
// drivers. Its shared records are in include/zek/mifh.h, the adapter's
// formats in include/hw/. Each source has its own header, named as the
// source is:
//
//   pools.h, pool_ops.h  DMA slabs and the pool table; the pools' named operations
//   pool_table.h         the table's rows (private to the pools)
//   ring.h               ring index arithmetic
//   reg_access.h         register access and the index-register lock
//   doorbell.h           WQE-allocate and CQE-allocate doorbell writes
//   locks.h              the control-queue-pair lock routines
//   control_qp.h         the control queue pair (CQP): creation, posting, pending refill
//   ccq.h                the control completion queue and its processing
//   cq.h                 completion queues: objects, requests, polling, give-back, arming
//   eq.h                 AEQ and CEQ creation, reading CEQ entries
//   async_events.h       the asynchronous-event ring of a verbs adapter
//   qp.h                 queue-pair and protection-domain control operations
//   query_stag.h         the query-STag control request
//   toe_post.h           TOE queue pairs: context, requests, posting, completions
//   work_requests.h      iWARP work-request builders and queue resizing
//   nic_qp.h             the driver's own NIC queue pair
//   config.h             capabilities, MAC table, connection hash, SerDes, scratchpad
//   failover.h           port fail-over steering and drains
//   storage.h            EEPROM and SPI flash access
//   phy.h                MDIO, PHY access and the link test
//   status.h             the module's statuses
//
// This header gathers them for the module's users (the drivers and tests).
//
// Not here yet: the multicast receive queue.
#pragma once

#include "proxy/rdma/hw/async_events.h"
#include "proxy/rdma/hw/ccq.h"
#include "proxy/rdma/hw/config.h"
#include "proxy/rdma/hw/control_qp.h"
#include "proxy/rdma/hw/cq.h"
#include "proxy/rdma/hw/doorbell.h"
#include "proxy/rdma/hw/eq.h"
#include "proxy/rdma/hw/failover.h"
#include "proxy/rdma/hw/locks.h"
#include "proxy/rdma/hw/nic_qp.h"
#include "proxy/rdma/hw/phy.h"
#include "proxy/rdma/hw/pool_ops.h"
#include "proxy/rdma/hw/pools.h"
#include "proxy/rdma/hw/qp.h"
#include "proxy/rdma/hw/query_stag.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/ring.h"
#include "proxy/rdma/hw/status.h"
#include "proxy/rdma/hw/storage.h"
#include "proxy/rdma/hw/toe_post.h"
#include "proxy/rdma/hw/work_requests.h"
