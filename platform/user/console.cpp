// Console control handlers and message boxes.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/user/runtime.h"

namespace plat::user {
namespace {

std::mutex& console_mu() {
  static auto* mu = new std::mutex;
  return *mu;
}

struct Handlers {
  std::vector<PHANDLER_ROUTINE> list;  // newest last
  bool ignore_ctrl_c = false;
  int pipe[2] = {-1, -1};
};

Handlers& handlers() {
  static auto* h = new Handlers;
  return *h;
}

void on_signal(int number) {
  const char event = number == SIGQUIT ? static_cast<char>(CTRL_BREAK_EVENT) : static_cast<char>(CTRL_C_EVENT);
  // Only a write here: the handlers run on a thread of their own, as on Windows.
  const ssize_t ignored = ::write(handlers().pipe[1], &event, 1);
  (void)ignored;
}

// Runs the handlers, newest first, for every control event; when none
// takes the event, the process ends as Windows ends it.
void dispatch() {
  for (;;) {
    char event = 0;
    if (::read(handlers().pipe[0], &event, 1) != 1) continue;
    std::vector<PHANDLER_ROUTINE> list;
    bool ignore = false;
    {
      std::lock_guard lock(console_mu());
      list = handlers().list;
      ignore = handlers().ignore_ctrl_c && event == CTRL_C_EVENT;
    }
    if (ignore) continue;
    bool handled = false;
    for (auto it = list.rbegin(); it != list.rend() && !handled; ++it)
      handled = (*it)(static_cast<DWORD>(event)) != FALSE;
    if (!handled) std::_Exit(static_cast<int>(0xC000013A & 0xFF));  // STATUS_CONTROL_C_EXIT
  }
}

void install_once() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (::pipe(handlers().pipe) != 0) return;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGQUIT, &action, nullptr);
    std::thread(dispatch).detach();
  });
}

}  // namespace
}  // namespace plat::user

using namespace plat::user;

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
  install_once();
  std::lock_guard lock(console_mu());
  auto& h = handlers();
  if (HandlerRoutine == nullptr) {
    h.ignore_ctrl_c = Add != FALSE;
    return TRUE;
  }
  if (Add) {
    h.list.push_back(HandlerRoutine);
    return TRUE;
  }
  for (auto it = h.list.rbegin(); it != h.list.rend(); ++it) {
    if (*it == HandlerRoutine) {
      h.list.erase(std::next(it).base());
      return TRUE;
    }
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

int MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT) {
  // No one sits at a desktop here: the box is a line on standard error.
  std::fprintf(stderr, "[%s] %s\n", lpCaption != nullptr ? lpCaption : "Error", lpText != nullptr ? lpText : "");
  return IDOK;
}
