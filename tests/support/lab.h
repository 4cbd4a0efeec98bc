// The processes of a lab test: zekhost serving a directory of its own, and
// the programs that talk to it. Every process is a child of the test that
// dies with it; every wait is bounded in real time.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace zeklab {

// The whole text of a file; "" when it cannot be read.
inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Waits until `condition` holds, looking every `poll_ms`; false when it still
// does not hold after `milliseconds`.
template <typename F>
bool eventually(F condition, int milliseconds = 10000, int poll_ms = 5) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
  }
  return condition();
}

// A new, empty directory PREFIX-XXXXXX in $TMPDIR (ctest points it into the
// build tree, so a test that was killed leaves nothing in /tmp), else in
// /tmp; an empty path when none could be made.
inline std::filesystem::path make_temp_dir(const std::string& prefix) {
  const char* tmp = getenv("TMPDIR");
  const std::filesystem::path parent = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  std::error_code ec;
  std::filesystem::create_directories(parent, ec);  // gone with a reboot's clean-up of /tmp
  std::string pattern = (parent / (prefix + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

// Starts the program args[0] with the arguments that follow. With `host`,
// ZEK_HOST names that host directory for it; with `out`, its standard output
// goes to that file.
inline pid_t spawn(std::vector<std::string> args, const std::filesystem::path& host = {},
                   const std::filesystem::path& out = {}) {
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // nothing outlives a test that died
    if (!host.empty()) setenv("ZEK_HOST", host.c_str(), 1);
    if (!out.empty()) {
      const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, STDOUT_FILENO);
      ::close(fd);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Waits for the child to end; its exit code, or 128 + the signal that ended it.
inline int exit_code(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Asks the child to stop (SIGTERM); its exit code.
inline int terminate(pid_t pid) {
  kill(pid, SIGTERM);
  return exit_code(pid);
}

// Kills the child, if there is one, and waits for it (a test's clean-up).
inline void kill_child(pid_t& pid) {
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  pid = -1;
}

// Whether the host serving `dir` has said in its log that it is ready.
inline bool host_ready(const std::filesystem::path& dir) {
  return read_file(dir / "host.log").find("ready") != std::string::npos;
}

#ifdef ZEK_HOST_BINARY
// zekhost serving `dir`, with whatever configuration the directory holds.
inline pid_t spawn_host(const std::filesystem::path& dir) { return spawn({ZEK_HOST_BINARY, "--dir", dir.string()}); }
#endif

}  // namespace zeklab
