// Status values of the hardware-interface module: small numbers, 0 success.
#pragma once

#include "include/zek/status.h"

inline constexpr ZekStatus MIFH_STATUS_SUCCESS = 0;
inline constexpr ZekStatus MIFH_STATUS_FAIL = 1;               // the adapter did not acknowledge in time; bad argument
inline constexpr ZekStatus MIFH_STATUS_NO_WQE = 3;             // no control-queue slot
inline constexpr ZekStatus MIFH_STATUS_NO_MEMORY = 4;          // a pool of queue memory is empty
inline constexpr ZekStatus MIFH_STATUS_NO_OBJECT = 5;          // a pool of objects is empty
inline constexpr ZekStatus MIFH_STATUS_INVALID_COUNT = 6;      // an element count outside its range
inline constexpr ZekStatus MIFH_STATUS_INVALID_ID = 7;         // a queue id outside its range
inline constexpr ZekStatus MIFH_STATUS_VIRTUAL = 8;            // a virtually mapped queue where none is supported
inline constexpr ZekStatus MIFH_STATUS_INVALID_WQE_COUNT = 9;  // a control ring size other than 4, 32, 128, 512
inline constexpr ZekStatus MIFH_STATUS_CQ_INIT_INVALID_COUNT = 0x50054;
inline constexpr ZekStatus MIFH_STATUS_EFB = 10;               // an EFB count other than 0 (NIC) or 0, 1, 2, 4
inline constexpr ZekStatus MIFH_STATUS_INVALID_PD = 13;        // a protection-domain id above 0x7FFF
