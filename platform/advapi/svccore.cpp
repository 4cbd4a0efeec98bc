#include "platform/advapi/svccore.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/common/lxsock.h"
#include "platform/common/procinfo.h"
#include "platform/common/sharedfile.h"
#include "platform/common/text.h"
#include "platform/common/win32error.h"

extern char** environ;

namespace plat::scm {
namespace {

using Clock = std::chrono::steady_clock;

std::u16string key_of(std::u16string_view name) { return std::u16string(kServicesKey) + u"\\" + std::u16string(name); }

std::optional<std::uint32_t> dword_of(const std::optional<RegistryStore::Value>& value) {
  if (!value || value->type != REG_DWORD || value->data.size() != 4) return std::nullopt;
  std::uint32_t v;
  std::memcpy(&v, value->data.data(), 4);
  return v;
}

std::u16string text_of(const std::optional<RegistryStore::Value>& value) {
  if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return {};
  std::u16string text(value->data.size() / 2, u'\0');
  std::memcpy(text.data(), value->data.data(), text.size() * 2);
  if (auto end = text.find(u'\0'); end != std::u16string::npos) text.resize(end);
  return text;
}

RegistryStore::Value dword_value(std::uint32_t v) {
  RegistryStore::Value value{REG_DWORD, std::vector<std::byte>(4)};
  std::memcpy(value.data.data(), &v, 4);
  return value;
}

RegistryStore::Value text_value(ULONG type, std::u16string_view text) {
  RegistryStore::Value value{type, std::vector<std::byte>((text.size() + 1) * 2)};
  std::memcpy(value.data.data(), text.data(), text.size() * 2);
  return value;
}

// The service's files and socket are named by its folded name.
std::string stem_of(std::u16string_view name) { return to_utf8(fold_case(name)); }

std::string services_dir(const std::string& host_dir) { return host_dir + "/services"; }

std::string status_file(const std::string& host_dir, std::u16string_view name) {
  return services_dir(host_dir) + "/" + stem_of(name) + ".status";
}

std::string canonical(const std::string& dir) {
  char path[PATH_MAX];
  return ::realpath(dir.c_str(), path) != nullptr ? std::string(path) : dir;
}

// Whether the service runs: its process lives and has not reported itself stopped.
bool running(const std::string& host_dir, std::u16string_view name, pid_t* pid_out = nullptr) {
  pid_t pid = 0;
  const Status status = current_status(host_dir, name, &pid);
  if (pid_out != nullptr) *pid_out = pid;
  return pid > 0 && status.state != kStopped;
}

// The first word of an image path (quoted or not) is the program; the rest
// are its arguments.
std::vector<std::string> command_of(const std::string& image) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < image.size()) {
    while (i < image.size() && image[i] == ' ') ++i;
    if (i >= image.size()) break;
    std::string word;
    if (image[i] == '"') {
      const auto close = image.find('"', i + 1);
      word = image.substr(i + 1, close == std::string::npos ? std::string::npos : close - i - 1);
      i = close == std::string::npos ? image.size() : close + 1;
    } else {
      const auto space = image.find(' ', i);
      word = image.substr(i, space == std::string::npos ? std::string::npos : space - i);
      i = space == std::string::npos ? image.size() : space;
    }
    words.push_back(word);
  }
  return words;
}

// A lock file held for the time a service is started: two starts at once
// spawn one program.
class StartLock {
 public:
  StartLock(const std::string& path, Clock::time_point deadline) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return;
    while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      if (Clock::now() >= deadline) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    held_ = true;
  }
  ~StartLock() {
    if (held_) flock(fd_, LOCK_UN);
    if (fd_ >= 0) ::close(fd_);
  }
  bool held() const { return held_; }

 private:
  int fd_ = -1;
  bool held_ = false;
};

