// What Linux says about another process.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace plat {

// The process's start time (clock ticks since boot), 0 when there is no
// such process. A pid with the start time seen earlier is the same process.
std::uint64_t process_start_time(pid_t pid);

}  // namespace plat
