#include "sim/log.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace zeksim {

void Log::operator()(const char* format, ...) const {
  char buffer[512];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return;
  std::string line = "zeksim: ";
  line.append(buffer, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1));
  line.push_back('\n');
  std::lock_guard lock(mu_);
  if (sink_) {
    sink_(line);
  } else {
    std::fputs(line.c_str(), stderr);
  }
}

}  // namespace zeksim
