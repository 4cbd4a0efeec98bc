// A management tool's process for the management-request tests: opens
// "\\.\zekproxy" through the user runtime and sends management requests.
//
//   zekmgmtclient cases         every request as a table of cases, malformed ones included
//   zekmgmtclient counters LAB  adapter counters before and after frames sent on the lab wire
//   zekmgmtclient link LAB      the ports' link state without and with a peer on the lab wire
//   zekmgmtclient store         flash sectors 5 and 6 and EEPROM words 1000-1003 written
//   zekmgmtclient stored        what `store` wrote reads back; then sector 6 is erased
//   zekmgmtclient erased        sector 6 reads erased, sector 5 as written
//   zekmgmtclient unprivileged  drops its privileges: writes, erases and the reset are refused
//
// Exit code 0 when every check held (each failure is printed).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "include/zek/ioctl.h"
#include "include/zek/mgmt.h"
#include "platform/user/win32.h"

namespace {

int g_failures = 0;

void check(bool ok, const std::string& what) {
  if (!ok) {
    std::printf("FAILED: %s\n", what.c_str());
    std::fflush(stdout);
    ++g_failures;
  }
}

HANDLE g_proxy = INVALID_HANDLE_VALUE;
// A thread's own handle: requests on one synchronous handle run one at a
// time, so a thread that must run beside another opens its own.
thread_local HANDLE t_proxy = INVALID_HANDLE_VALUE;

HANDLE open_proxy() {
  return CreateFileA("\\\\.\\zekproxy", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

struct Reply {
  bool ok;
  DWORD bytes;
  DWORD error;
};

// One request with the record as input and output; `size` overrides the
// record's size for short buffers.
template <typename T>
Reply send(DWORD code, T* record, DWORD size = sizeof(T)) {
  DWORD bytes = 0xFFFF;
  SetLastError(0);
  const BOOL ok = DeviceIoControl(t_proxy != INVALID_HANDLE_VALUE ? t_proxy : g_proxy, code, record, size, record, size,
                                  &bytes, nullptr);
  return {ok != FALSE, bytes, ok ? 0 : GetLastError()};
}

template <typename T>
T with_handle(std::uint64_t handle) {
  T r{};
  r.Handle = handle;
  return r;
}

std::uint64_t open_adapter(std::uint32_t number) {
  std::uint64_t handle = 0;
  ZekMgmtOpenAdapterRecord r{};
  r.HandleAddress = reinterpret_cast<std::uint64_t>(&handle);
  r.AdapterNumber = number;
  const Reply reply = send(IOCTL_ZEK_MGMT_OPEN_ADAPTER, &r);
  check(reply.ok && r.Status == 0 && handle != 0, "adapter " + std::to_string(number) + " opens");
  return handle;
}

std::uint32_t flash(DWORD code, std::uint64_t handle, std::uint32_t address, std::uint32_t* words,
                    std::uint32_t count) {
  auto r = with_handle<ZekFlashRequest>(handle);
  r.Address = address;
  r.Data = reinterpret_cast<std::uint64_t>(words);
  r.Count = count;
  r.Status = 0xEE;
  const Reply reply = send(code, &r);
  return reply.ok && reply.bytes == sizeof r ? r.Status : 0xBAD;
}

std::uint32_t erase_sector(std::uint64_t handle, std::uint32_t sector) {
  auto r = with_handle<ZekFlashEraseRecord>(handle);
  r.Sector = sector;
  r.Status = 0xEE;
  const Reply reply = send(IOCTL_ZEK_MGMT_FLASH_ERASE, &r);
  return reply.ok && reply.bytes == sizeof r ? r.Status : 0xBAD;
}

std::uint32_t eeprom(DWORD code, std::uint64_t handle, std::uint16_t address, std::uint16_t* words, std::uint16_t count,
                     std::uint8_t path = ZEK_MGMT_EEPROM_PATH_REGISTERS) {
  auto r = with_handle<ZekEepromRequest>(handle);
  r.Address = address;
  r.Data = reinterpret_cast<std::uint64_t>(words);
  r.Count = count;
  r.Path = path;
  r.Status = 0xEE;
  const Reply reply = send(code, &r);
  return reply.ok && reply.bytes == sizeof r ? r.Status : 0xBAD;
}

std::uint32_t eeprom_erase(std::uint64_t handle, std::uint16_t address, std::uint16_t count) {
  auto r = with_handle<ZekEepromEraseRecord>(handle);
  r.Address = address;
  r.Count = count;
  r.Path = ZEK_MGMT_EEPROM_PATH_REGISTERS;
  r.Status = 0xEE;
  const Reply reply = send(IOCTL_ZEK_MGMT_EEPROM_ERASE, &r);
  return reply.ok && reply.bytes == sizeof r ? r.Status : 0xBAD;
}

std::uint32_t reset_wait(std::uint64_t handle) {
  auto r = with_handle<ZekMgmtHandleRecord>(handle);
  r.Status = 0xEE;
  const Reply reply = send(IOCTL_ZEK_MGMT_RESET_WAIT, &r);
  return reply.ok && reply.bytes == sizeof r ? r.Status : 0xBAD;
}

// A running total of a counter (adapter counters without a port); ~0 when
// the request failed.
std::uint64_t stat(std::uint64_t handle, std::uint32_t id, std::uint32_t port = 0) {
  auto r = with_handle<ZekStatsRequest>(handle);
  r.CounterId = id;
  r.Port = port;
  const DWORD code = id >= 0x2000 ? IOCTL_ZEK_MGMT_GET_NSTAT : IOCTL_ZEK_MGMT_GET_PSTAT;
  const Reply reply = send(code, &r);
  return reply.ok && r.Status == 0 ? r.Value : ~std::uint64_t{0};
}

std::vector<std::uint32_t> pattern(std::uint32_t seed, std::size_t n) {
  std::vector<std::uint32_t> words(n);
  for (std::size_t i = 0; i < n; ++i) words[i] = seed * 0x9E3779B1u + static_cast<std::uint32_t>(i) * 0x01010101u;
  return words;
}

constexpr std::uint32_t kSectorA = 5, kSectorB = 6, kEepromAt = 1000;

// ---- Every request as a table ------------------------------------------------------------------------------------
void cases() {
  std::uint32_t count = 0xEEEE;
  ZekMgmtNumAdaptersRecord n{reinterpret_cast<std::uint64_t>(&count), 0xEE, 0};
  Reply reply = send(IOCTL_ZEK_MGMT_GET_NUM_ADAPTERS, &n);
  check(reply.ok && reply.bytes == 16 && n.Status == 0 && count == 2, "two adapters");

  const std::uint64_t a0 = open_adapter(0);
  const std::uint64_t a1 = open_adapter(1);
  check(a0 != a1, "two handles");

  // Handles that name no attached adapter: forged, stale-looking, zero.
  const std::uint64_t forged[] = {0, a0 + 8, a0 ^ 0x100000, 0xCCCCCCCC, 0xFFFF800000001000ull, 16};

  struct HandleCase {
    const char* name;
    DWORD code;
    DWORD size;
    std::size_t status_at;
  } const handle_cases[] = {
      {"CLOSE_ADAPTER", IOCTL_ZEK_MGMT_CLOSE_ADAPTER, 16, 8},
      {"GET_NUM_PORTS", IOCTL_ZEK_MGMT_GET_NUM_PORTS, 24, 16},
      {"GET_NUM_NODES", IOCTL_ZEK_MGMT_GET_NUM_NODES, 24, 16},
      {"GET_PSTAT", IOCTL_ZEK_MGMT_GET_PSTAT, 32, 24},
      {"GET_NSTAT", IOCTL_ZEK_MGMT_GET_NSTAT, 32, 24},
      {"GET_DEBUG", IOCTL_ZEK_MGMT_GET_DEBUG, 32, 24},
      {"SET_DEBUG", IOCTL_ZEK_MGMT_SET_DEBUG, 32, 24},
      {"FLASH_WRITE", IOCTL_ZEK_MGMT_FLASH_WRITE, 32, 28},
      {"FLASH_READ", IOCTL_ZEK_MGMT_FLASH_READ, 32, 28},
      {"FLASH_ERASE", IOCTL_ZEK_MGMT_FLASH_ERASE, 16, 12},
      {"EEPROM_WRITE", IOCTL_ZEK_MGMT_EEPROM_WRITE, 32, 28},
      {"EEPROM_READ", IOCTL_ZEK_MGMT_EEPROM_READ, 32, 28},
      {"EEPROM_ERASE", IOCTL_ZEK_MGMT_EEPROM_ERASE, 24, 16},
      {"RESET_WAIT", IOCTL_ZEK_MGMT_RESET_WAIT, 16, 8},
      {"FLASH_GET_VERSION", IOCTL_ZEK_MGMT_FLASH_GET_VERSION, 16, 12},
      {"EEPROM_GET_VERSION", IOCTL_ZEK_MGMT_EEPROM_GET_VERSION, 16, 12},
      {"GET_PCTRL", IOCTL_ZEK_MGMT_GET_PCTRL, 24, 16},
      {"REVIEW_GET", IOCTL_ZEK_MGMT_REVIEW_GET, 144, 136},
  };
  std::uint32_t sink[4] = {};
  for (const HandleCase& c : handle_cases) {
    for (const std::uint64_t handle : forged) {
      std::uint8_t record[144] = {};
      std::memcpy(record, &handle, 8);
      // Pointer fields, where a code has them, point at a small sink of this process.
      const auto sink_address = reinterpret_cast<std::uint64_t>(sink);
      if (c.code == IOCTL_ZEK_MGMT_GET_NUM_PORTS || c.code == IOCTL_ZEK_MGMT_GET_NUM_NODES) {
        std::memcpy(record + 8, &sink_address, 8);
      } else if (c.code == IOCTL_ZEK_MGMT_FLASH_WRITE || c.code == IOCTL_ZEK_MGMT_FLASH_READ ||
                 c.code == IOCTL_ZEK_MGMT_EEPROM_WRITE || c.code == IOCTL_ZEK_MGMT_EEPROM_READ) {
        std::memcpy(record + 16, &sink_address, 8);
        record[24] = 2;
        if (c.code == IOCTL_ZEK_MGMT_EEPROM_WRITE || c.code == IOCTL_ZEK_MGMT_EEPROM_READ) record[26] = 1;
      } else if (c.code == IOCTL_ZEK_MGMT_EEPROM_ERASE) {
        record[10] = 1;
        record[12] = 1;
      } else if (c.code == IOCTL_ZEK_MGMT_GET_DEBUG || c.code == IOCTL_ZEK_MGMT_SET_DEBUG) {
        const std::uint32_t index = ZEK_MGMT_DEBUG_FIRST;
        std::memcpy(record + 20, &index, 4);
      } else if (c.code == IOCTL_ZEK_MGMT_GET_PSTAT) {
        const std::uint32_t id = 0x1000;
        std::memcpy(record + 20, &id, 4);
      } else if (c.code == IOCTL_ZEK_MGMT_GET_NSTAT) {
        const std::uint32_t id = 0x2000;
        std::memcpy(record + 20, &id, 4);
      }
      std::uint32_t status = 0;
      std::memcpy(record + c.status_at, &status, 4);
      reply = send(c.code, reinterpret_cast<std::uint8_t(*)[144]>(record), c.size);
      std::memcpy(&status, record + c.status_at, 4);
      char what[160];
      std::snprintf(what, sizeof what, "%s with handle 0x%llx: status 1 and the whole record", c.name,
                    static_cast<unsigned long long>(handle));
      check(reply.ok && reply.bytes == c.size && status == ZEK_MGMT_STATUS_FAILURE, what);
    }
  }
  check(sink[0] == 0 && sink[1] == 0, "nothing written through a forged handle's record");

  auto close_rec = with_handle<ZekMgmtHandleRecord>(a0);
  reply = send(IOCTL_ZEK_MGMT_CLOSE_ADAPTER, &close_rec);
  check(reply.ok && close_rec.Status == 0, "close of a real handle");
  // Closing releases nothing: the handle still serves.
  check(stat(a0, 0x1000) != ~std::uint64_t{0}, "the handle serves after a close");

  // Opening: no adapter 7, and null or foreign result pointers.
  std::uint64_t untouched = 0x5A5A;
  ZekMgmtOpenAdapterRecord open{reinterpret_cast<std::uint64_t>(&untouched), 7, {}, 0, 0xEE, 0};
  reply = send(IOCTL_ZEK_MGMT_OPEN_ADAPTER, &open);
  check(reply.ok && reply.bytes == 32 && open.Status == 1 && untouched == 0x5A5A, "no adapter 7: no handle written");
  for (const std::uint64_t address : {std::uint64_t{0}, std::uint64_t{0xCCCCCCCC}, std::uint64_t{0x10}}) {
    ZekMgmtOpenAdapterRecord bad{address, 0, {}, 0, 0xEE, 0};
    reply = send(IOCTL_ZEK_MGMT_OPEN_ADAPTER, &bad);
    check(reply.ok && bad.Status == 1, "OPEN_ADAPTER with result address " + std::to_string(address));
    ZekMgmtNumAdaptersRecord bad_n{address, 0xEE, 0};
    reply = send(IOCTL_ZEK_MGMT_GET_NUM_ADAPTERS, &bad_n);
    check(reply.ok && bad_n.Status == 1, "GET_NUM_ADAPTERS with result address " + std::to_string(address));
    auto ports = with_handle<ZekMgmtCountRecord>(a0);
    ports.CountAddress = address;
    reply = send(IOCTL_ZEK_MGMT_GET_NUM_PORTS, &ports);
    check(reply.ok && ports.Status == 1, "GET_NUM_PORTS with result address " + std::to_string(address));
  }
  ZekMgmtOpenAdapterRecord second{reinterpret_cast<std::uint64_t>(&untouched), 1, {}, 0xEE, 0xEE, 0};
  reply = send(IOCTL_ZEK_MGMT_OPEN_ADAPTER, &second);
  check(reply.ok && second.Status == 0 && second.PciFunction == 1 && untouched == a1, "adapter 1 is function 1");

  // Ports and nodes.
  count = 0;
  auto ports = with_handle<ZekMgmtCountRecord>(a0);
  ports.CountAddress = reinterpret_cast<std::uint64_t>(&count);
  reply = send(IOCTL_ZEK_MGMT_GET_NUM_PORTS, &ports);
  const std::uint32_t port_count = count;
  check(reply.ok && ports.Status == 0 && (count == 1 || count == 2 || count == 4), "ports");
  auto nodes = with_handle<ZekMgmtCountRecord>(a0);
  nodes.CountAddress = reinterpret_cast<std::uint64_t>(&count);
  reply = send(IOCTL_ZEK_MGMT_GET_NUM_NODES, &nodes);
  check(reply.ok && nodes.Status == 0 && count == 1, "one node");

  // Counters: every identifier's answer, and the set codes.
  for (std::uint32_t id = 0x1000; id <= 0x101A; ++id) {
    check((stat(a0, id) != ~std::uint64_t{0}) == (id <= 0x1019), "adapter counter " + std::to_string(id));
  }
  for (std::uint32_t id = 0x2000; id <= 0x203F; ++id) {
    check((stat(a0, id) != ~std::uint64_t{0}) == (id <= 0x203E), "per-port counter " + std::to_string(id));
  }
  check(stat(a0, 0x2000, 15) == stat(a0, 0x2000, 15), "port 15 answers and does not grow");
  check(stat(a0, 0x2000, 16) == ~std::uint64_t{0}, "port 16 is refused");
  for (const DWORD code : {IOCTL_ZEK_MGMT_SET_PSTAT, IOCTL_ZEK_MGMT_SET_NSTAT}) {
    auto s = with_handle<ZekStatsRequest>(a0);
    s.CounterId = code == IOCTL_ZEK_MGMT_SET_PSTAT ? 0x1000 : 0x2000;
    reply = send(code, &s);
    check(reply.ok && reply.bytes == 32 && s.Status == 1, "the counters cannot be set");
  }

  // The debug table.
  struct DebugCase {
    bool set;
    std::uint32_t index;
    std::uint64_t value_in;
    std::uint32_t status;
    std::uint64_t value_out;
  } const debug_cases[] = {
      {true, 0x120005, 77, 0, 77},     {false, 0x120005, 0xAB, 0, 0},  // the two words are distinct
      {false, 0x12010F, 0xAB, 0, 0},   {false, 0x120110, 0xAB, 1, 0xAB}, {false, 0xFFFF, 0xAB, 0, 0},
      {false, 0x10000, 0xAB, 1, 0xAB}, {true, 0x120110, 5, 1, 5},        {true, 0x11FFFF, 5, 1, 5},
  };
  for (const DebugCase& c : debug_cases) {
    auto d = with_handle<ZekMgmtDebugRecord>(a0);
    d.Index = c.index;
    d.Value = c.value_in;
    reply = send(c.set ? IOCTL_ZEK_MGMT_SET_DEBUG : IOCTL_ZEK_MGMT_GET_DEBUG, &d);
    check(reply.ok && d.Status == c.status && d.Value == c.value_out,
          std::string(c.set ? "SET" : "GET") + "_DEBUG of " + std::to_string(c.index));
  }

  // Versions of the default image: firmware 4.1, EEPROM 4.2.
  auto fv = with_handle<ZekMgmtVersionRecord>(a1);
  reply = send(IOCTL_ZEK_MGMT_FLASH_GET_VERSION, &fv);
  check(reply.ok && fv.Status == 0 && fv.Version[0] == 4 && fv.Version[1] == 1, "flash version 4.1");
  auto ev = with_handle<ZekMgmtVersionRecord>(a1);
  reply = send(IOCTL_ZEK_MGMT_EEPROM_GET_VERSION, &ev);
  check(reply.ok && ev.Status == 0 && ev.Version[0] == 4 && ev.Version[1] == 2, "EEPROM version 4.2");

  // Flash: 9 words (one group of 8 and one more) into an erased sector 3,
  // read back, erased at 0x30000.
  check(erase_sector(a0, 3) == 0, "sector 3 erased");
  std::vector<std::uint32_t> words = pattern(3, 9), back(9, 0);
  check(flash(IOCTL_ZEK_MGMT_FLASH_WRITE, a0, 3u << 16, words.data(), 9) == 0, "9 words written");
  check(flash(IOCTL_ZEK_MGMT_FLASH_READ, a1, 3u << 16, back.data(), 9) == 0 && back == words,
        "9 words read back (through the other function)");
  check(erase_sector(a1, 3) == 0, "sector 3 erased again");
  check(flash(IOCTL_ZEK_MGMT_FLASH_READ, a0, 3u << 16, back.data(), 9) == 0 &&
            back == std::vector<std::uint32_t>(9, 0xFFFFFFFF),
        "sector 3 reads erased");
  std::uint32_t zero_words = 0;
  check(flash(IOCTL_ZEK_MGMT_FLASH_READ, a0, 0, nullptr, 0) == 0, "a read of 0 words");

  // Flash ranges and buffers that must be refused, nothing written past the buffer.
  std::uint32_t guarded[4] = {1, 2, 3, 0x600DF00D};
  struct FlashCase {
    const char* name;
    DWORD code;
    std::uint32_t address;
    std::uint32_t* data;
    std::uint32_t count;
  } const flash_cases[] = {
      {"read past the end", IOCTL_ZEK_MGMT_FLASH_READ, ZEK_MGMT_FLASH_BYTES - 4, guarded, 2},
      {"read from the end", IOCTL_ZEK_MGMT_FLASH_READ, ZEK_MGMT_FLASH_BYTES, guarded, 1},
      {"write past the end", IOCTL_ZEK_MGMT_FLASH_WRITE, ZEK_MGMT_FLASH_BYTES - 4, guarded, 2},
      {"unaligned read", IOCTL_ZEK_MGMT_FLASH_READ, 2, guarded, 1},
      {"a count that wraps", IOCTL_ZEK_MGMT_FLASH_READ, 0, guarded, 0x40000001},
      {"a count beyond any buffer", IOCTL_ZEK_MGMT_FLASH_READ, 0, guarded, 0xFFFFFFFF},
      {"null data", IOCTL_ZEK_MGMT_FLASH_READ, 0, nullptr, 3},
      {"data at a foreign address", IOCTL_ZEK_MGMT_FLASH_READ, 0, reinterpret_cast<std::uint32_t*>(0x1000), 3},
      {"write from a foreign address", IOCTL_ZEK_MGMT_FLASH_WRITE, 0, reinterpret_cast<std::uint32_t*>(0x1000), 3},
  };
  for (const FlashCase& c : flash_cases) {
    check(flash(c.code, a0, c.address, c.data, c.count) == 1, std::string("flash: ") + c.name);
  }
  check(guarded[3] == 0x600DF00D && zero_words == 0, "nothing written beyond the caller's buffer");
  check(erase_sector(a0, ZEK_MGMT_FLASH_SECTORS) == 1, "flash: sector 256 is refused");

  // EEPROM: a word beyond the image written, read, erased; ranges past
  // word 1023; the PCI path.
  std::uint16_t w = 0x1234, r16 = 0;
  check(eeprom(IOCTL_ZEK_MGMT_EEPROM_WRITE, a0, 1020, &w, 1) == 0, "EEPROM word 1020 written");
  check(eeprom(IOCTL_ZEK_MGMT_EEPROM_READ, a1, 1020, &r16, 1) == 0 && r16 == 0x1234, "EEPROM word 1020 read");
  check(eeprom_erase(a0, 1020, 1) == 0, "EEPROM word 1020 erased");
  check(eeprom(IOCTL_ZEK_MGMT_EEPROM_READ, a0, 1020, &r16, 1) == 0 && r16 == 0xFFFF, "EEPROM word 1020 reads 0xFFFF");
  std::uint16_t image[4] = {};
  check(eeprom(IOCTL_ZEK_MGMT_EEPROM_READ, a0, 0, image, 4) == 0 && image[0] != 0xFFFF, "the image's first words");
  std::uint16_t guarded16[4] = {1, 2, 3, 0x600D};
  check(eeprom(IOCTL_ZEK_MGMT_EEPROM_READ, a0, 1020, guarded16, 8) == 1, "EEPROM: a read past word 1023");
  check(eeprom(IOCTL_ZEK_MGMT_EEPROM_READ, a0, 1024, guarded16, 1) == 1, "EEPROM: a read from word 1024");
  check(eeprom(IOCTL_ZEK_MGMT_EEPROM_WRITE, a0, 1023, guarded16, 2) == 1, "EEPROM: a write past word 1023");
  check(eeprom(IOCTL_ZEK_MGMT_EEPROM_READ, a0, 0, nullptr, 2) == 1, "EEPROM: null data");
  check(eeprom(IOCTL_ZEK_MGMT_EEPROM_READ, a0, 0, guarded16, 1, ZEK_MGMT_EEPROM_PATH_PCI) == 1,
        "EEPROM: the PCI path is not the proxy driver's");
  check(eeprom_erase(a0, 1000, 30) == 1, "EEPROM: an erase past word 1023");
  check(guarded16[3] == 0x600D, "nothing written beyond the caller's EEPROM buffer");

  // Link state of each port (down: the host is alone on its wire), and a
  // port the board does not have.
  for (std::uint32_t port = 0; port < port_count && port < 2; ++port) {
    auto p = with_handle<ZekMgmtPortControlRecord>(a0);
    p.Port = port;
    reply = send(IOCTL_ZEK_MGMT_GET_PCTRL, &p);
    check(reply.ok && reply.bytes == 24 && p.Status == 0 && p.LinkState == ZEK_MGMT_LINK_DOWN,
          "link state of port " + std::to_string(port));
  }
  auto p = with_handle<ZekMgmtPortControlRecord>(a0);
  p.Port = 4;
  reply = send(IOCTL_ZEK_MGMT_GET_PCTRL, &p);
  check(reply.ok && p.Status == 1, "no port 4");

  // Review tables: the numbering's counts and the page-list chunks side by side.
  auto review = with_handle<ZekReviewRequest>(a0);
  review.Status = 0xEE;
  reply = send(IOCTL_ZEK_MGMT_REVIEW_GET, &review);
  check(reply.ok && reply.bytes == 144 && review.Status == 0, "review tables");
  bool consistent = true;
  for (std::uint32_t t = 0; t < 6; ++t) {
    consistent = consistent && review.Second[8 + t] <= review.Second[t] && review.First[8 + t] <= review.First[t];
  }
  check(consistent && review.Second[0] != 0, "resource counts: in use within what there is");
  check(review.Second[ZEK_REVIEW_MRTE_INITIAL_256] + review.Second[ZEK_REVIEW_MRTE_INITIAL_4K] != 0 &&
            review.Second[ZEK_REVIEW_MRTE_USED_256] <= review.Second[ZEK_REVIEW_MRTE_INITIAL_256] &&
            review.Second[ZEK_REVIEW_MRTE_USED_4K] <= review.Second[ZEK_REVIEW_MRTE_INITIAL_4K],
        "page-list chunks in their own words");

  // The reset pulse: its waits are whole seconds; meanwhile the EEPROM lock
  // refuses another request, which then leaves the EEPROM as it was.
  // The pulse itself may find the lock taken by a write of the loop below:
  // it is tried again until it runs.
  std::atomic<bool> reset_done{false};
  std::uint32_t reset_status = 0xBAD;
  double seconds = 0;
  std::thread resetter([&] {
    t_proxy = open_proxy();
    for (int attempt = 0; attempt < 100 && reset_status != 0; ++attempt) {
      const auto started = std::chrono::steady_clock::now();
      reset_status = reset_wait(a0);
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    }
    CloseHandle(t_proxy);
    reset_done = true;
  });
  std::uint16_t last = 0xFFFF;
  bool refused = false;
  for (std::uint16_t value = 1; !reset_done && !refused; ++value) {
    std::uint16_t v = value;
    const std::uint32_t s = eeprom(IOCTL_ZEK_MGMT_EEPROM_WRITE, a1, 1021, &v, 1);
    if (s == 0) {
      last = value;
    } else {
      refused = true;
      // A flash write reads the EEPROM's software section: it needs the
      // EEPROM lock too and is refused while the pulse holds it, leaving
      // the (erased) sector as it was; a flash read needs only the flash lock.
      std::vector<std::uint32_t> probe = pattern(11, 2), seen(2, 0);
      check(flash(IOCTL_ZEK_MGMT_FLASH_WRITE, a1, 3u << 16, probe.data(), 2) != 0,
            "a flash write is refused while the reset pulse holds the EEPROM lock");
      check(flash(IOCTL_ZEK_MGMT_FLASH_READ, a1, 3u << 16, seen.data(), 2) == 0 &&
                seen == std::vector<std::uint32_t>(2, 0xFFFFFFFF),
            "a flash read meanwhile finds the sector unchanged");
      std::uint16_t now = 0;
      // Reads are refused too while the pulse runs: read once it is over.
      resetter.join();
      check(eeprom(IOCTL_ZEK_MGMT_EEPROM_READ, a1, 1021, &now, 1) == 0 && now == last,
            "a refused EEPROM write changes nothing");
    }
  }
  if (resetter.joinable()) resetter.join();
  check(refused, "the EEPROM lock refused a write during the reset pulse");
  check(reset_status == 0 && seconds >= 2.9, "the reset pulse with its full waits (" + std::to_string(seconds) + " s)");
  check(eeprom_erase(a1, 1021, 1) == 0, "EEPROM word 1021 erased");

  // Malformed requests: short buffers, a code the handler does not know.
  ZekFlashRequest short_flash{};
  reply = send(IOCTL_ZEK_MGMT_FLASH_READ, &short_flash, 31);
  check(!reply.ok && reply.error == ERROR_INSUFFICIENT_BUFFER, "a short flash record");
  ZekReviewRequest short_review{};
  reply = send(IOCTL_ZEK_MGMT_REVIEW_GET, &short_review, 100);
  check(!reply.ok && reply.error == ERROR_INSUFFICIENT_BUFFER, "a short review record");
  std::uint8_t unknown[32] = {};
  reply = send(0x12D2B4, &unknown);
  check(!reply.ok, "an unrouted code next to the management codes");

  // The log requests are still the handler's.
  ZekLogBufParam log{};
  reply = send(IOCTL_ZEK_GET_LOG_BUF_SIZE, &log);
  check(reply.ok && log.Size == ZEK_LOG_BUF_BYTES, "the log's size");
}

// ---- Counters after traffic -----------------------------------------------------------------------------------
// A port of this process on the lab wire: the board's link follows it, and
// frames sent from it reach every other port there.
class WirePort {
 public:
  WirePort(const std::filesystem::path& lab, const char* name) : wire_(lab / "wire"), path_((wire_ / name).string()) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un self{};
    self.sun_family = AF_UNIX;
    std::snprintf(self.sun_path, sizeof self.sun_path, "%s", path_.c_str());
    ::unlink(path_.c_str());
    bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&self), sizeof self) == 0;
  }
  ~WirePort() {
    if (fd_ >= 0) ::close(fd_);
    ::unlink(path_.c_str());
  }
  WirePort(const WirePort&) = delete;
  WirePort& operator=(const WirePort&) = delete;
  bool bound() const { return bound_; }

