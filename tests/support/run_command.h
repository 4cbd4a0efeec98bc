// Runs a command through the shell (/bin/sh -c) and waits for it: its exit
// code and its standard output, whole. Standard error goes where the
// command sends it (add " 2>&1" to read it too).
#pragma once

#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace zektest {

struct CommandResult {
  // The exit code; 128 + the signal's number when a signal ended it; -1
  // when the command could not be started.
  int code = -1;
  // Its standard output; when it could not be started, why.
  std::string output;
};

inline CommandResult run_command(const std::string& command) {
  CommandResult r;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    r.output = "cannot start `" + command + "`: " + std::strerror(errno);
    return r;
  }
  char buffer[4096];
  while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) r.output.append(buffer, n);
  const int status = pclose(pipe);
  if (status == -1) {
    r.output += "\ncannot wait for `" + command + "`: " + std::strerror(errno);
  } else if (WIFEXITED(status)) {
    r.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    r.code = 128 + WTERMSIG(status);
  }
  return r;
}

}  // namespace zektest
