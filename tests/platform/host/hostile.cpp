// A process that talks to its host as a hostile or careless one would, on
// the wire protocol itself: the host must stay up and keep serving others.
//
//   zekhostile ignore-upcalls        asks for a mapping and never answers the upcall
//   zekhostile no-read               sends requests and never reads a reply
//   zekhostile die-mid-request       ends while its request waits in the driver
//   zekhostile hog-buffered BYTES    pends buffered requests of BYTES each until refused
//   zekhostile direct-hog-buffered BYTES BOUND   the same, spread over its main and two
//                                    direct connections: refused where the sum would pass BOUND
//   zekhostile direct-alone          asks for a direct connection without a main one
//   zekhostile direct-no-read        sends requests on a direct connection and never
//                                    reads; its main connection must still be served
//   zekhostile forge-inline          claims inline bytes it does not send, or more
//                                    output inline than may travel: the host reads
//                                    and writes its memory instead
//
// Exit codes: 0 when the host did what it should (disconnected, refused),
// 1 when it did not within a bound, 2 and up for failures of the test's own.
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/common/hostproto.h"
#include "platform/common/ntstatus.h"
#include "tests/platform/kernel/io/testdrv.h"

namespace {

using namespace plat;

int link_fd = -1;
std::int64_t host_pid = 0;

// A connection greeted with `flags`; -1 when the host refuses it.
int dial(std::uint32_t flags) {
  const char* dir = std::getenv("ZEK_HOST");
  if (dir == nullptr) return -1;
  const std::string path = std::string(dir) + "/" + proto::kSocketName;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
  proto::Hello hello{proto::kVersion, flags};
  if (!proto::send_message(fd, proto::Type::Hello, &hello, sizeof hello)) return -1;
  std::vector<char> buffer(proto::kMaxMessage);
  std::vector<int> fds;
  const long n = proto::receive_message(fd, buffer, &fds);
  for (int stray : fds) close(stray);
  if (n != static_cast<long>(sizeof(proto::MessageHeader) + sizeof(proto::HelloReply))) return -1;
  proto::HelloReply reply;
  std::memcpy(&reply, buffer.data() + sizeof(proto::MessageHeader), sizeof reply);
  if (reply.status != 0) return -1;
  host_pid = reply.host_pid;
  return fd;
}

bool connect_host() {
  link_fd = dial(0);
  if (link_fd < 0) return false;
  prctl(PR_SET_PTRACER, static_cast<unsigned long>(host_pid), 0, 0, 0);
  return true;
}

// The next message of `type` (or of `other`, when given), skipping others;
// false at the end of the connection or after `milliseconds`.
bool next(proto::Type type, std::vector<char>* body, int milliseconds = 30000, proto::Type* other = nullptr,
          int fd = link_fd) {
  std::vector<char> buffer(proto::kMaxMessage);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    std::vector<int> fds;
    const long n = proto::receive_message(fd, buffer, &fds);
    for (int fd : fds) close(fd);
    if (n < static_cast<long>(sizeof(proto::MessageHeader))) return false;
    proto::MessageHeader header;
    std::memcpy(&header, buffer.data(), sizeof header);
    if (header.type != type && (other == nullptr || header.type != *other)) continue;
    if (other != nullptr) *other = header.type;
    body->assign(buffer.begin() + sizeof header, buffer.begin() + n);
    return true;
  }
  return false;
}

// Whether the host ends the connection within `milliseconds`, reading
// (and ignoring) whatever it sends until then.
bool disconnected_within(int milliseconds, int fd = link_fd) {
  std::vector<char> buffer(proto::kMaxMessage);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    std::vector<int> fds;
    const long n = proto::receive_message(fd, buffer, &fds);
    for (int fd : fds) close(fd);
    if (n <= 0) return true;
  }
  return false;
}