  // `frame` to every other port on the wire, `times` times (byte 59 counts
  // up where the frame is all padding there); the number of frames sent.
  int send(std::vector<std::uint8_t> frame, int times) {
    int sent = 0;
    for (const auto& entry : std::filesystem::directory_iterator(wire_)) {
      if (entry.path().extension() != ".sock" || entry.path() == path_) continue;
      sockaddr_un peer{};
      peer.sun_family = AF_UNIX;
      std::snprintf(peer.sun_path, sizeof peer.sun_path, "%s", entry.path().c_str());
      for (int i = 0; i < times; ++i) {
        if (::sendto(fd_, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer) ==
            static_cast<ssize_t>(frame.size())) {
          ++sent;
        }
      }
    }
    return sent;
  }

 private:
  std::filesystem::path wire_;
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

constexpr std::uint8_t kClientMac[6] = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};
constexpr std::uint8_t kClientIp[4] = {10, 79, 0, 9};

std::vector<std::uint8_t> ethernet(std::uint16_t type) {
  std::vector<std::uint8_t> f(60, 0);
  std::memset(f.data(), 0xFF, 6);
  std::memcpy(f.data() + 6, kClientMac, 6);
  f[12] = static_cast<std::uint8_t>(type >> 8);
  f[13] = static_cast<std::uint8_t>(type);
  return f;
}

