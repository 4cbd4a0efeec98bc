// Status values of the hardware-interface module: small numbers, 0 success,
// and the verbs statuses that its data path returns. Headers of the module
// name the statuses of each routine by these names.
#pragma once

#include "include/zek/status.h"
#include "include/zek/verbs.h"

inline constexpr ZekStatus MIFH_STATUS_SUCCESS = 0;
inline constexpr ZekStatus MIFH_STATUS_FAIL = 1;               // the adapter did not acknowledge in time; bad argument
inline constexpr ZekStatus MIFH_STATUS_BAD_ARGUMENT = 2;       // the NIC CQ poll: a null argument
inline constexpr ZekStatus MIFH_STATUS_NO_WQE = 3;             // no slot: the control ring, or a work queue, is full
inline constexpr ZekStatus MIFH_STATUS_NO_MEMORY = 4;          // a pool of queue memory is empty
inline constexpr ZekStatus MIFH_STATUS_NO_OBJECT = 5;          // a pool of objects is empty
inline constexpr ZekStatus MIFH_STATUS_INVALID_COUNT = 6;      // an element or fragment count outside its range
inline constexpr ZekStatus MIFH_STATUS_INVALID_ID = 7;         // a queue id outside its range
inline constexpr ZekStatus MIFH_STATUS_VIRTUAL = 8;            // a virtually mapped queue where none is supported
inline constexpr ZekStatus MIFH_STATUS_INVALID_WQE_COUNT = 9;  // a ring size other than 4, 32, 128, 512
inline constexpr ZekStatus MIFH_STATUS_CQ_INIT_INVALID_COUNT = 0x50054;
inline constexpr ZekStatus MIFH_STATUS_EFB = 10;  // an EFB count other than 0 (NIC) or 0, 1, 2, 4
inline constexpr ZekStatus MIFH_STATUS_NIC_CQ_EMPTY =
    10;  // the NIC CQ poll: no valid entry (the value of MIFH_STATUS_EFB)
inline constexpr ZekStatus MIFH_STATUS_INVALID_PD = 13;        // a protection-domain id above 0x7FFF
inline constexpr ZekStatus MIFH_STATUS_CQ_ERROR = 0xFFFFFFFF;  // -1: the CQ poll and give-back: a bad CQ or ring index

// Verbs statuses of the data path (the verbs group is include/zek/verbs.h).
inline constexpr ZekStatus IWARP_STATUS_ORD_TOO_BIG = 0x50051;
inline constexpr ZekStatus IWARP_STATUS_IRD_TOO_BIG = 0x50052;
inline constexpr ZekStatus IWARP_STATUS_QUEUE_TOO_BIG = 0x50053;
inline constexpr ZekStatus IWARP_STATUS_TOO_MANY_SGES = 0x50054;
