// The query-STag control request: asks the adapter whether an STag index
// names a memory region or window, and with which key. The answer comes in
// the request's completion context: major code 0xFFFF when the index names
// nothing; otherwise minor code 0 when the entry is valid (1 when it is
// not) and the key in the extra byte (the CCQ processing splits the codes
// of this request so, ccq.h).
#pragma once

#include <cstdint>

#include "include/zek/mifh.h"

// STag indexes are 24 bits: the STag is index << 8 | key.
inline constexpr std::uint32_t MIFH_MAX_STAG_INDEX = 0xFFFFFF;

// MIFH_STATUS_SUCCESS when on the control ring or held on its pending queue
// (a queueing request); MIFH_STATUS_FAIL for a bad device, a device without
// a CQP, or an index above MIFH_MAX_STAG_INDEX (the request is not built:
// its upper bits would name another entry); MIFH_STATUS_NO_MEMORY when no
// pending buffer can be had.
ZekStatus mifh_query_stag(MifhDeviceObj* device, std::uint32_t stag_index, MifhCqpCompletionContext* context);