// A UDP datagram to the broadcast address (46 bytes of IPv4 in 60 of frame).
constexpr std::size_t kUdpDatagramBytes = 46;
std::vector<std::uint8_t> udp_broadcast() {
  std::vector<std::uint8_t> f = ethernet(0x0800);
  std::uint8_t* ip = f.data() + 14;
  ip[0] = 0x45;
  ip[3] = kUdpDatagramBytes;
  ip[8] = 64;
  ip[9] = 17;
  std::memcpy(ip + 12, kClientIp, 4);
  std::memset(ip + 16, 0xFF, 4);
  std::uint32_t sum = 0;
  for (int i = 0; i < 20; i += 2) sum += std::uint32_t{ip[i]} << 8 | ip[i + 1];
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  ip[10] = static_cast<std::uint8_t>(~sum >> 8);
  ip[11] = static_cast<std::uint8_t>(~sum);
  std::uint8_t* udp = ip + 20;
  udp[1] = 9;  // discard, from and to
  udp[3] = 9;
  udp[5] = kUdpDatagramBytes - 20;
  return f;
}

// Who has `target`? From the client's addresses.
std::vector<std::uint8_t> arp_request(const std::uint8_t (&target)[4]) {
  std::vector<std::uint8_t> f = ethernet(0x0806);
  const std::uint8_t head[8] = {0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01};
  std::memcpy(f.data() + 14, head, 8);
  std::memcpy(f.data() + 22, kClientMac, 6);
  std::memcpy(f.data() + 28, kClientIp, 4);
  std::memcpy(f.data() + 38, target, 4);
  return f;
}

