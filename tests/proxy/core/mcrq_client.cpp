// zekmcrqclient: a user process of the host that ZEK_HOST names, using the
// proxy driver's multicast receive queue of adapter 0.
//
//   zekmcrqclient recv COUNT TAG IDLE_MS [ROUND]  opens the queue, prints "ready", and takes COUNT
//                                        frames whose payload starts with TAG (checked:
//                                        multicast destination, ethertype 0x88B5, the
//                                        sequence 0, 1, 2... starting again every ROUND), handing the buffers read back
//                                        together ("released N" says how many so far);
//                                        gives up after IDLE_MS without one
//   zekmcrqclient hold                   opens the queue, prints "ready" and waits to be killed
//   zekmcrqclient open                   opens and closes the queue
//   zekmcrqclient foreign                requests on queue 0 without having opened it: each
//                                        must answer that the handle is not the caller's
// Exit code 0 on success; the last line says what happened.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "include/zek/ioctl.h"
#include "include/zek/mcrq.h"
#include "platform/user/win32.h"

namespace {

constexpr std::uint16_t kEtherType = 0x88B5;

template <typename Record>
bool call(HANDLE device, DWORD code, Record* record) {
  DWORD bytes = 0;
  return DeviceIoControl(device, code, record, sizeof *record, record, sizeof *record, &bytes, nullptr) &&
         bytes == sizeof *record;
}

bool open_queue(HANDLE device, ZekMcrqOpenRecord* open) {
  *open = ZekMcrqOpenRecord{};
  open->AdapterNumber = 0;
  if (!call(device, IOCTL_ZEK_MCRQ_OPEN_USER, open)) {
    std::printf("open request failed (%lu)\n", static_cast<unsigned long>(GetLastError()));
    return false;
  }
  if (open->Status != ZEK_MCRQ_STATUS_OK || open->BufferArea == 0) {
    std::printf("open status %u\n", open->Status);
    return false;
  }
  return true;
}

int recv(HANDLE device, int count, const std::string& tag, int idle_ms, int round) {
  ZekMcrqOpenRecord open{};
  if (!open_queue(device, &open)) return 1;
  std::printf("ready buffers=%u size=%u\n", open.BufferCount, open.BufferSize);
  std::fflush(stdout);
  const auto* area = reinterpret_cast<const std::uint8_t*>(open.BufferArea);
  const std::uint32_t handle = static_cast<std::uint32_t>(open.Handle);
  int matched = 0, other = 0;
  std::uint32_t taken = 0;  // frames read and not yet released
  std::uint32_t released = 0;
  auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(idle_ms);
  while (matched < count && std::chrono::steady_clock::now() < give_up) {
    ZekMcrqHandleRecord arm{handle, 0, 0xFFFF, 0};
    if (!call(device, IOCTL_ZEK_MCRQ_ARM, &arm) || arm.Status != 0) {
      std::printf("arm status %u\n", arm.Status);
      return 1;
    }
    for (;;) {
      ZekMcrqPollRecord poll{handle, 0, 0, 0, 0xFFFF, 0};
      if (!call(device, IOCTL_ZEK_MCRQ_POLL_COMPLETION, &poll)) return 1;
      if (poll.Status == ZEK_MCRQ_STATUS_CQ_EMPTY) break;
      if (poll.Status != 0 || poll.Offset + poll.Length > open.BufferCount * open.BufferSize) {
        std::printf("poll status %u offset %u length %u\n", poll.Status, poll.Offset, poll.Length);
        return 1;
      }
      const std::uint8_t* frame = area + poll.Offset;
      const bool ours = poll.Length >= 14 + tag.size() + 7 && (frame[0] & 1) != 0 &&
                        (frame[12] << 8 | frame[13]) == kEtherType &&
                        std::memcmp(frame + 14, tag.data(), tag.size()) == 0;
      if (ours) {
        char expected[16];
        std::snprintf(expected, sizeof expected, "%07d", matched % round);
        if (std::memcmp(frame + 14 + tag.size(), expected, 7) != 0) {
          std::printf("frame %d carries %.7s\n", matched, reinterpret_cast<const char*>(frame + 14 + tag.size()));
          return 1;
        }
        ++matched;
        give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(idle_ms);
      } else {
        ++other;
      }
      ++taken;
    }
    // The buffers read go back together, oldest first.
    if (taken > 0) {
      ZekMcrqReleaseRecord release{handle, 0, taken, 0xFFFF};
      if (!call(device, IOCTL_ZEK_MCRQ_RELEASE_BUFFERS, &release) || release.Status != 0) {
        std::printf("release of %u: status %u\n", taken, release.Status);
        return 1;
      }
      released += taken;
      taken = 0;
      std::printf("released %u\n", released);
      std::fflush(stdout);
    }
    if (matched >= count) break;
    ZekMcrqDrainRecord drain{};
    drain.Handle = handle;
    if (!call(device, IOCTL_ZEK_MCRQ_DRAIN, &drain) || drain.Status != 0) {
      std::printf("drain status %u\n", drain.Status);
      return 1;
    }
  }
  ZekMcrqCloseRecord close{handle, 0xFFFF, 0};
  const bool closed = call(device, IOCTL_ZEK_MCRQ_CLOSE, &close) && close.Status == 0;
  std::printf("received %d other %d closed %d\n", matched, other, closed ? 1 : 0);
  return matched == count && closed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: zekmcrqclient recv COUNT TAG IDLE_MS [ROUND] | hold | open | foreign\n");
    return 2;
  }
  HANDLE device = CreateFileA("\\\\.\\zekproxy", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    std::printf("cannot open zekproxy (%lu)\n", static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  const std::string command = argv[1];
  int code = 2;
  if (command == "recv" && (argc == 5 || argc == 6)) {
    const int round = argc == 6 ? std::atoi(argv[5]) : 10000000;
    code = round > 0 ? recv(device, std::atoi(argv[2]), argv[3], std::atoi(argv[4]), round) : 2;
  } else if (command == "hold") {
    ZekMcrqOpenRecord open{};
    if (!open_queue(device, &open)) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  } else if (command == "foreign") {
    ZekMcrqPollRecord poll{0, 0, 0, 0, 0xFFFF, 0};
    ZekMcrqReleaseRecord release{0, 0, 1, 0xFFFF};
    ZekMcrqHandleRecord wake{0, 0, 0xFFFF, 0}, arm{0, 0, 0xFFFF, 0};
    ZekMcrqDrainRecord drain{};
    ZekMcrqCloseRecord close{0, 0xFFFF, 0};
    const bool sent = call(device, IOCTL_ZEK_MCRQ_POLL_COMPLETION, &poll) &&
                      call(device, IOCTL_ZEK_MCRQ_RELEASE_BUFFERS, &release) &&
                      call(device, IOCTL_ZEK_MCRQ_WAKE_DRAIN, &wake) && call(device, IOCTL_ZEK_MCRQ_ARM, &arm) &&
                      call(device, IOCTL_ZEK_MCRQ_DRAIN, &drain) && call(device, IOCTL_ZEK_MCRQ_CLOSE, &close);
    std::printf("foreign poll %u release %u wake %u arm %u drain %u close %u\n", poll.Status, release.Status,
                wake.Status, arm.Status, drain.Status, close.Status);
    code = sent && poll.Status == 13 && release.Status == 13 && wake.Status == 13 && arm.Status == 13 &&
                   drain.Status == 13 && close.Status == 13
               ? 0
               : 1;
  } else if (command == "open") {
    ZekMcrqOpenRecord open{};
    if (open_queue(device, &open)) {
      ZekMcrqCloseRecord close{open.Handle, 0xFFFF, 0};
      code = call(device, IOCTL_ZEK_MCRQ_CLOSE, &close) && close.Status == 0 ? 0 : 1;
      std::printf("opened closed=%d\n", code == 0 ? 1 : 0);
    } else {
      code = 1;
    }
  }
  CloseHandle(device);
  return code;
}