std::uint64_t open_device(bool overlapped) {
  proto::Open open{};
  open.request = 1;
  open.thread_id = gettid();
  open.desired_access = 0xC0000000u;
  open.share_access = 3;
  open.flags = overlapped ? proto::kOpenOverlapped : 0;
  std::strcpy(open.name, "zektest");
  if (!proto::send_message(link_fd, proto::Type::Open, &open, sizeof open)) return 0;
  std::vector<char> body;
  if (!next(proto::Type::Reply, &body)) return 0;
  proto::Reply reply;
  std::memcpy(&reply, body.data(), sizeof reply);
  return reply.status == 0 ? reply.value : 0;
}

bool send_ioctl(std::uint64_t request, std::uint64_t file, ULONG code, const void* input, std::uint32_t input_length,
                void* output, std::uint32_t output_length, bool overlapped = false, int fd = link_fd) {
  proto::Ioctl ioctl{};
  ioctl.request = request;
  ioctl.file = file;
  ioctl.thread_id = gettid();
  ioctl.code = code;
  ioctl.overlapped = overlapped ? 1 : 0;
  ioctl.input = reinterpret_cast<std::uint64_t>(input);
  ioctl.output = reinterpret_cast<std::uint64_t>(output);
  ioctl.input_length = input_length;
  ioctl.output_length = output_length;
  return proto::send_message(fd, proto::Type::Ioctl, &ioctl, sizeof ioctl);
}

