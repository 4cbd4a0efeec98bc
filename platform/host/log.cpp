#include "platform/host/log.h"

#include <sys/stat.h>

#include <cstdarg>
#include <ctime>

#include "platform/kernel/fault.h"

namespace plat::host {

Log::Log(const std::string& path, std::size_t max_bytes) : path_(path), max_bytes_(max_bytes) {
  std::lock_guard lock(mu_);
  open();
}

Log::~Log() {
  std::lock_guard lock(mu_);
  if (file_ == nullptr) return;
  set_fault_log(-1);
  std::fclose(file_);
}

void Log::open() {
  file_ = std::fopen(path_.c_str(), "ae");
  size_ = 0;
  if (file_ == nullptr) return;
  setvbuf(file_, nullptr, _IOLBF, 0);
  struct stat status {};
  if (fstat(fileno(file_), &status) == 0) size_ = static_cast<std::size_t>(status.st_size);
  set_fault_log(fileno(file_));
}

void Log::write(std::string_view text) {
  if (file_ == nullptr) return;
  if (size_ + text.size() > max_bytes_ && size_ != 0) {
    set_fault_log(-1);
    std::fclose(file_);
    std::rename(path_.c_str(), (path_ + ".1").c_str());
    open();
    if (file_ == nullptr) return;
  }
  std::fwrite(text.data(), 1, text.size(), file_);
  size_ += text.size();
}

void Log::line(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::time_t now = std::time(nullptr);
  char stamp[32];
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &utc);
  std::string whole = std::string(stamp) + " zekhost: " + text + "\n";
  std::lock_guard lock(mu_);
  write(whole);
}

void Log::raw(std::string_view text) {
  std::lock_guard lock(mu_);
  write(text);
}

}  // namespace plat::host
