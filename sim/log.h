// The adapter's own log: one line per fault or notable event, to the sink
// given in the board configuration (standard error by default). The board's
// threads log concurrently; lines reach the sink one at a time.
#pragma once

#include <functional>
#include <mutex>
#include <string_view>

namespace zeksim {

class Log {
 public:
  explicit Log(std::function<void(std::string_view)> sink) : sink_(std::move(sink)) {}
  void operator()(const char* format, ...) const __attribute__((format(printf, 2, 3)));

 private:
  std::function<void(std::string_view)> sink_;
  mutable std::mutex mu_;
};

}  // namespace zeksim
