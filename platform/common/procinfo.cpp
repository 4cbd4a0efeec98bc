#include "platform/common/procinfo.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace plat {

std::uint64_t process_start_time(pid_t pid) {
  if (pid <= 0) return 0;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE* file = std::fopen(path, "re");
  if (file == nullptr) return 0;
  char buffer[1024];
  const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, file);
  std::fclose(file);
  buffer[n] = '\0';
  // The command may hold blanks and parentheses: the fields start after the last ')'.
  const char* p = std::strrchr(buffer, ')');
  if (p == nullptr) return 0;
  // p + 2 is field 3 (the state); the start time is field 22.
  if (p[1] == '\0' || p[2] == 'Z' || p[2] == 'X') return 0;  // a zombie has ended
  int field = 2;
  for (; *p != '\0' && field < 22; ++p) {
    if (*p == ' ') ++field;
  }
  return std::strtoull(p, nullptr, 10);
}

}  // namespace plat
