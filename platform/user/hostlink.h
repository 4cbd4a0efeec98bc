// The process's connection to its host (platform/common/hostproto.h): made
// on the first CreateFile, served by one thread that receives replies,
// completions and upcalls. A synchronous control request goes instead on a
// direct connection that the calling thread holds while it waits, and the
// thread reads its completion itself: no other thread of the process is
// woken for it, and threads do not queue behind one another. Private to the
// runtime's files.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/common/hostproto.h"
#include "platform/user/runtime.h"

namespace plat::user {

// How long connecting to the host and its answer to the hello may take: a
// host too busy to accept (or one that never answers) fails the open
// instead of hanging it.
inline constexpr int kHelloTimeoutSeconds = 10;
// Direct connections a process keeps for its threads' synchronous requests
// (the host's bound); a thread that finds none free uses the main connection.
inline constexpr std::size_t kMaxDirectLinks = 32;

// A request in flight. Guarded by wait_mutex. A caller that waits for its
// own request (open, cancel, close, a control request on a synchronous
// handle) waits on `done`, which wakes that thread alone; overlapped
// requests signal through the objects every waiter looks at.
struct Inflight {
  std::condition_variable done;
  bool replied = false;  // open, cancel, close
  NTSTATUS status = STATUS_SUCCESS;
  std::uint64_t value = 0;
  // Control requests.
  bool ioctl = false;
  std::shared_ptr<File> file;
  LPOVERLAPPED overlapped = nullptr;
  bool completed = false;
  bool pending_returned = false;
  std::uint64_t information = 0;
  bool dispatched = false;  // overlapped: the dispatch routine returned
  NTSTATUS returned = STATUS_SUCCESS;
};

class HostLink {
 public:
  // The connection to the host that ZEK_HOST names, made when there is
  // none (or the last one broke, or ZEK_HOST changed); null when no host answers.
  static std::shared_ptr<HostLink> acquire();
  ~HostLink();

  NTSTATUS open(std::string_view name, DWORD access, DWORD share, bool overlapped, std::uint64_t* file);
  NTSTATUS cancel(std::uint64_t file);
  NTSTATUS close(std::uint64_t file);
  // Registers and sends a control request; the caller waits on it (wait_mutex).
  std::shared_ptr<Inflight> start_ioctl(const std::shared_ptr<File>& file, DWORD code, LPVOID input, DWORD input_length,
                                        LPVOID output, DWORD output_length, LPOVERLAPPED overlapped);
  // A synchronous control request on a direct connection, the calling
  // thread reading its completion. False when no direct connection can be
  // had (the caller uses start_ioctl); *status is then untouched.
  bool direct_ioctl(const std::shared_ptr<File>& file, DWORD code, LPVOID input, DWORD input_length, LPVOID output,
                    DWORD output_length, NTSTATUS* status, std::uint64_t* information);
  // Broken, or inherited: a child forked after the connection was made
  // does not use its parent's connection (its requests would be the
  // parent's); its own first open connects anew.
  bool broken() const { return broken_.load() || foreign(); }
  bool foreign() const;

 private:
  HostLink() = default;
  // Connects and greets: the socket, or -1.
  int dial(bool direct);
  bool connect();
  int take_direct();  // a free direct connection, or -1
  bool send(proto::Type type, const void* body, std::size_t size, int fd = -1);
  NTSTATUS call(proto::Type type, void* body, std::size_t size, std::uint64_t* request_field, std::uint64_t* value);
  void reader();
  void serve_upcall(proto::Type type, const char* body, std::size_t size, std::vector<int> fds);
  void fail_all();  // under wait_mutex

  std::string dir_;
  int fd_ = -1;
  pid_t host_pid_ = 0;
  pid_t owner_ = 0;  // the process that connected
  std::mutex send_mu_;
  std::atomic<bool> broken_{false};
  std::atomic<std::uint64_t> next_request_{0};
  std::map<std::uint64_t, std::shared_ptr<Inflight>> inflight_;  // under wait_mutex
  std::thread reader_;
  std::mutex direct_mu_;
  std::vector<int> idle_direct_;  // free direct connections
  std::size_t direct_count_ = 0;
  bool direct_refused_ = false;  // the host refused one: use the main connection
};

}  // namespace plat::user