// Counters of function 0 (the adapter's, and node 0 of its port) before and
// after real traffic on the lab wire: broadcast frames, UDP datagrams and
// ARP requests for function 0's address, which its stack answers.
void counters(const std::filesystem::path& lab) {
  constexpr int kFrames = 40, kDatagrams = 10, kRequests = 5;
  constexpr std::uint32_t kRxFrames = 0x1002, kRxBytes = 0x1006, kRxDropped = 0x1012;
  // Node 0's counters (per-port identifiers).
  constexpr std::uint32_t kNodeRxBcast = 0x201C, kNodeRxDiscard = 0x201D, kNodeRxFrames = 0x201E,
                          kNodeRxOctets = 0x2020, kNodeIpv4RxDg = 0x2004, kNodeIpv4RxOctets = 0x2009,
                          kNodeTxFrames = 0x2029, kNodeTxOctets = 0x202B;
  const std::uint32_t ids[] = {kRxFrames,         kRxBytes,      kRxDropped,    kNodeRxBcast,
                               kNodeRxDiscard,    kNodeRxFrames, kNodeRxOctets, kNodeIpv4RxDg,
                               kNodeIpv4RxOctets, kNodeTxFrames, kNodeTxOctets};
  const std::uint64_t a0 = open_adapter(0);
  std::map<std::uint32_t, std::uint64_t> before, now;
  for (const std::uint32_t id : ids) {
    before[id] = stat(a0, id);
    check(before[id] != ~std::uint64_t{0}, "counter " + std::to_string(id) + " answers");
  }
  WirePort port(lab, "mgmt-client.sock");
  check(port.bound(), "a port on the lab wire");
  std::vector<std::uint8_t> frame = ethernet(0x88B5);
  int sent = 0;
  for (int i = 0; i < kFrames; ++i) {
    frame[14] = static_cast<std::uint8_t>(i);
    sent += port.send(frame, 1);
  }
  const int frames_sent = sent;
  sent += port.send(udp_broadcast(), kDatagrams);
  const std::uint8_t f0_address[4] = {10, 79, 0, 1};
  sent += port.send(arp_request(f0_address), kRequests);
  check(sent >= kFrames + kDatagrams + kRequests, "frames sent on the lab wire");
  const auto delta = [&](std::uint32_t id) { return now[id] - before[id]; };
  // Totals only grow: each read adds what the adapter counted since the last.
  now = before;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < end) {
    bool grew = true;
    for (const std::uint32_t id : ids) {
      const std::uint64_t v = stat(a0, id);
      check(v >= now[id] && v != ~std::uint64_t{0}, "the total of " + std::to_string(id) + " never shrinks");
      now[id] = v;
    }
    grew = delta(kRxFrames) + delta(kRxDropped) >= static_cast<std::uint64_t>(sent) &&
           delta(kNodeRxFrames) + delta(kNodeRxDiscard) >= static_cast<std::uint64_t>(sent) &&
           delta(kNodeTxFrames) >= 1;
    if (grew) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::printf(
      "port: %llu frames received, %llu dropped; node 0: %llu received (%llu broadcast), %llu dropped, "
      "%llu IPv4 datagrams in, %llu frames sent\n",
      static_cast<unsigned long long>(delta(kRxFrames)), static_cast<unsigned long long>(delta(kRxDropped)),
      static_cast<unsigned long long>(delta(kNodeRxFrames)), static_cast<unsigned long long>(delta(kNodeRxBcast)),
      static_cast<unsigned long long>(delta(kNodeRxDiscard)), static_cast<unsigned long long>(delta(kNodeIpv4RxDg)),
      static_cast<unsigned long long>(delta(kNodeTxFrames)));
  check(delta(kRxFrames) + delta(kRxDropped) >= static_cast<std::uint64_t>(sent),
        "every frame counted on function 0's port");
  check(delta(kRxBytes) >= 60 * delta(kRxFrames), "received bytes follow the frames");
  check(delta(kNodeRxFrames) + delta(kNodeRxDiscard) >= static_cast<std::uint64_t>(sent),
        "every frame counted in node 0 of function 0's port");
  check(delta(kNodeRxBcast) >= std::min<std::uint64_t>(delta(kNodeRxFrames), frames_sent) &&
            delta(kNodeRxBcast) <= delta(kNodeRxFrames),
        "node 0: the broadcast frames among those received");
  check(delta(kNodeRxOctets) >= 60 * delta(kNodeRxFrames), "node 0: received bytes follow the frames");
  check(delta(kNodeIpv4RxDg) + delta(kNodeRxDiscard) >= kDatagrams, "node 0: the IPv4 datagrams received");
  check(delta(kNodeIpv4RxOctets) >= kUdpDatagramBytes * std::min<std::uint64_t>(delta(kNodeIpv4RxDg), kDatagrams),
        "node 0: the IPv4 bytes received");
  check(delta(kNodeTxFrames) >= 1 && delta(kNodeTxOctets) >= 42 * delta(kNodeTxFrames),
        "node 0: function 0's answers counted as sent");
  // The other function's node block is not function 0's: port 1 of this
  // handle is block 1, function 1's own node 0, which saw the broadcasts too.
  check(stat(a0, kNodeRxFrames, 1) + stat(a0, kNodeRxDiscard, 1) >= static_cast<std::uint64_t>(frames_sent),
        "block 1 counts function 1's frames");
}