// A request on the main connection still completes.
bool main_served(std::uint64_t file) {
  static char in[8] = "main", out[8];
  if (!send_ioctl(900000, file, testdrv::kEcho, in, sizeof in, out, sizeof out)) return false;
  std::vector<char> body;
  if (!next(proto::Type::Complete, &body)) return false;
  proto::Complete complete;
  std::memcpy(&complete, body.data(), sizeof complete);
  return complete.request == 900000 && complete.status == 0 && std::strcmp(out, "main") == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: zekhostile ignore-upcalls | no-read | die-mid-request | hog-buffered BYTES |"
                 " direct-hog-buffered BYTES BOUND | direct-alone | direct-no-read | forge-inline\n");
    return 2;
  }
  const std::string mode = argv[1];
  if (mode == "direct-alone") return dial(proto::kHelloDirect) < 0 ? 0 : 1;
  if (!connect_host()) return 3;
  const bool overlapped = mode == "hog-buffered" || mode == "direct-hog-buffered";
  const std::uint64_t file = open_device(overlapped);
  if (file == 0) return 4;

  if (mode == "ignore-upcalls") {
    static testdrv::Address mapped;
    if (!send_ioctl(10, file, testdrv::kMapPage, nullptr, 0, &mapped, sizeof mapped)) return 5;
    std::vector<char> body;
    if (!next(proto::Type::MapUpcall, &body)) return 6;
    return disconnected_within(60000) ? 0 : 1;
  }
  if (mode == "no-read") {
    // Requests until the host ends the connection; bounded in count and time.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (std::uint64_t request = 10; request < 200000 && std::chrono::steady_clock::now() < end; ++request) {
      if (!send_ioctl(request, file, testdrv::kEcho, nullptr, 0, nullptr, 0)) return 0;
    }
    return disconnected_within(1000) ? 0 : 1;
  }
  if (mode == "die-mid-request") {
    if (!send_ioctl(10, file, testdrv::kWait, nullptr, 0, nullptr, 0)) return 5;
    std::printf("waiting\n");
    std::fflush(stdout);
    _exit(0);
  }
  if (mode == "direct-no-read") {
    const int direct = dial(proto::kHelloDirect);
    if (direct < 0) return 5;
    // Requests until the host ends that connection; bounded in count and time.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (std::uint64_t request = 10; request < 200000 && std::chrono::steady_clock::now() < end; ++request) {
      if (!send_ioctl(request, file, testdrv::kEcho, nullptr, 0, nullptr, 0, false, direct)) break;
    }
    if (!disconnected_within(10000, direct)) return 1;
    return main_served(file) ? 0 : 1;
  }
  if (mode == "forge-inline") {
    // Input claimed inline but only partly (or not) sent: read from the
    // memory; output larger than may travel inline: written to the memory.
    static char in[64], out[proto::kMaxInline + 8];
    for (int i = 0; i < 64; ++i) in[i] = static_cast<char>(i + 1);
    struct Forged {
      std::uint32_t input_length, output_length, sent;
    };
    const Forged cases[] = {{64, 64, 10}, {64, proto::kMaxInline + 8, 64}, {64, 64, 0}};
    std::uint64_t request = 100;
    for (const Forged& c : cases) {
      std::memset(out, 0, sizeof out);
      proto::Ioctl ioctl{};
      ioctl.request = ++request;
      ioctl.file = file;
      ioctl.thread_id = gettid();
      ioctl.code = testdrv::kEcho;
      ioctl.overlapped = proto::kIoctlInlineInput | proto::kIoctlInlineOutput;
      ioctl.input = reinterpret_cast<std::uint64_t>(in);
      ioctl.output = reinterpret_cast<std::uint64_t>(out);
      ioctl.input_length = c.input_length;
      ioctl.output_length = c.output_length;
      std::vector<char> message(sizeof ioctl + c.sent);
      std::memcpy(message.data(), &ioctl, sizeof ioctl);
      std::memset(message.data() + sizeof ioctl, 0x5A, c.sent);  // not what the memory holds
      if (!proto::send_message(link_fd, proto::Type::Ioctl, message.data(), message.size())) return 5;
      std::vector<char> body;
      if (!next(proto::Type::Complete, &body)) return 6;
      proto::Complete complete;
      std::memcpy(&complete, body.data(), sizeof complete);
      if (complete.request != request || complete.status != 0 || complete.information != 64) return 1;
      // Output inline only where it may be: else it is in the memory.
      const char* got = body.size() >= sizeof complete + 64 && c.output_length <= proto::kMaxInline
                            ? body.data() + sizeof complete
                            : out;
      // The input came with the message when all of it did, else from the memory.
      char expected[64];
      if (c.sent == c.input_length) {
        std::memset(expected, 0x5A, sizeof expected);
      } else {
        std::memcpy(expected, in, sizeof expected);
      }
      if (std::memcmp(got, expected, 64) != 0) return 1;
    }
    return 0;
  }
  if ((mode == "hog-buffered" || mode == "direct-hog-buffered") && argc >= 3) {
    const auto bytes = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 0));
    // The main connection alone, or it and two direct connections in turn:
    // the bound is the process's, whatever connection a request comes on.
    std::vector<int> links{link_fd};
    if (mode == "direct-hog-buffered") {
      for (int i = 0; i < 2; ++i) links.push_back(dial(proto::kHelloDirect));
      for (int fd : links) {
        if (fd < 0) return 5;
      }
    }
    static testdrv::Key keys[64];
    static char output[1];
    for (std::uint64_t i = 0; i < 64; ++i) {
      const int fd = links[i % links.size()];
      keys[i].key = 0x7000 + 2 * i;
      if (!send_ioctl(10 + i, file, testdrv::kPend, &keys[i], sizeof keys[i], output, bytes, true, fd)) return 5;
      std::vector<char> body;
      // A pended one is announced; the refused one completes at once.
      proto::Type type = proto::Type::Complete;
      if (!next(proto::Type::Pending, &body, 10000, &type, fd)) return 6;
      if (type == proto::Type::Complete) {
        proto::Complete complete;
        std::memcpy(&complete, body.data(), sizeof complete);
        if (complete.request != 10 + i) return 7;
        if (complete.status != static_cast<std::int32_t>(STATUS_INSUFFICIENT_RESOURCES)) return 8;
        if (i == 0) return 9;
        if (argc < 4) return 0;
        // Refused just where the process's requests would pass the bound.
        const std::uint64_t bound = std::strtoull(argv[3], nullptr, 0);
        return i * bytes <= bound && (i + 1) * bytes > bound ? 0 : 10;
      }
    }
    return 1;
  }
  return 2;
}
