// The host's kernel socket: one connection per user process. Each
// connection's reader thread answers the upcall replies itself and hands
// requests to the connection's worker threads (as many as requests run at
// once), which call into the I/O manager in the caller's context.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/io/iomgr.h"

namespace plat::host {

class Log;

class Connection final : public ProcessLink, public std::enable_shared_from_this<Connection> {
 public:
  Connection(int fd, pid_t pid, IoManager& io, Log& log);
  ~Connection() override;

  // Serves the connection until the process goes or stop() is called.
  void run();
  void stop();

  void send_pending(std::uint64_t request, NTSTATUS returned) override;
  void send_complete(std::uint64_t request, NTSTATUS status, std::uint64_t information, bool pending_returned) override;
  std::uint64_t map_memory(int segment_fd, std::size_t pages) override;
  std::uint64_t map_registers(std::size_t pages, int ring_fd, std::uint64_t ring_offset, std::uint64_t ring_bytes,
                              int wake_fd) override;
  bool unmap(std::uint64_t address, std::size_t pages) override;

 private:
  bool send(proto::Type type, const void* body, std::size_t size, std::span<const int> fds = {});
  std::uint64_t upcall(proto::Type type, const void* body, std::size_t size, std::span<const int> fds,
                       NTSTATUS* status);
  void submit(std::function<void()> work);
  void worker();
  void handle(proto::Type type, const char* body, std::size_t size);

  const int fd_;
  const pid_t pid_;
  IoManager& io_;
  Log& log_;
  std::shared_ptr<UserProcess> process_;
  std::mutex send_mu_;

  std::mutex mu_;
  std::condition_variable cv_;       // upcall replies
  std::condition_variable work_cv_;  // work for the workers
  std::deque<std::function<void()>> work_;
  std::size_t busy_ = 0;
  std::size_t workers_ = 0;
  bool closing_ = false;
  std::vector<std::thread> threads_;
  std::uint64_t next_upcall_ = 0;
  std::map<std::uint64_t, std::pair<bool, proto::UpcallReply>> upcalls_;
};

class Server {
 public:
  Server(IoManager& io, Log& log) : io_(io), log_(log) {}
  ~Server();
  // Listens on path; false with errno when it cannot.
  bool listen(const std::string& path);
  // Stops accepting and ends every connection (their processes are treated as gone).
  void stop();
  std::size_t connections() const;

 private:
  void accept_loop();

  IoManager& io_;
  Log& log_;
  int listen_fd_ = -1;
  std::string path_;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  mutable std::mutex mu_;
  std::map<Connection*, std::pair<std::shared_ptr<Connection>, std::thread>> connections_;
  std::vector<std::thread> finished_;
};

// The host log: the host's own lines and the kernel's debug output.
class Log {
 public:
  explicit Log(const std::string& path);
  ~Log();
  void line(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void raw(std::string_view text);

 private:
  std::mutex mu_;
  FILE* file_ = nullptr;
};

}  // namespace plat::host