// Starts `argv` with `env` as a process of its own (not a child of this
// one: it outlives whoever started it) with its output in `log`. Its pid,
// or -1.
pid_t spawn_detached(const std::vector<std::string>& args, const std::vector<std::string>& env,
                     const std::string& log) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const int log_fd = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  int report[2];
  if (log_fd < 0 || null_fd < 0 || ::pipe2(report, O_CLOEXEC) != 0) {
    if (log_fd >= 0) ::close(log_fd);
    if (null_fd >= 0) ::close(null_fd);
    return -1;
  }
  const pid_t middle = ::fork();
  if (middle == 0) {
    // Only async-signal-safe calls from here on.
    ::setsid();
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    const pid_t service = ::fork();
    if (service == 0) {
      struct sigaction action {};
      action.sa_handler = SIG_DFL;
      for (int s = 1; s < NSIG; ++s) ::sigaction(s, &action, nullptr);
      ::dup2(null_fd, 0);
      ::dup2(log_fd, 1);
      ::dup2(log_fd, 2);
      ::execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    const ssize_t ignored = ::write(report[1], &service, sizeof service);
    (void)ignored;
    _exit(0);
  }
  ::close(report[1]);
  ::close(log_fd);
  ::close(null_fd);
  pid_t service = -1;
  if (middle > 0) {
    while (::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (::read(report[0], &service, sizeof service) != sizeof service) service = -1;
  }
  ::close(report[0]);
  return service;
}

// Waits until `pid` has ended, at most until `deadline`. True when it has.
bool wait_exit(pid_t pid, std::uint64_t start_time, Clock::time_point deadline) {
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  for (;;) {
    if (process_start_time(pid) != start_time) {
      if (fd >= 0) ::close(fd);
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    if (fd >= 0) {
      pollfd p{fd, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 100)));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  if (fd >= 0) ::close(fd);
  return process_start_time(pid) != start_time;
}

struct StatusRecord {
  pid_t pid = 0;
  std::uint64_t start_time = 0;
  Status status;
};

std::optional<StatusRecord> read_record(const std::string& host_dir, std::u16string_view name) {
  std::string text;
  if (!read_whole_file(status_file(host_dir, name), &text) || text.empty()) return std::nullopt;
  StatusRecord r;
  long long pid = 0;
  unsigned long long start = 0;
  Status& s = r.status;
  if (std::sscanf(text.c_str(),
                  "pid %lld start %llu type %u state %u accepted %u exit %u specific %u checkpoint %u hint %u", &pid,
                  &start, &s.type, &s.state, &s.accepted, &s.win32_exit, &s.specific_exit, &s.checkpoint,
                  &s.wait_hint) != 9) {
    return std::nullopt;
  }
  r.pid = static_cast<pid_t>(pid);
  r.start_time = start;
  return r;
}

}  // namespace

bool valid_name(std::u16string_view name) {
  if (name.empty() || name.size() > 256) return false;
  for (char16_t c : name) {
    if (c == u'/' || c == u'\\' || c < 0x20) return false;
  }
  return true;
}

std::optional<Config> Database::find(std::u16string_view name) {
  if (!valid_name(name)) return std::nullopt;
  const std::u16string key = key_of(name);
  auto type = dword_of(registry_.get(key, u"Type"));
  auto image = registry_.get(key, u"ImagePath");
  if (!type || !image) return std::nullopt;  // a key of Services that is no service
  Config c;
  const std::u16string path = registry_.key_path(key);
  c.name = path.substr(path.size() - name.size());
  c.type = *type;
  c.start = dword_of(registry_.get(key, u"Start")).value_or(3);
  c.error_control = dword_of(registry_.get(key, u"ErrorControl")).value_or(1);
  c.image_path = text_of(image);
  c.display_name = text_of(registry_.get(key, u"DisplayName"));
  c.object_name = text_of(registry_.get(key, u"ObjectName"));
  c.delete_pending = dword_of(registry_.get(key, u"DeleteFlag")).value_or(0) != 0;
  return c;
}

std::vector<Config> Database::all() {
  std::vector<Config> out;
  for (const auto& name : registry_.subkeys(kServicesKey)) {
    if (auto c = find(name)) out.push_back(*c);
  }
  return out;
}

std::uint32_t Database::create(const Config& config) {
  sweep();  // services marked for deletion that have stopped are gone now
  if (auto existing = find(config.name)) {
    return existing->delete_pending ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS;
  }
  const std::u16string display = config.display_name.empty() ? config.name : config.display_name;
  for (const auto& other : all()) {
    if (equal_folded(other.display_name, display) || equal_folded(other.name, display)) {
      return ERROR_DUPLICATE_SERVICE_NAME;
    }
  }
  std::vector<std::pair<std::u16string, RegistryStore::Value>> values = {
      {u"Type", dword_value(config.type)},
      {u"Start", dword_value(config.start)},
      {u"ErrorControl", dword_value(config.error_control)},
      {u"ImagePath", text_value(REG_EXPAND_SZ, config.image_path)},
      {u"DisplayName", text_value(REG_SZ, display)},
      {u"ObjectName", text_value(REG_SZ, config.object_name.empty() ? u"LocalSystem" : config.object_name)},
  };
  return registry_.set_values(key_of(config.name), values) ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

std::uint32_t Database::remove(std::u16string_view name) {
  auto config = find(name);
  if (!config) return ERROR_SERVICE_DOES_NOT_EXIST;
  if (config->delete_pending) return ERROR_SERVICE_MARKED_FOR_DELETE;
  if (running(host_dir_, name)) {
    registry_.set_values(key_of(name), {{u"DeleteFlag", dword_value(1)}});
    return ERROR_SUCCESS;
  }
  registry_.delete_tree(key_of(name));
  if (!host_dir_.empty()) ::unlink(status_file(host_dir_, name).c_str());
  return ERROR_SUCCESS;
}

void Database::sweep() {
  for (const auto& config : all()) {
    if (!config.delete_pending) continue;
    if (!running(host_dir_, config.name)) {
      registry_.delete_tree(key_of(config.name));
      if (!host_dir_.empty()) ::unlink(status_file(host_dir_, config.name).c_str());
    }
  }
}

Status current_status(const std::string& host_dir, std::u16string_view name, pid_t* pid) {
  if (pid != nullptr) *pid = 0;
  Status stopped;
  stopped.type = 0x10;
  stopped.state = kStopped;
  if (host_dir.empty()) return stopped;
  auto record = read_record(host_dir, name);
  if (!record) return stopped;
  if (record->pid > 0 && process_start_time(record->pid) == record->start_time) {
    if (pid != nullptr) *pid = record->pid;
    return record->status;
  }
  // The process has gone.
  Status status = record->status;
  if (status.state != kStopped) {
    status.state = kStopped;
    status.win32_exit = ERROR_PROCESS_ABORTED;
  }
  status.accepted = 0;
  status.checkpoint = 0;
  status.wait_hint = 0;
  return status;
}

bool write_status(const std::string& host_dir, std::u16string_view name, const Status& s) {
  if (host_dir.empty()) return false;
  ::mkdir(services_dir(host_dir).c_str(), 0755);
  char text[256];
  const pid_t pid = ::getpid();
  std::snprintf(text, sizeof text,
                "pid %d start %llu type %u state %u accepted %u exit %u specific %u checkpoint %u hint %u\n",
                static_cast<int>(pid), static_cast<unsigned long long>(process_start_time(pid)), s.type, s.state,
                s.accepted, s.win32_exit, s.specific_exit, s.checkpoint, s.wait_hint);
  SharedFile file(status_file(host_dir, name));
  return file.update([&](std::string& current) {
    current = text;
    return true;
  });
}

std::string control_socket_name(const std::string& host_dir, std::u16string_view name) {
  // FNV-1a of the host directory and the service's folded name.
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (char c : canonical(host_dir) + "\n" + stem_of(name)) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ull;
  }
  char text[64];
  std::snprintf(text, sizeof text, "zeksvc-%016llx", static_cast<unsigned long long>(hash));
  return std::string(1, '\0') + text;
}

std::uint32_t start(const std::string& host_dir, const Config& config, const std::vector<std::string>& args,
                    std::chrono::milliseconds patience, const std::atomic<bool>* cancel) {
  if (host_dir.empty()) return ERROR_SERVICE_REQUEST_TIMEOUT;  // no host starts anything
  if (config.start == kDisabled) return ERROR_SERVICE_DISABLED;
  if (config.delete_pending) return ERROR_SERVICE_MARKED_FOR_DELETE;
  const auto deadline = Clock::now() + patience;
  ::mkdir(services_dir(host_dir).c_str(), 0755);
  StartLock lock(services_dir(host_dir) + "/" + stem_of(config.name) + ".lock", deadline);
  if (!lock.held()) return ERROR_SERVICE_REQUEST_TIMEOUT;
  pid_t live = 0;
  if (running(host_dir, config.name, &live)) return ERROR_SERVICE_ALREADY_RUNNING;
  // A service that has stopped may still be on its way out: its successor waits for it.
  if (live > 0 && !wait_exit(live, process_start_time(live), deadline)) return ERROR_SERVICE_REQUEST_TIMEOUT;
  std::vector<std::string> command = command_of(to_utf8(config.image_path));
  if (command.empty() || ::access(command[0].c_str(), F_OK) != 0) return ERROR_FILE_NOT_FOUND;
  if (::access(command[0].c_str(), X_OK) != 0) return ERROR_ACCESS_DENIED;
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string_view entry(*e);
    if (entry.starts_with("ZEK_HOST=") || entry.starts_with("ZEK_SERVICE=") || entry.starts_with("ZEK_SERVICE_ARGS=")) {
      continue;
    }
    env.emplace_back(entry);
  }
  env.push_back("ZEK_HOST=" + canonical(host_dir));
  env.push_back("ZEK_SERVICE=" + to_utf8(config.name));
  std::string joined;
  for (std::size_t i = 0; i < args.size(); ++i) joined += (i == 0 ? "" : "\x1f") + args[i];
  env.push_back("ZEK_SERVICE_ARGS=" + joined);
  // A fresh record: the previous run's status does not count as this one's.
  ::unlink(status_file(host_dir, config.name).c_str());
  const pid_t pid = spawn_detached(command, env, services_dir(host_dir) + "/" + stem_of(config.name) + ".log");
  if (pid <= 0) return ERROR_NOT_ENOUGH_MEMORY;
  const std::uint64_t start_time = process_start_time(pid);
  // The service has connected when its dispatcher has written its status.
  while (Clock::now() < deadline) {
    if (auto record = read_record(host_dir, config.name); record && record->pid == pid) return ERROR_SUCCESS;
    if (process_start_time(pid) != start_time) break;  // it ended without connecting
    if (cancel != nullptr && cancel->load()) {
      ::kill(pid, SIGKILL);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return ERROR_SERVICE_REQUEST_TIMEOUT;
}

std::uint32_t control(const std::string& host_dir, std::u16string_view name, std::uint32_t code,
                      std::chrono::milliseconds patience) {
  pid_t pid = 0;
  const Status status = current_status(host_dir, name, &pid);
  if (pid <= 0 || status.state == kStopped) return ERROR_SERVICE_NOT_ACTIVE;
  if (code == kControlStop) {
    if (status.state == kStartPending || status.state == kStopPending) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    if ((status.accepted & kAcceptStop) == 0) return ERROR_INVALID_SERVICE_CONTROL;
  }
  const std::string socket_name = control_socket_name(host_dir, name);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socket_name.data(), socket_name.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_name.size());
  const int fd = lx::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return ERROR_NOT_ENOUGH_MEMORY;
  std::uint32_t reply = ERROR_SERVICE_REQUEST_TIMEOUT;
  if (lx::connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    reply = ERROR_SERVICE_NOT_ACTIVE;
  } else if (lx::sendto(fd, &code, sizeof code, MSG_NOSIGNAL, nullptr, 0) == sizeof code) {
    const auto deadline = Clock::now() + patience;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(std::min<long long>(left, INT_MAX))) <= 0) continue;
      std::uint32_t answer = 0;
      const ssize_t n = lx::recvfrom(fd, &answer, sizeof answer, 0, nullptr, nullptr);
      if (n == sizeof answer)
        reply = answer;
      else if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
        reply = ERROR_SERVICE_NOT_ACTIVE;
      else
        continue;
      break;
    }
  }
  ::close(fd);
  return reply;
}

