// The host's log, host.log in the host directory.
#pragma once

#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace plat::host {

// The host log: the host's own lines and the kernel's debug output. When it
// passes kMaxLogBytes it is renamed to host.log.1 (replacing an older one)
// and a new host.log begins. A kernel fault, which stops the host, is
// written to it as well as to standard error.
inline constexpr std::size_t kMaxLogBytes = 8u << 20;

class Log {
 public:
  explicit Log(const std::string& path, std::size_t max_bytes = kMaxLogBytes);
  ~Log();
  void line(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void raw(std::string_view text);

 private:
  void write(std::string_view text);  // under mu_
  void open();                        // under mu_

  const std::string path_;
  const std::size_t max_bytes_;
  std::mutex mu_;
  FILE* file_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace plat::host
