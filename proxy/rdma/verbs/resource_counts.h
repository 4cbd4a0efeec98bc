// The resource counts of an attached adapter, for the management review
// request: what its local resource manager holds and uses, what the
// adapter's resource numbering has and lends, and the region table
// manager's page-list chunks. The layout of the two sets is
// ZekReviewRequest's (include/zek/mgmt.h).
#pragma once

#include <cstdint>

#include "include/zek/status.h"

// `adapterKey` is the adapter's local resource manager (the LaRMiT of the
// attached function). 0, or 1 when no attached adapter has that manager
// ("Failed to get adapter base object"), or the failing query's status. The
// region table manager's counts go into words 6, 7, 14 and 15 of `second`,
// leaving the resource counts in words 0-5 and 8-13 as the numbering wrote
// them. Both sets are 16 words; null sets answer 2.
extern "C" ZekStatus zek_get_resource_counts(void* adapterKey, std::uint32_t* first, std::uint32_t* second);