void start_automatic(Database& database, const Log& log, const std::atomic<bool>* cancel) {
  database.sweep();
  for (const auto& config : database.all()) {
    if (cancel != nullptr && cancel->load()) return;
    if (config.start != kAutoStart || config.delete_pending) continue;
    const std::uint32_t error = start(database.host_dir(), config, {}, std::chrono::seconds(30), cancel);
    if (error == ERROR_SUCCESS || error == ERROR_SERVICE_ALREADY_RUNNING) {
      log("service " + to_utf8(config.name) + " started");
    } else {
      log("service " + to_utf8(config.name) + " did not start (error " + std::to_string(error) + ")");
    }
  }
}

namespace {

// Stops one running service: its stop control when it takes one, else
// SIGTERM; SIGKILL when it is still there at the deadline.
void stop_one(const std::string& host_dir, const Config& config, pid_t pid, const Status& status,
              std::chrono::milliseconds patience, const Log& log) {
  const std::uint64_t start_time = process_start_time(pid);
  const auto deadline = Clock::now() + patience;
  std::uint32_t error = ERROR_INVALID_SERVICE_CONTROL;
  if (status.state != kStopped && (status.accepted & kAcceptStop) != 0) {
    error = control(host_dir, config.name, kControlStop, patience / 2);
  }
  if (error != ERROR_SUCCESS) ::kill(pid, SIGTERM);
  if (!wait_exit(pid, start_time, deadline)) {
    ::kill(pid, SIGKILL);
    wait_exit(pid, start_time, Clock::now() + std::chrono::seconds(2));
    log("service " + to_utf8(config.name) + " killed");
  } else {
    log("service " + to_utf8(config.name) + " stopped");
  }
}

}  // namespace

void stop_all(Database& database, const Log& log, std::chrono::milliseconds patience) {
  std::vector<std::thread> stoppers;
  for (const auto& config : database.all()) {
    pid_t pid = 0;
    const Status status = current_status(database.host_dir(), config.name, &pid);
    if (pid <= 0) continue;
    stoppers.emplace_back(stop_one, database.host_dir(), config, pid, status, patience, std::cref(log));
  }
  for (auto& t : stoppers) t.join();
  database.sweep();
}

}  // namespace plat::scm
