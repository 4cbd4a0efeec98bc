// zeknicclient: talks to the NIC test driver of the host that ZEK_HOST names.
//
//   zeknicclient counters
//   zeknicclient send DSTMAC COUNT SIZE TAG   frames of SIZE bytes, ethertype 0x88B5, payload TAG + sequence
//   zeknicclient recv COUNT IDLE_MS TAG       waits for COUNT frames whose payload starts with TAG,
//                                             giving up after IDLE_MS without a frame
//   zeknicclient drain                        drops every waiting frame
//   zeknicclient hold 1|0                     holds or releases the driver's NIC completions
// Exit code 0 on success; the last line says what happened.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/user/win32.h"
#include "tests/proxy/rdma/nictestdrv/nictestdrv.h"

namespace {

constexpr std::uint16_t kEtherType = 0x88B5;

bool parse_mac(const char* text, std::uint8_t mac[6]) {
  unsigned v[6];
  if (std::sscanf(text, "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6) return false;
  for (int i = 0; i < 6; ++i) mac[i] = static_cast<std::uint8_t>(v[i]);
  return true;
}

bool counters(HANDLE device, nictest::Counters* c) {
  DWORD bytes = 0;
  return DeviceIoControl(device, nictest::kCounters, nullptr, 0, c, sizeof *c, &bytes, nullptr) && bytes == sizeof *c;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: zeknicclient counters|send|recv|drain ...\n");
    return 2;
  }
  HANDLE device = CreateFileA("\\\\.\\zeknictest", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    std::printf("no device (error %u)\n", static_cast<unsigned>(GetLastError()));
    return 1;
  }
  const std::string command = argv[1];
  nictest::Counters c{};
  if (command == "counters") {
    if (!counters(device, &c)) return 1;
    std::printf(
        "mac=%02x:%02x:%02x:%02x:%02x:%02x up=%llu tx_queued=%llu tx_refused=%llu tx_completed=%llu "
        "tx_outstanding=%lld rx_frames=%llu rx_bytes=%llu rx_errors=%llu rx_dropped=%llu cq_waiting=%llu\n",
        c.mac[0], c.mac[1], c.mac[2], c.mac[3], c.mac[4], c.mac[5], (unsigned long long)c.up,
        (unsigned long long)c.tx_queued, (unsigned long long)c.tx_refused, (unsigned long long)c.tx_completed,
        (long long)c.tx_outstanding, (unsigned long long)c.rx_frames, (unsigned long long)c.rx_bytes,
        (unsigned long long)c.rx_errors, (unsigned long long)c.rx_dropped, (unsigned long long)c.cq_waiting);
    return 0;
  }
  if (command == "hold" && argc == 3) {
    const std::uint32_t on = std::atoi(argv[2]) != 0 ? 1 : 0;
    DWORD bytes = 0;
    if (!DeviceIoControl(device, nictest::kHold, const_cast<std::uint32_t*>(&on), sizeof on, nullptr, 0, &bytes,
                         nullptr)) {
      return 1;
    }
    std::printf("hold %u\n", on);
    return 0;
  }
  if (command == "send" && argc == 6) {
    std::uint8_t dst[6];
    if (!parse_mac(argv[2], dst) || !counters(device, &c)) return 2;
    const int count = std::atoi(argv[3]);
    const auto size = static_cast<std::size_t>(std::atoi(argv[4]));
    const std::string tag = argv[5];
    if (size < 14 + tag.size() + 8 || size > 1514) return 2;
    std::vector<std::uint8_t> frame(size, 0);
    std::memcpy(frame.data(), dst, 6);
    std::memcpy(frame.data() + 6, c.mac, 6);
    frame[12] = kEtherType >> 8;
    frame[13] = kEtherType & 0xFF;
    std::memcpy(frame.data() + 14, tag.data(), tag.size());
    int sent = 0;
    // While every transmit buffer is in flight the driver refuses a frame:
    // try again while frames still go out, giving up after 30 s in which
    // none did (however slow the machine, each frame sent is progress).
    constexpr auto kIdle = std::chrono::seconds(30);
    auto give_up = std::chrono::steady_clock::now() + kIdle;
    bool stalled = false;
    for (int i = 0; i < count && !stalled; ++i) {
      std::snprintf(reinterpret_cast<char*>(frame.data() + 14 + tag.size()), 8, "%07d", i % 10000000);
      for (;;) {
        DWORD bytes = 0;
        if (DeviceIoControl(device, nictest::kSend, frame.data(), static_cast<DWORD>(size), nullptr, 0, &bytes,
                            nullptr)) {
          ++sent;
          give_up = std::chrono::steady_clock::now() + kIdle;
          break;
        }
        if (std::chrono::steady_clock::now() > give_up) {
          stalled = true;
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    if (stalled && counters(device, &c)) {
      std::printf("stalled: tx_queued=%llu tx_refused=%llu tx_completed=%llu tx_outstanding=%lld\n",
                  (unsigned long long)c.tx_queued, (unsigned long long)c.tx_refused, (unsigned long long)c.tx_completed,
                  (long long)c.tx_outstanding);
    }
    std::printf("sent %d\n", sent);
    return sent == count ? 0 : 1;
  }
  if ((command == "recv" && argc == 5) || command == "drain") {
    const int wanted = command == "drain" ? 0 : std::atoi(argv[2]);
    const int idle = command == "drain" ? 0 : std::atoi(argv[3]);
    const std::string tag = command == "drain" ? "" : argv[4];
    // The deadline moves on with every frame: only a wait without progress ends it.
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(idle);
    std::vector<std::uint8_t> frame(2048);
    int matched = 0, other = 0;
    for (;;) {
      DWORD bytes = 0;
      if (!DeviceIoControl(device, nictest::kReceive, nullptr, 0, frame.data(), static_cast<DWORD>(frame.size()),
                           &bytes, nullptr)) {
        return 1;
      }
      if (bytes == 0) {
        if (command == "drain" || matched >= wanted || std::chrono::steady_clock::now() > end) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        continue;
      }
      end = std::chrono::steady_clock::now() + std::chrono::milliseconds(idle);
      if (bytes >= 14 + tag.size() && std::memcmp(frame.data() + 14, tag.data(), tag.size()) == 0) {
        ++matched;
      } else {
        ++other;
      }
      if (command != "drain" && matched >= wanted) break;
    }
    std::printf("received %d other %d\n", matched, other);
    return matched >= wanted ? 0 : 1;
  }
  std::fprintf(stderr, "zeknicclient: bad command\n");
  return 2;
}
