// A second user process for the in-process driver tests: a forked child of
// the test (optionally no longer the administrator) that only waits, attached
// to the I/O manager as a process of its own. Its requests are read from its
// memory, which is the test's memory as it was at the fork: records must be
// written before the child is made.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include "tests/proxy/core/proxy_fixture.h"

class SecondProcess {
 public:
  // `unprivileged`: the child gives up the administrator's uid (nobody).
  bool start(plat::IoManager& io, bool unprivileged) {
    io_ = &io;
    int ready[2];
    if (pipe(ready) != 0) return false;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      if (unprivileged && setuid(65534) != 0) _exit(1);
      const char byte = 1;
      if (write(ready[1], &byte, 1) != 1) _exit(1);
      for (;;) pause();
    }
    // The child is what it is to be before its first request.
    char byte = 0;
    const bool started = read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    close(ready[1]);
    if (!started) return false;
    link_ = std::make_shared<FakeLink>();
    process_ = io.attach_process(pid_, link_);
    return process_ != nullptr && io.user_open(caller(), "zekproxy", 0, 0, true, &file_) == STATUS_SUCCESS;
  }
  ~SecondProcess() {
    if (process_) io_->detach_process(*process_);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  plat::Caller caller() const { return plat::Caller{process_, pid_}; }
  std::uint64_t send(std::uint64_t id, ULONG code, void* record, ULONG in, ULONG out) {
    return send_user_ioctl(*io_, caller(), id, file_, code, record, in, record, out);
  }
  bool pending(std::uint64_t id) { return link_->dispatched(id) == STATUS_PENDING && !link_->completed(id); }
  NTSTATUS status(std::uint64_t id) {
    auto c = link_->completion(id);
    return c ? c->status : STATUS_PENDING;
  }

 private:
  plat::IoManager* io_ = nullptr;
  pid_t pid_ = -1;
  std::shared_ptr<FakeLink> link_;
  std::shared_ptr<plat::UserProcess> process_;
  std::uint64_t file_ = 0;
};