// ---- Link state ----------------------------------------------------------------------------------------------------
// The link state of `port` through the handle's board; 0 when the request failed.
std::uint32_t link_state(std::uint64_t handle, std::uint32_t port) {
  auto p = with_handle<ZekMgmtPortControlRecord>(handle);
  p.Port = port;
  p.Status = 0xEE;
  const Reply reply = send(IOCTL_ZEK_MGMT_GET_PCTRL, &p);
  return reply.ok && p.Status == 0 ? p.LinkState : 0;
}

bool link_becomes(std::uint64_t handle, std::uint32_t port, std::uint32_t state) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < end) {
    if (link_state(handle, port) == state) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// Alone on the wire the link reads down; with a peer there it reads up on
// both functions' ports (the miniport has brought each NIC up); when the
// peer goes, down again.
void link(const std::filesystem::path& lab) {
  const std::uint64_t a0 = open_adapter(0);
  const std::uint64_t a1 = open_adapter(1);
  check(link_becomes(a0, 0, ZEK_MGMT_LINK_DOWN), "no peer on the wire: port 0 down");
  {
    WirePort peer(lab, "mgmt-link.sock");
    check(peer.bound(), "a peer on the lab wire");
    check(link_becomes(a0, 0, ZEK_MGMT_LINK_UP), "a peer on the wire: port 0 up");
    check(link_becomes(a1, 1, ZEK_MGMT_LINK_UP), "a peer on the wire: port 1 up");
    check(link_state(a0, 1) == ZEK_MGMT_LINK_UP, "port 1 through the other function's handle");
  }
  check(link_becomes(a0, 0, ZEK_MGMT_LINK_DOWN), "the peer gone: port 0 down");
  check(link_becomes(a1, 1, ZEK_MGMT_LINK_DOWN), "the peer gone: port 1 down");
}

// ---- Written images across host restarts ----------------------------------------------------------------------
void store() {
  const std::uint64_t a0 = open_adapter(0);
  std::vector<std::uint32_t> a = pattern(kSectorA, 20), b = pattern(kSectorB, 12);
  check(erase_sector(a0, kSectorA) == 0 && erase_sector(a0, kSectorB) == 0, "sectors 5 and 6 erased");
  check(flash(IOCTL_ZEK_MGMT_FLASH_WRITE, a0, kSectorA << 16, a.data(), 20) == 0, "sector 5 written");
  check(flash(IOCTL_ZEK_MGMT_FLASH_WRITE, a0, kSectorB << 16, b.data(), 12) == 0, "sector 6 written");
  std::uint16_t words[4] = {0xA5A5, 0x0102, 0xBEEF, 0x0000};
  check(eeprom(IOCTL_ZEK_MGMT_EEPROM_WRITE, a0, kEepromAt, words, 4) == 0, "EEPROM words written");
}

void stored() {
  const std::uint64_t a1 = open_adapter(1);
  std::vector<std::uint32_t> a(20), b(12);
  check(flash(IOCTL_ZEK_MGMT_FLASH_READ, a1, kSectorA << 16, a.data(), 20) == 0 && a == pattern(kSectorA, 20),
        "sector 5 as written before the restart");
  check(flash(IOCTL_ZEK_MGMT_FLASH_READ, a1, kSectorB << 16, b.data(), 12) == 0 && b == pattern(kSectorB, 12),
        "sector 6 as written before the restart");
  std::uint16_t words[4] = {};
  check(eeprom(IOCTL_ZEK_MGMT_EEPROM_READ, a1, kEepromAt, words, 4) == 0 && words[0] == 0xA5A5 && words[1] == 0x0102 &&
            words[2] == 0xBEEF && words[3] == 0,
        "EEPROM words as written before the restart");
  check(erase_sector(a1, kSectorB) == 0, "sector 6 erased");
  check(eeprom_erase(a1, kEepromAt, 4) == 0, "EEPROM words erased");
}

void erased() {
  const std::uint64_t a0 = open_adapter(0);
  std::vector<std::uint32_t> a(20), b(12);
  check(flash(IOCTL_ZEK_MGMT_FLASH_READ, a0, kSectorB << 16, b.data(), 12) == 0 &&
            b == std::vector<std::uint32_t>(12, 0xFFFFFFFF),
        "sector 6 erased before the restart");
  check(flash(IOCTL_ZEK_MGMT_FLASH_READ, a0, kSectorA << 16, a.data(), 20) == 0 && a == pattern(kSectorA, 20),
        "sector 5 untouched by the erase of sector 6");
  std::uint16_t words[4] = {};
  check(eeprom(IOCTL_ZEK_MGMT_EEPROM_READ, a0, kEepromAt, words, 4) == 0 && words[0] == 0xFFFF && words[3] == 0xFFFF,
        "EEPROM words erased before the restart");
}

// ---- An unprivileged caller ----------------------------------------------------------------------------------
void unprivileged() {
  // The handle is opened while privileged; the requests come after the drop.
  const std::uint64_t a0 = open_adapter(0);
  std::uint16_t word = 0;
  check(eeprom(IOCTL_ZEK_MGMT_EEPROM_READ, a0, 1022, &word, 1) == 0, "privileged: EEPROM word 1022 read");
  const std::uint16_t before = word;
  std::vector<std::uint32_t> sector(4);
  check(flash(IOCTL_ZEK_MGMT_FLASH_READ, a0, 7u << 16, sector.data(), 4) == 0, "privileged: sector 7 read");
  if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) {
    check(false, "dropping privileges");
    return;
  }
  // The process is not dumpable now, so its /proc entry still reads as the
  // administrator's: the driver must go by the effective user id.
  std::uint16_t other = static_cast<std::uint16_t>(before ^ 0x5555);
  check(eeprom(IOCTL_ZEK_MGMT_EEPROM_WRITE, a0, 1022, &other, 1) == 1, "unprivileged: EEPROM write refused");
  check(eeprom_erase(a0, 1022, 1) == 1, "unprivileged: EEPROM erase refused");
  std::vector<std::uint32_t> zeros(4, 0);
  check(flash(IOCTL_ZEK_MGMT_FLASH_WRITE, a0, 7u << 16, zeros.data(), 4) == 1, "unprivileged: flash write refused");
  check(erase_sector(a0, 7) == 1, "unprivileged: flash erase refused");
  check(reset_wait(a0) == 1, "unprivileged: reset refused");
  // Reads stay open, and show nothing changed.
  check(eeprom(IOCTL_ZEK_MGMT_EEPROM_READ, a0, 1022, &word, 1) == 0 && word == before,
        "unprivileged: EEPROM read, unchanged");
  std::vector<std::uint32_t> again(4);
  check(flash(IOCTL_ZEK_MGMT_FLASH_READ, a0, 7u << 16, again.data(), 4) == 0 && again == sector,
        "unprivileged: flash read, unchanged");
  check(stat(a0, 0x1000) != ~std::uint64_t{0}, "unprivileged: counters");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string mode = argv[1];
  g_proxy = open_proxy();
  if (g_proxy == INVALID_HANDLE_VALUE) {
    std::printf("FAILED: opening zekproxy (%lu)\n", static_cast<unsigned long>(GetLastError()));
    return 2;
  }
  if (mode == "cases") {
    cases();
  } else if (mode == "counters" && argc == 3) {
    counters(argv[2]);
  } else if (mode == "link" && argc == 3) {
    link(argv[2]);
  } else if (mode == "store") {
    store();
  } else if (mode == "stored") {
    stored();
  } else if (mode == "erased") {
    erased();
  } else if (mode == "unprivileged") {
    unprivileged();
  } else {
    return 2;
  }
  CloseHandle(g_proxy);
  std::printf("%d failures\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
