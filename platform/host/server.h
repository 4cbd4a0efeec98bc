// The host's kernel socket: one connection per user process.
//
// No host thread ever waits on a process. Each connection's reader thread
// polls the socket: it reads the process's messages (answering upcall
// replies itself and handing requests to the connection's worker threads,
// which call into the I/O manager in the caller's context) and sends what
// the socket had no room for. Replies, completions and upcalls are sent
// without waiting; what does not fit is queued per connection, in order,
// up to kMaxQueuedBytes, past which the process is taken as not reading
// and disconnected. An upcall the process does not answer within
// kUpcallDeadline fails and disconnects the process. Ending a connection
// cleans up as for a process that died: its pended requests are cancelled
// and its files cleaned up and closed.
//
// What one process may hold is bounded (the limits below): a request that
// would pass a limit fails with STATUS_INSUFFICIENT_RESOURCES, and a worker
// thread the system will not give fails only the request that needed it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/log.h"
#include "platform/kernel/io/iomgr.h"

namespace plat::host {

// Worker threads of one connection: requests that block in a driver each
// hold one; more requests than this wait for one of them.
inline constexpr std::size_t kMaxWorkers = 64;
// Messages (and their bytes) queued for a process that does not read.
inline constexpr std::size_t kMaxQueuedMessages = 4096;
inline constexpr std::size_t kMaxQueuedBytes = 4u << 20;
// How long a process has to answer a mapping upcall.
inline constexpr std::chrono::seconds kUpcallDeadline{10};
// Buffered control requests in progress in one process: the sum of their
// system buffers (the larger of input and output length, as the I/O
// manager allocates them) may take this share of the host's memory
// (a quarter: 64 MiB of the default 256 MB).
inline constexpr std::uint64_t kBufferedShareOfMemory = 4;
// Files one process may hold open.
inline constexpr std::size_t kMaxFilesPerProcess = 4096;
// Connections one process may hold at once.
inline constexpr std::size_t kMaxConnectionsPerProcess = 4;

class Connection final : public ProcessLink, public std::enable_shared_from_this<Connection> {
 public:
  Connection(int fd, pid_t pid, IoManager& io, Log& log);
  ~Connection() override;

  // Serves the connection until the process goes or stop() is called.
  void run();
  void stop();
  pid_t pid() const { return pid_; }

  void send_pending(std::uint64_t request, NTSTATUS returned) override;
  void send_complete(std::uint64_t request, NTSTATUS status, std::uint64_t information, bool pending_returned) override;
  std::uint64_t map_memory(int segment_fd, std::size_t pages) override;
  std::uint64_t map_registers(std::size_t pages, int ring_fd, std::uint64_t ring_offset, std::uint64_t ring_bytes,
                              int wake_fd) override;
  bool unmap(std::uint64_t address, std::size_t pages) override;

 private:
  struct Outgoing {
    proto::Type type;
    std::vector<char> body;
    std::vector<int> fds;  // duplicates, owned
  };

  bool send(proto::Type type, const void* body, std::size_t size, std::span<const int> fds = {});
  void flush();  // what the socket now has room for
  void disconnect(const char* why);
  std::uint64_t upcall(proto::Type type, const void* body, std::size_t size, std::span<const int> fds,
                       NTSTATUS* status);
  bool submit(std::function<void()> work);
  void worker();
  void handle(proto::Type type, const char* body, std::size_t size);
  void ioctl(const proto::Ioctl& request);

  const int fd_;
  const pid_t pid_;
  IoManager& io_;
  Log& log_;
  std::shared_ptr<UserProcess> process_;
  int wake_ = -1;  // eventfd: the reader has something to send

  std::mutex send_mu_;
  std::deque<Outgoing> outbox_;
  std::size_t outbox_bytes_ = 0;
  bool gone_ = false;  // the socket failed or the process was disconnected

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
  std::map<std::uint64_t, std::uint64_t> buffered_;  // request -> system buffer bytes
  std::uint64_t buffered_bytes_ = 0;
  std::set<std::uint64_t> files_;  // open in the host
  std::size_t opening_ = 0;        // opens in progress
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

}  // namespace plat::host
