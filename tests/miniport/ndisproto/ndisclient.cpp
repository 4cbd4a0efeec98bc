// zekndisclient: talks to the NDIS protocol test driver of the host that
// ZEK_HOST names.
//
//   zekndisclient open IDX                                adapter IDX's address, state and link
//   zekndisclient send IDX DSTMAC COUNT LENGTH SEED       COUNT frames of LENGTH bytes, waits for their completions
//   zekndisclient count IDX LENGTH SEED                   frames received, and those of LENGTH following SEED
// Exit code 0 on success; the line printed says what happened.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/user/win32.h"
#include "tests/miniport/ndisproto/ndisproto.h"

namespace {

bool parse_mac(const char* text, std::uint8_t mac[6]) {
  unsigned v[6];
  if (std::sscanf(text, "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6) return false;
  for (int i = 0; i < 6; ++i) mac[i] = static_cast<std::uint8_t>(v[i]);
  return true;
}

std::uint32_t number(const char* text) { return static_cast<std::uint32_t>(std::strtoul(text, nullptr, 0)); }

template <typename In, typename Out>
bool call(HANDLE device, ULONG code, const In& in, Out* out) {
  DWORD bytes = 0;
  const BOOL ok = DeviceIoControl(device, code, const_cast<In*>(&in), sizeof in, out, sizeof *out, &bytes, nullptr);
  if (!ok) std::printf("failed (error %u)\n", static_cast<unsigned>(GetLastError()));
  return ok && bytes == sizeof *out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: zekndisclient open|send|count IDX ...\n");
    return 2;
  }
  HANDLE device =
      CreateFileA("\\\\.\\zekndisproto", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    std::printf("no device (error %u)\n", static_cast<unsigned>(GetLastError()));
    return 1;
  }
  const std::string command = argv[1];
  const std::uint32_t adapter = number(argv[2]);
  int code = 1;
  if (command == "open") {
    ndisproto::Opened o{};
    if (call(device, ndisproto::kOpen, adapter, &o)) {
      std::printf("mac=%02x:%02x:%02x:%02x:%02x:%02x running=%u link=%u\n", o.mac[0], o.mac[1], o.mac[2], o.mac[3],
                  o.mac[4], o.mac[5], o.running, o.link_up);
      code = 0;
    }
  } else if (command == "send" && argc == 7) {
    ndisproto::Send s{};
    s.adapter = adapter;
    s.count = number(argv[4]);
    s.length = number(argv[5]);
    s.seed = static_cast<std::uint8_t>(number(argv[6]));
    ndisproto::Sent sent{};
    if (!parse_mac(argv[3], s.destination)) {
      std::printf("bad address %s\n", argv[3]);
    } else if (call(device, ndisproto::kSend, s, &sent)) {
      std::printf("completed=%u succeeded=%u\n", sent.completed, sent.succeeded);
      code = 0;
    }
  } else if (command == "count" && argc == 5) {
    ndisproto::Match m{};
    m.adapter = adapter;
    m.length = number(argv[3]);
    m.seed = static_cast<std::uint8_t>(number(argv[4]));
    ndisproto::Received r{};
    if (call(device, ndisproto::kCount, m, &r)) {
      std::printf("frames=%llu matching=%llu\n", static_cast<unsigned long long>(r.frames),
                  static_cast<unsigned long long>(r.matching));
      code = 0;
    }
  } else {
    std::fprintf(stderr, "usage: zekndisclient open|send|count IDX ...\n");
    code = 2;
  }
  CloseHandle(device);
  return code;
}
