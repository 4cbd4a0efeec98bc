// The host's kernel socket: a process's connections.
//
// A process has one main connection (its opens, closes, cancels, overlapped
// requests, upcalls) and may add direct connections, one per thread that
// makes synchronous control requests, on which that thread alone sends a
// request and reads its completion (no hand-off through a reader thread of
// the process, and one thread's requests never wait behind another's).
//
// A request is served on the thread that read it from the socket. When the
// request has to wait (the kernel's dispatcher is about to put the thread
// to sleep, or the host waits for an upcall's answer), the thread hands the
// socket to a standby thread of the connection first, so that the
// connection keeps being read; it becomes a standby itself once its
// request returns. A request that returns without waiting costs no thread
// switch in the host.
//
// No host thread ever waits on a process. Replies, completions and upcalls
// are sent without waiting; what does not fit is queued per connection, in
// order, up to kMaxQueuedBytes, past which the process is taken as not
// reading and disconnected; the thread that reads the connection sends the
// queue as the socket drains. An upcall the process does not answer within
// kUpcallDeadline fails and disconnects the process. The end of the main
// connection cleans up as for a process that died: its pended requests are
// cancelled and its files cleaned up and closed.
//
// What one process may hold is bounded (the limits below): a request that
// would pass a limit fails with STATUS_INSUFFICIENT_RESOURCES, and a thread
// the system will not give fails only the request that needed it.
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

// Threads of one main connection: requests that block in a driver each
// hold one; more requests than this wait for one of them to return.
inline constexpr std::size_t kMaxWorkers = 64;
// A direct connection carries one thread's synchronous requests, one at a
// time: one of them may block while the connection is still read.
inline constexpr std::size_t kMaxDirectWorkers = 1;
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
// Main connections one process may hold at once.
inline constexpr std::size_t kMaxConnectionsPerProcess = 4;
// Direct connections one process may hold at once (a process with more
// threads shares them, or uses its main connection).
inline constexpr std::size_t kMaxDirectConnectionsPerProcess = 32;

class Server;

class Connection final : public ProcessLink, public std::enable_shared_from_this<Connection> {
 public:
  Connection(int fd, pid_t pid, IoManager& io, Log& log, Server& server);
  ~Connection() override;

  // Serves the connection until the process goes or stop() is called, then
  // cleans up (the main connection's end detaches the process).
  void run();
  void stop();
  pid_t pid() const { return pid_; }
  enum class Kind { Unknown, Main, Direct };
  Kind kind() const { return kind_.load(); }

  void send_pending(std::uint64_t request, NTSTATUS returned) override;
  void send_complete(std::uint64_t request, NTSTATUS status, std::uint64_t information, bool pending_returned) override;
  void send_complete_inline(std::uint64_t request, NTSTATUS status, std::span<const std::byte> output,
                            bool pending_returned) override;
  std::uint64_t map_memory(int segment_fd, std::size_t pages) override;
  std::uint64_t map_registers(std::size_t pages, int ring_fd, std::uint64_t ring_offset, std::uint64_t ring_bytes,
                              int wake_fd) override;
  bool unmap(std::uint64_t address, std::size_t pages) override;

 private:
  friend class Server;
  struct Outgoing {
    proto::Type type;
    std::vector<char> body;
    std::vector<int> fds;  // duplicates, owned
  };
  // The reader's turn, as the thread that serves a request holds it.
  struct Turn {
    Connection* connection;
    bool handed = false;  // given to another thread while the request waits
  };

  bool send(proto::Type type, const void* body, std::size_t size, std::span<const int> fds = {});
  void flush();  // what the socket now has room for
  void disconnect(const char* why);
  std::uint64_t upcall(proto::Type type, const void* body, std::size_t size, std::span<const int> fds,
                       NTSTATUS* status);
  // Serving: each serving thread takes the reader's turn, reads one
  // message and serves it, and keeps the turn unless it handed it on.
  void serve(std::vector<char>& buffer);
  bool read_and_serve(std::vector<char>& buffer, Turn& turn);  // false: the connection has ended
  bool greet(const proto::MessageHeader& header, const char* body, std::size_t size);
  static void on_block(void* turn);
  void helper();
  void end();  // by the thread that saw the end
  // Runs a request here, or queues it while every thread allowed is blocked.
  bool start(std::function<void()> work);
  std::size_t max_blocked() const { return kind() == Kind::Direct ? kMaxDirectWorkers : kMaxWorkers; }
  void handle(proto::Type type, const char* body, std::size_t size);
  void ioctl(const proto::Ioctl& request, std::span<const std::byte> inline_input);
  void release_buffered(std::uint64_t request);
  // The connection that keeps the process's bounds: the main one.
  Connection& quota() { return main_ ? *main_ : *this; }

  const int fd_;
  const pid_t pid_;
  IoManager& io_;
  Log& log_;
  Server& server_;
  std::atomic<Kind> kind_{Kind::Unknown};
  std::shared_ptr<UserProcess> process_;
  std::shared_ptr<Connection> main_;         // a direct connection: its process's main one
  std::shared_ptr<ProcessLink> reply_link_;  // a direct connection: itself
  int wake_ = -1;                            // eventfd: the reader has something to send

  std::mutex send_mu_;
  std::deque<Outgoing> outbox_;
  std::size_t outbox_bytes_ = 0;
  bool gone_ = false;  // the socket failed or the process was disconnected

  std::mutex mu_;
  std::condition_variable cv_;                  // upcall replies
  std::condition_variable turn_cv_;             // standby threads wait for the reader's turn
  std::condition_variable done_cv_;             // the end's cleanup is over
  bool reading_ = false;                        // a thread has the reader's turn
  std::size_t standby_ = 0;                     // threads waiting for the turn
  std::size_t blocked_ = 0;                     // threads in a request that waits (or in a queued one)
  std::size_t threads_ = 1;                     // serving threads, run()'s included
  std::deque<std::function<void()>> deferred_;  // requests waiting for a thread
  bool ended_ = false;
  bool cleaned_ = false;
  bool closing_ = false;
  std::vector<std::thread> helpers_;
  std::uint64_t next_upcall_ = 0;
  std::map<std::uint64_t, std::pair<bool, proto::UpcallReply>> upcalls_;
  std::mutex quota_mu_;
  std::map<std::uint64_t, std::uint64_t> buffered_;  // this connection's: request -> system buffer bytes
  std::atomic<std::uint64_t> buffered_bytes_{0};     // the main connection's: the process's sum
  std::set<std::uint64_t> files_;                    // open in the host
  std::size_t opening_ = 0;                          // opens in progress
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
  friend class Connection;
  // Admits a greeted connection as main or direct within the process's
  // bounds; a direct one gets its process's main connection.
  bool admit(Connection& connection, Connection::Kind kind, std::shared_ptr<Connection>* main);
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
