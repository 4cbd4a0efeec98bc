// The SAN switch: the WinSock side of the SAN service-provider interface.
//
// A provider is named by a REG_BINARY value (its 16-byte id) of
// HKLM\SYSTEM\CurrentControlSet\Services\Winsock\Parameters\TCP on SAN; its
// subkey {id} gives SendBuffers and ReceiveBuffers. The switch loads it from
// the catalog entry of that id, starts it with WSPStartupEx and asks it for
// the addresses it serves (SIO_ADDRESS_LIST_QUERY). A stream socket bound
// to one of them gets a provider socket bound to the same address and port;
// connect tries the provider first and falls back to native TCP, accept
// takes whatever comes first on either.
//
// On a connection the provider carries, data travels as messages into
// receive buffers that each side posts (RDMA sends: a message needs a
// posted buffer). Each message starts with a 16-byte header
//   u32 magic "ZWSW" | u8 kind (1 data, 2 credit, 3 end) | 3 bytes 0 | u32 length | u32 credits
// where credits announces receive buffers posted since the last message.
// The connecting side begins with one credit (the accepting side's first
// receive, posted before the provider hands the connection over) and spends
// it announcing its buffers; data needs two credits, so the last is kept
// for announcing credit, which a side does once half its buffers are
// unannounced.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "platform/common/hostdir.h"
#include "platform/common/regstore.h"
#include "platform/common/text.h"
#include "platform/winsock/catalog.h"
#include "platform/winsock/sanswitch.h"
#include "platform/winsock/ws2spi.h"

namespace plat::ws {
namespace {

constexpr std::uint32_t kMagic = 0x5753575A;  // "ZWSW"
constexpr std::uint8_t kData = 1;
constexpr std::uint8_t kCredit = 2;
constexpr std::uint8_t kEnd = 3;
struct Header {
  std::uint32_t magic;
  std::uint8_t kind;
  std::uint8_t reserved[3];
  std::uint32_t length;
  std::uint32_t credits;
};
static_assert(sizeof(Header) == 16);
constexpr std::size_t kBufferSize = 8192;
constexpr std::size_t kPayload = kBufferSize - sizeof(Header);
constexpr auto kClosePatience = std::chrono::seconds(5);
constexpr std::u16string_view kTcpOnSan =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Winsock\\Parameters\\TCP on SAN";

struct Provider {
  GUID id{};
  WSAPROTOCOL_INFOW info{};
  HMODULE module = nullptr;
  WSPPROC_TABLE procs{};
  std::vector<std::uint32_t> addresses;  // network order
  LPFN_WSPREGISTERMEMORY register_memory = nullptr;
  LPFN_WSPDEREGISTERMEMORY deregister_memory = nullptr;
  int send_buffers = 32;
  int receive_buffers = 32;
  bool serves(std::uint32_t address) const {
    return address == 0 || std::find(addresses.begin(), addresses.end(), address) != addresses.end();
  }
};

// ZEK_WS_TRACE in the environment: the switch says on standard error when a
// connection fails and what a long wait waits for.
bool tracing() {
  static const bool on = std::getenv("ZEK_WS_TRACE") != nullptr;
  return on;
}

struct Buffer {
  OVERLAPPED overlapped{};
  std::byte* data = nullptr;
  bool busy = false;
};

struct Segment {
  int buffer;
  std::size_t offset;
  std::size_t length;
};

struct AsyncOp {
  bool send;
  std::vector<std::span<std::byte>> buffers;
  int flags;
  LPOVERLAPPED overlapped;
};

}  // namespace

struct SanLink : std::enable_shared_from_this<SanLink> {
  enum class State { Bound, Listening, Connected, Closed };
  ~SanLink();

  Provider* provider = nullptr;
  SOCKET ps = INVALID_SOCKET;  // the provider's socket
  std::atomic<State> state{State::Bound};
  Address local, peer;
  bool accepting_side = false;
  HANDLE event = nullptr;  // FD_ACCEPT (listening) or FD_CONNECT (connecting), auto reset
  HANDLE abort = nullptr;  // set when the socket closes
  int ready = -1;          // eventfd: readable while there is something to read or accept

  std::mutex mu;
  std::condition_variable cv;
  bool ready_set = false;
  int pending_accepts = 0;
  // A carried connection.
  std::byte* rx_memory = nullptr;
  std::byte* tx_memory = nullptr;
  HANDLE rx_registration = nullptr;
  HANDLE tx_registration = nullptr;
  std::vector<Buffer> rx, tx;
  std::vector<int> free_tx;
  std::vector<int> reposts;
  std::deque<Segment> data;
  std::uint32_t credits = 0;    // the peer's buffers this side may still fill
  std::uint32_t posted = 0;     // receives posted in all
  std::uint32_t announced = 0;  // of them, those the peer knows of
  bool end_received = false, end_sent = false, receive_shut = false;
  bool failed = false;  // the connection broke: nothing more to receive
  int error = 0;
  // A send that failed: no more sends, while what the peer sent before its
  // end can still be received (a peer that has ended and gone refuses our credit).
  bool send_failed = false;
  int send_error = 0;
  bool closing = false;
  bool queued = false;  // waits for the switch's worker
  // Overlapped transfers, run in order by a thread of the link.
  std::deque<AsyncOp> async;
  std::weak_ptr<Socket> socket;
  bool async_running = false;

  std::uint32_t unannounced() const { return posted - announced; }
  std::uint32_t threshold() const { return std::max<std::uint32_t>(1, static_cast<std::uint32_t>(rx.size()) / 2); }
  bool readable() const { return !data.empty() || end_received || failed || pending_accepts > 0; }
  // Under mu: the ready fd follows readable().
  void update_ready() {
    const bool now = readable();
    if (now == ready_set || ready < 0) return;
    std::uint64_t value = 1;
    if (now) {
      const ssize_t ignored = ::write(ready, &value, sizeof value);
      (void)ignored;
    } else {
      const ssize_t ignored = ::read(ready, &value, sizeof value);
      (void)ignored;
    }
    ready_set = now;
  }
  // Under mu.
  void fail(int why) {
    if (!failed) {
      if (tracing()) std::fprintf(stderr, "[%d] san link %p fails: %d\n", getpid(), static_cast<void*>(this), why);
      failed = true;
      error = why;
    }
    update_ready();
    cv.notify_all();
  }
  // Under mu.
  void fail_send(int why) {
    if (!send_failed) {
      send_failed = true;
      send_error = why;
    }
    cv.notify_all();
  }
  // Credit is still announced after this side's end (the peer may still be
  // sending), and no longer after the peer's.
  bool credit_due() const {
    return state == State::Connected && !failed && !send_failed && !end_received && credits >= 1 && !free_tx.empty() &&
           unannounced() >= threshold();
  }
  bool control_due() const { return !reposts.empty() || credit_due(); }
  bool send_broken() const { return failed || send_failed; }
  int send_broken_error() const { return send_failed ? send_error : error; }
};

namespace {

// ---- Which link an OVERLAPPED of the switch belongs to -----------------------------------------

std::mutex& owners_mu() {
  static auto* mu = new std::mutex;
  return *mu;
}
std::map<LPOVERLAPPED, std::weak_ptr<SanLink>>& owners() {
  static auto* m = new std::map<LPOVERLAPPED, std::weak_ptr<SanLink>>;
  return *m;
}

// ---- The switch's socket handles (upcalls 1 and 3) ----------------------------------------------

struct HandleEntry {
  DWORD catalog;
  DWORD_PTR context;
};
std::mutex& handles_mu() {
  static auto* mu = new std::mutex;
  return *mu;
}
std::map<SOCKET, HandleEntry>& switch_handles() {
  static auto* m = new std::map<SOCKET, HandleEntry>;
  return *m;
}
SOCKET g_next_handle = 0x5A000004;

void service(const std::shared_ptr<SanLink>& link);

class Switch {
 public:
  static Switch& get() {
    static auto* s = new Switch;
    return *s;
  }

  // The provider that serves a local address, loading the providers once.
  Provider* provider_for(std::uint32_t address) {
    if (loading_thread_ == std::this_thread::get_id()) return nullptr;  // a provider's own sockets, while it starts
    std::lock_guard lock(mu_);
    if (!loaded_) {
      loading_thread_ = std::this_thread::get_id();
      load();
      loading_thread_ = {};
      loaded_ = true;
    }
    for (auto& p : providers_) {
      if (p->serves(address)) return p.get();
    }
    return nullptr;
  }

  void queue(const std::shared_ptr<SanLink>& link) {
    {
      std::lock_guard lock(link->mu);
      if (link->queued) return;
      link->queued = true;
    }
    std::lock_guard lock(work_mu_);
    work_.push_back(link);
    work_cv_.notify_one();
  }

  void watch(const std::shared_ptr<SanLink>& link) {
    std::lock_guard lock(pump_mu_);
    watched_.push_back(link);
    SetEvent(pump_control_);
  }

  void unwatch(SanLink* link) {
    std::lock_guard lock(pump_mu_);
    std::erase_if(watched_, [&](const std::weak_ptr<SanLink>& w) {
      auto l = w.lock();
      return !l || l.get() == link;
    });
    SetEvent(pump_control_);
  }

  void cleanup() {
    std::lock_guard lock(mu_);
    for (auto& p : providers_) {
      int error = 0;
      if (p->procs.lpWSPCleanup != nullptr) p->procs.lpWSPCleanup(&error);
      retired_.push_back(std::move(p));  // links may still point at it; the library stays loaded
    }
    providers_.clear();
    loaded_ = false;
  }

 private:
  Switch() {
    pump_control_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::thread([this] { work(); }).detach();
    std::thread([this] { pump(); }).detach();
  }

  void load();
  std::unique_ptr<Provider> start(const GUID& id, int send_buffers, int receive_buffers);

  // Reposts receive buffers and announces credit, off the threads of the provider's completions.
  void work() {
    for (;;) {
      std::shared_ptr<SanLink> link;
      {
        std::unique_lock lock(work_mu_);
        work_cv_.wait(lock, [&] { return !work_.empty(); });
        link = work_.front().lock();
        work_.pop_front();
      }
      if (!link) continue;
      {
        std::lock_guard lock(link->mu);
        link->queued = false;
      }
      service(link);
    }
  }

  // Waits for FD_ACCEPT on every listening link and counts the connections that wait.
  void pump() {
    for (;;) {
      std::vector<std::shared_ptr<SanLink>> links;
      std::vector<HANDLE> events{pump_control_};
      {
        std::lock_guard lock(pump_mu_);
        for (auto& w : watched_) {
          auto link = w.lock();
          if (!link || events.size() == 64) continue;
          links.push_back(link);
          events.push_back(link->event);
        }
      }
      const DWORD r = WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(), FALSE, INFINITE);
      if (r == WAIT_FAILED) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // a handle closed under the wait: look again
        continue;
      }
      if (r == WAIT_OBJECT_0 || r >= WAIT_OBJECT_0 + events.size()) continue;
      auto& link = links[r - WAIT_OBJECT_0 - 1];
      std::lock_guard lock(link->mu);
      if (link->state != SanLink::State::Listening) continue;
      WSANETWORKEVENTS events_seen{};
      int error = 0;
      if (link->provider->procs.lpWSPEnumNetworkEvents(link->ps, link->event, &events_seen, &error) == 0 &&
          (events_seen.lNetworkEvents & FD_ACCEPT) && events_seen.iErrorCode[FD_ACCEPT_BIT] == 0) {
        ++link->pending_accepts;
        link->update_ready();
        link->cv.notify_all();
      }
    }
  }

  std::recursive_mutex mu_;
  bool loaded_ = false;
  std::thread::id loading_thread_;
  std::vector<std::unique_ptr<Provider>> providers_;
  std::vector<std::unique_ptr<Provider>> retired_;
  std::mutex work_mu_;
  std::condition_variable work_cv_;
  std::deque<std::weak_ptr<SanLink>> work_;
  std::mutex pump_mu_;
  std::vector<std::weak_ptr<SanLink>> watched_;
  HANDLE pump_control_ = nullptr;
};

// ---- The upcalls ----------------------------------------------------------------------------------

BOOL close_event(WSAEVENT hEvent, LPINT lpErrno) {
  if (CloseHandle(hEvent)) return TRUE;
  *lpErrno = WSA_INVALID_HANDLE;
  return FALSE;
}
WSAEVENT create_event(LPINT lpErrno) {
  HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (e == nullptr) *lpErrno = WSA_NOT_ENOUGH_MEMORY;
  return e;
}
int fd_is_set(SOCKET s, fd_set* set) { return __WSAFDIsSet(s, set); }
int get_provider_path(LPGUID id, WCHAR* path, LPINT length, LPINT lpErrno) {
  return WSCGetProviderPath(id, path, length, lpErrno);
}
SOCKET modify_ifs_handle(DWORD, SOCKET proposed, LPINT) { return proposed; }
BOOL post_message(HWND, unsigned int, WPARAM, LPARAM) { return FALSE; }  // no windows here
int query_blocking_callback(DWORD, LPBLOCKINGCALLBACK* callback, PDWORD_PTR context, LPINT) {
  if (callback != nullptr) *callback = nullptr;
  if (context != nullptr) *context = 0;
  return 0;
}
int queue_apc(LPWSATHREADID, void (*)(DWORD_PTR), DWORD_PTR, LPINT lpErrno) {
  *lpErrno = WSAEOPNOTSUPP;  // no APCs on this platform
  return SOCKET_ERROR;
}
BOOL reset_event(WSAEVENT e, LPINT lpErrno) {
  if (ResetEvent(e)) return TRUE;
  *lpErrno = WSA_INVALID_HANDLE;
  return FALSE;
}
BOOL set_event(WSAEVENT e, LPINT lpErrno) {
  if (SetEvent(e)) return TRUE;
  *lpErrno = WSA_INVALID_HANDLE;
  return FALSE;
}
int open_current_thread(LPWSATHREADID id, LPINT lpErrno) {
  if (id == nullptr) {
    *lpErrno = WSAEFAULT;
    return SOCKET_ERROR;
  }
  id->ThreadHandle = GetCurrentThread();
  id->Reserved = GetCurrentThreadId();
  return 0;
}
int close_thread(LPWSATHREADID, LPINT) { return 0; }

const WSPUPCALLTABLEEX kUpcalls = {
    close_event,
    WPUCloseSocketHandle,
    create_event,
    WPUCreateSocketHandle,
    fd_is_set,
    get_provider_path,
    modify_ifs_handle,
    post_message,
    query_blocking_callback,
    WPUQuerySocketHandleContext,
    queue_apc,
    reset_event,
    set_event,
    open_current_thread,
    close_thread,
    WPUCompleteOverlappedRequest,
};

int accept_everyone(LPWSABUF, LPWSABUF, LPQOS, LPQOS, LPWSABUF, LPWSABUF, GROUP*, DWORD_PTR) { return CF_ACCEPT; }

std::vector<std::uint32_t> parse_address_list(const std::byte* buffer, DWORD bytes) {
  std::vector<std::uint32_t> out;
  if (bytes < sizeof(INT)) return out;
  const auto* list = reinterpret_cast<const SOCKET_ADDRESS_LIST*>(buffer);
  for (INT i = 0; i < list->iAddressCount; ++i) {
    const auto* entry = reinterpret_cast<const std::byte*>(&list->Address[i]);
    if (entry + sizeof(SOCKET_ADDRESS) > buffer + bytes) break;
    const sockaddr* address = list->Address[i].lpSockaddr;
    if (address == nullptr || list->Address[i].iSockaddrLength < static_cast<INT>(sizeof(sockaddr_in))) continue;
    if (address->sa_family != AF_INET) continue;
    out.push_back(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
  }
  return out;
}

template <typename F>
F extension(Provider& p, SOCKET probe, const GUID& id) {
  void* function = nullptr;
  DWORD bytes = 0;
  int error = 0;
  GUID guid = id;
  if (p.procs.lpWSPIoctl == nullptr ||
      p.procs.lpWSPIoctl(probe, SIO_GET_EXTENSION_FUNCTION_POINTER, &guid, sizeof guid, &function, sizeof function,
                         &bytes, nullptr, nullptr, nullptr, &error) != 0) {
    return nullptr;
  }
  return reinterpret_cast<F>(function);
}

std::unique_ptr<Provider> Switch::start(const GUID& id, int send_buffers, int receive_buffers) {
  auto entry = catalog_provider(id);
  if (!entry || entry->path.empty()) return nullptr;
  auto p = std::make_unique<Provider>();
  p->id = id;
  p->info = entry->info;
  p->send_buffers = std::clamp(send_buffers, 2, 1024);
  p->receive_buffers = std::clamp(receive_buffers, 2, 1024);
  p->module = LoadLibraryW(reinterpret_cast<LPCWSTR>(entry->path.c_str()));
  if (p->module == nullptr) return nullptr;
  auto startup = reinterpret_cast<LPWSPSTARTUPEX>(GetProcAddress(p->module, "WSPStartupEx"));
  WSPDATA data{};
  WSPUPCALLTABLEEX upcalls = kUpcalls;
  if (startup == nullptr || startup(MAKEWORD(2, 2), &data, &p->info, &upcalls, &p->procs) != 0) {
    FreeLibrary(p->module);
    return nullptr;
  }
  const auto& procs = p->procs;
  auto stop = [&] {
    int error = 0;
    if (procs.lpWSPCleanup != nullptr) procs.lpWSPCleanup(&error);
    FreeLibrary(p->module);
    return nullptr;
  };
  if (procs.lpWSPSocket == nullptr || procs.lpWSPBind == nullptr || procs.lpWSPCloseSocket == nullptr ||
      procs.lpWSPConnect == nullptr || procs.lpWSPRecv == nullptr || procs.lpWSPSend == nullptr ||
      procs.lpWSPEventSelect == nullptr || procs.lpWSPEnumNetworkEvents == nullptr || procs.lpWSPIoctl == nullptr) {
    return stop();
  }
  // A socket to ask what the provider serves; the answer points into it.
  int error = 0;
  SOCKET probe = procs.lpWSPSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP, &p->info, 0, WSA_FLAG_OVERLAPPED, &error);
  if (probe == INVALID_SOCKET) return stop();
  alignas(8) std::byte list[4096];
  DWORD bytes = 0;
  if (procs.lpWSPIoctl(probe, SIO_ADDRESS_LIST_QUERY, nullptr, 0, list, sizeof list, &bytes, nullptr, nullptr, nullptr,
                       &error) == 0) {
    p->addresses = parse_address_list(list, std::max<DWORD>(bytes, sizeof list));
  }
  p->register_memory = extension<LPFN_WSPREGISTERMEMORY>(*p, probe, WSAID_REGISTERMEMORY);
  p->deregister_memory = extension<LPFN_WSPDEREGISTERMEMORY>(*p, probe, WSAID_DEREGISTERMEMORY);
  procs.lpWSPCloseSocket(probe, &error);
  if (p->addresses.empty() || p->register_memory == nullptr || p->deregister_memory == nullptr) return stop();
  return p;
}

void Switch::load() {
  const std::string file = host_file("registry.txt");
  if (file.empty()) return;
  RegistryStore registry(file);
  for (const auto& [name, value] : registry.values(kTcpOnSan)) {
    if (value.type != REG_BINARY || value.data.size() != sizeof(GUID)) continue;
    GUID id;
    std::memcpy(&id, value.data.data(), sizeof id);
    const std::u16string sub = std::u16string(kTcpOnSan) + u"\\" + to_u16(guid_text(id));
    auto dword = [&](const char16_t* value_name, int fallback) {
      auto v = registry.get(sub, value_name);
      if (!v || v->type != REG_DWORD || v->data.size() != 4) return fallback;
      std::uint32_t n;
      std::memcpy(&n, v->data.data(), 4);
      return static_cast<int>(std::min<std::uint32_t>(n, 1024));
    };
    if (auto p = start(id, dword(u"SendBuffers", 32), dword(u"ReceiveBuffers", 32))) providers_.push_back(std::move(p));
  }
}

// ---- A carried connection -----------------------------------------------------------------------

sockaddr_in sockaddr_of(const Address& a) {
  sockaddr_in sin{};
  std::memcpy(&sin, a.bytes.data(), sizeof sin);
  return sin;
}

// Posts receive buffer i (outside mu).
bool post_receive(const std::shared_ptr<SanLink>& link, int i) {
  Buffer& b = link->rx[static_cast<std::size_t>(i)];
  b.overlapped = OVERLAPPED{};
  WSABUF buffer{static_cast<u_long>(kBufferSize), reinterpret_cast<char*>(b.data)};
  DWORD bytes = 0, flags = 0;
  int error = 0;
  {
    std::lock_guard lock(link->mu);
    if (link->closing || link->failed) return false;
    b.busy = true;
  }
  const int r =
      link->provider->procs.lpWSPRecv(link->ps, &buffer, 1, &bytes, &flags, &b.overlapped, nullptr, nullptr, &error);
  std::lock_guard lock(link->mu);
  if (r == SOCKET_ERROR && error != WSA_IO_PENDING) {
    b.busy = false;
    link->fail(error == WSAEDISCON ? WSAECONNRESET : error);
    return false;
  }
  // Counted once the provider has it: a buffer is announced only when a message can land in it.
  ++link->posted;
  return true;
}

// Sends tx buffer i holding `length` bytes (outside mu).
void post_send(const std::shared_ptr<SanLink>& link, int i, std::size_t length) {
  Buffer& b = link->tx[static_cast<std::size_t>(i)];
  b.overlapped = OVERLAPPED{};
  WSABUF buffer{static_cast<u_long>(length), reinterpret_cast<char*>(b.data)};
  DWORD bytes = 0;
  int error = 0;
  const int r =
      link->provider->procs.lpWSPSend(link->ps, &buffer, 1, &bytes, 0, &b.overlapped, nullptr, nullptr, &error);
  if (r == SOCKET_ERROR && error != WSA_IO_PENDING) {
    std::lock_guard lock(link->mu);
    b.busy = false;
    link->free_tx.push_back(i);
    link->fail_send(error == WSAEDISCON ? WSAECONNRESET : error);
  }
}

// Takes a send buffer for a message (under mu): its header written, the credit spent.
int take_tx(SanLink& link, std::uint8_t kind, std::size_t length) {
  const int i = link.free_tx.back();
  link.free_tx.pop_back();
  Buffer& b = link.tx[static_cast<std::size_t>(i)];
  b.busy = true;
  Header h{kMagic, kind, {}, static_cast<std::uint32_t>(length), link.unannounced()};
  link.announced += h.credits;
  --link.credits;
  std::memcpy(b.data, &h, sizeof h);
  return i;
}

void service(const std::shared_ptr<SanLink>& link) {
  std::vector<int> reposts;
  {
    std::lock_guard lock(link->mu);
    reposts.swap(link->reposts);
  }
  for (int i : reposts) post_receive(link, i);
  int credit = -1;
  {
    std::lock_guard lock(link->mu);
    if (!link->closing && link->credit_due()) {
      credit = take_tx(*link, kCredit, 0);
    }
  }
  if (credit >= 0) post_send(link, credit, sizeof(Header));
}

// A completion of one of the link's buffers, from the provider.
void completed(const std::shared_ptr<SanLink>& link, LPOVERLAPPED overlapped, DWORD error, DWORD bytes) {
  bool work = false;
  {
    std::lock_guard lock(link->mu);
    for (std::size_t i = 0; i < link->tx.size(); ++i) {
      if (&link->tx[i].overlapped != overlapped) continue;
      link->tx[i].busy = false;
      link->free_tx.push_back(static_cast<int>(i));
      if (error != 0 && !link->closing) {
        link->fail_send(static_cast<int>(error) == WSAEDISCON ? WSAECONNRESET : static_cast<int>(error));
      }
      link->cv.notify_all();
      work = link->control_due();
    }
    for (std::size_t i = 0; i < link->rx.size(); ++i) {
      if (&link->rx[i].overlapped != overlapped) continue;
      link->rx[i].busy = false;
      if (link->closing) break;
      if (error != 0) {
        link->fail(static_cast<int>(error) == WSAEDISCON ? WSAECONNRESET : static_cast<int>(error));
        break;
      }
      Header h{};
      if (bytes >= sizeof h) std::memcpy(&h, link->rx[i].data, sizeof h);
      if (bytes < sizeof h || h.magic != kMagic || h.length > bytes - sizeof h || h.kind < kData || h.kind > kEnd) {
        link->fail(WSAECONNABORTED);  // not the switch's message
        break;
      }
      link->credits += h.credits;
      if (h.kind == kData && h.length > 0) {
        link->data.push_back(Segment{static_cast<int>(i), sizeof h, h.length});
      } else {
        if (h.kind == kEnd) link->end_received = true;
        link->reposts.push_back(static_cast<int>(i));
      }
      link->update_ready();
      link->cv.notify_all();
      work = link->control_due();
    }
  }
  if (work) Switch::get().queue(link);
}

// Makes a connected link carry data: its buffers registered and every receive posted.
int start_connection(const std::shared_ptr<SanLink>& link) {
  Provider& p = *link->provider;
  const std::size_t rx_size = static_cast<std::size_t>(p.receive_buffers) * kBufferSize;
  const std::size_t tx_size = static_cast<std::size_t>(p.send_buffers) * kBufferSize;
  link->rx_memory = static_cast<std::byte*>(std::aligned_alloc(4096, rx_size));
  link->tx_memory = static_cast<std::byte*>(std::aligned_alloc(4096, tx_size));
  if (link->rx_memory == nullptr || link->tx_memory == nullptr) return WSAENOBUFS;
  int error = 0;
  link->rx_registration =
      p.register_memory(link->ps, link->rx_memory, static_cast<DWORD>(rx_size), MEM_READWRITE, &error);
  if (link->rx_registration == nullptr) return error != 0 ? error : WSAENOBUFS;
  link->tx_registration =
      p.register_memory(link->ps, link->tx_memory, static_cast<DWORD>(tx_size), MEM_READWRITE, &error);
  if (link->tx_registration == nullptr) return error != 0 ? error : WSAENOBUFS;
  link->rx.resize(static_cast<std::size_t>(p.receive_buffers));
  link->tx.resize(static_cast<std::size_t>(p.send_buffers));
  {
    std::lock_guard lock(owners_mu());
    for (std::size_t i = 0; i < link->rx.size(); ++i) {
      link->rx[i].data = link->rx_memory + i * kBufferSize;
      owners()[&link->rx[i].overlapped] = link;
    }
    for (std::size_t i = 0; i < link->tx.size(); ++i) {
      link->tx[i].data = link->tx_memory + i * kBufferSize;
      owners()[&link->tx[i].overlapped] = link;
    }
  }
  {
    std::lock_guard lock(link->mu);
    for (int i = static_cast<int>(link->tx.size()) - 1; i >= 0; --i) link->free_tx.push_back(i);
    // The connecting side may fill the accepting side's first receive; the
    // accepting side knows the peer counts that one already.
    link->credits = link->accepting_side ? 0 : 1;
    link->announced = link->accepting_side ? 1 : 0;
    link->state = SanLink::State::Connected;
  }
  // The first receive hands the connection to the provider's hardware path;
  // the connecting side's waits there until the accepting side has posted its own.
  for (std::size_t i = 0; i < link->rx.size(); ++i) {
    if (!post_receive(link, static_cast<int>(i))) {
      std::lock_guard lock(link->mu);
      return link->error != 0 ? link->error : WSAECONNRESET;
    }
  }
  Switch::get().queue(link);
  return 0;
}

std::shared_ptr<SanLink> link_of(Socket& s) {
  std::lock_guard lock(s.mu);
  return s.san;
}

std::shared_ptr<SanLink> new_link(Provider* p, SOCKET ps) {
  auto link = std::make_shared<SanLink>();
  link->provider = p;
  link->ps = ps;
  link->abort = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  link->ready = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return link;
}

// Closes the provider's socket of a link (once).
void close_provider_socket(SanLink& link) {
  if (link.ps == INVALID_SOCKET) return;
  int error = 0;
  link.provider->procs.lpWSPCloseSocket(link.ps, &error);
  link.ps = INVALID_SOCKET;
}

// Waits on the link's cv until `ready` holds, the socket closes, or time runs out.
template <typename F>
int wait_link(Socket& s, SanLink& link, std::unique_lock<std::mutex>& lock, std::uint32_t timeout_ms, F ready) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!ready()) {
    if (s.closing.load() || link.closing) return kEintr;
    if (timeout_ms == 0 && !tracing()) {
      link.cv.wait(lock);
    } else if (timeout_ms == 0) {
      // Tracing: a wait that lasts says what it waits for.
      if (link.cv.wait_for(lock, std::chrono::seconds(5)) == std::cv_status::timeout) {
        std::fprintf(stderr,
                     "[%d] link %p waits: credits %u posted %u announced %u free_tx %zu data %zu reposts %zu "
                     "end_sent %d end_received %d failed %d queued %d accepting %d\n",
                     getpid(), static_cast<void*>(&link), link.credits, link.posted, link.announced,
                     link.free_tx.size(), link.data.size(), link.reposts.size(), link.end_sent, link.end_received,
                     link.failed, link.queued, link.accepting_side);
      }
    } else if (link.cv.wait_until(lock, deadline) == std::cv_status::timeout && !ready()) {
      return kEtimedout;
    }
  }
  return kOk;
}

void run_async(const std::shared_ptr<SanLink>& link) {
  for (;;) {
    AsyncOp op;
    std::shared_ptr<Socket> s;
    {
      std::lock_guard lock(link->mu);
      s = link->socket.lock();
      if (link->async.empty() || !s) {
        link->async_running = false;
        return;
      }
      op = link->async.front();
      link->async.pop_front();
    }
    std::size_t bytes = 0;
    int error;
    if (op.send) {
      std::vector<std::span<const std::byte>> buffers(op.buffers.begin(), op.buffers.end());
      error = san_send(*s, buffers, op.flags, &bytes);
    } else {
      error = san_recv(*s, op.buffers, op.flags, &bytes);
    }
    complete(*s, op.overlapped, error == kEintr ? kAborted : error, bytes);
  }
}

}  // namespace

SanLink::~SanLink() {
  if (event != nullptr) CloseHandle(event);
  if (abort != nullptr) CloseHandle(abort);
  if (ready >= 0) ::close(ready);
  std::free(rx_memory);
  std::free(tx_memory);
}

// ---- The switch's part of the socket calls ------------------------------------------------------

void san_after_bind(const std::shared_ptr<Socket>& s) {
  if (s->type != kSockStream || s->family != kAfInet) return;
  Address local;
  if (native_name(*s, false, &local) != kOk) return;
  Provider* p = Switch::get().provider_for(local.ipv4());
  if (p == nullptr) return;
  int error = 0;
  SOCKET ps = p->procs.lpWSPSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP, &p->info, 0, WSA_FLAG_OVERLAPPED, &error);
  if (ps == INVALID_SOCKET) return;
  const sockaddr_in sin = sockaddr_of(local);
  if (p->procs.lpWSPBind(ps, reinterpret_cast<const sockaddr*>(&sin), sizeof sin, &error) != 0) {
    p->procs.lpWSPCloseSocket(ps, &error);  // e.g. the port mapper's port: native only
    return;
  }
  auto link = new_link(p, ps);
  link->local = local;
  std::lock_guard lock(s->mu);
  s->san = link;
}

void san_listen(const std::shared_ptr<Socket>& s, int backlog) {
  auto link = link_of(*s);
  if (!link || link->state != SanLink::State::Bound) return;
  int error = 0;
  auto& procs = link->provider->procs;
  link->event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (procs.lpWSPListen == nullptr || procs.lpWSPAccept == nullptr ||
      procs.lpWSPListen(link->ps, backlog, &error) != 0 ||
      procs.lpWSPEventSelect(link->ps, link->event, FD_ACCEPT, &error) != 0) {
    close_provider_socket(*link);
    std::lock_guard lock(s->mu);
    s->san.reset();
    return;
  }
  {
    std::lock_guard lock(link->mu);
    link->state = SanLink::State::Listening;
  }
  Switch::get().watch(link);
}

bool san_listening(Socket& s) {
  auto link = link_of(s);
  return link && link->state == SanLink::State::Listening;
}

bool san_carried(Socket& s) {
  auto link = link_of(s);
  return link && link->state == SanLink::State::Connected;
}

int san_accept(const std::shared_ptr<Socket>& s, std::shared_ptr<Socket>* out, Address* peer) {
  auto link = link_of(*s);
  if (!link) return native_accept(*s, out, peer);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(s->receive_timeout.load());
  for (;;) {
    bool take = false;
    {
      std::lock_guard lock(link->mu);
      if (link->state != SanLink::State::Listening) return kEinval;
      if (link->pending_accepts > 0) {
        --link->pending_accepts;
        link->update_ready();
        take = true;
      }
    }
    if (take) {
      sockaddr_in from{};
      int length = sizeof from;
      int error = 0;
      SOCKET cs = link->provider->procs.lpWSPAccept(link->ps, reinterpret_cast<sockaddr*>(&from), &length,
                                                    accept_everyone, 0, &error);
      if (cs != INVALID_SOCKET) {
        auto carried = new_link(link->provider, cs);
        carried->accepting_side = true;
        carried->local = link->local;
        std::memcpy(carried->peer.bytes.data(), &from, sizeof from);
        carried->peer.length = sizeof from;
        std::shared_ptr<Socket> accepted;
        // The new socket keeps a Linux socket of its own for its options.
        if (native_create(kAfInet, kSockStream, kIpprotoTcp, &accepted) != kOk) {
          close_provider_socket(*carried);
          return kEmfile;
        }
        accepted->bound = true;
        accepted->nonblocking = s->nonblocking.load();
        {
          std::lock_guard lock(accepted->mu);
          accepted->san = carried;
        }
        carried->socket = accepted;
        if ((error = start_connection(carried)) != 0) {
          close_provider_socket(*carried);
          return WSAECONNABORTED;
        }
        *out = accepted;
        *peer = carried->peer;
        return kOk;
      }
      if (error != WSAEWOULDBLOCK) return error;  // a refused or failed connection
      continue;
    }
    const int error = native_accept_once(*s, out, peer);
    if (error != kEwouldblock) return error;
    if (s->nonblocking.load()) return kEwouldblock;
    const std::uint32_t timeout = s->receive_timeout.load();
    std::uint32_t left = 0;
    if (timeout != 0) {
      const auto ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (ms.count() <= 0) return kEtimedout;
      left = static_cast<std::uint32_t>(ms.count());
    }
    if (const int wait = wait_ready(*s, POLLIN, left, link->ready); wait != kOk) return wait;
  }
}

int san_connect(const std::shared_ptr<Socket>& s, const Address& to, bool* carried) {
  *carried = false;
  if (s->nonblocking.load() || to.family() != kAfInet) return kOk;  // a non-blocking connect stays native
  if (!s->bound.load()) {
    if (native_bind(*s, Address::ipv4(0, 0)) != kOk) return kOk;
    san_after_bind(s);
  }
  auto link = link_of(*s);
  if (!link || link->state != SanLink::State::Bound) return kOk;
  auto& procs = link->provider->procs;
  Address target = to;
  remote_address_for_connect(&target);
  const sockaddr_in sin = sockaddr_of(target);
  int error = 0;
  link->event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  bool connected = false;
  if (procs.lpWSPEventSelect(link->ps, link->event, FD_CONNECT, &error) == 0) {
    const int r = procs.lpWSPConnect(link->ps, reinterpret_cast<const sockaddr*>(&sin), sizeof sin, nullptr, nullptr,
                                     nullptr, nullptr, &error);
    if (r == 0) {
      connected = true;
    } else if (error == WSAEWOULDBLOCK) {
      // The provider reports the outcome as FD_CONNECT.
      HANDLE events[2] = {link->event, link->abort};
      for (;;) {
        const DWORD w = WaitForMultipleObjects(2, events, FALSE, INFINITE);
        if (w != WAIT_OBJECT_0) {
          *carried = true;  // closed while it connected
          return kEintr;
        }
        WSANETWORKEVENTS seen{};
        if (procs.lpWSPEnumNetworkEvents(link->ps, link->event, &seen, &error) != 0) break;
        if (seen.lNetworkEvents & FD_CONNECT) {
          connected = seen.iErrorCode[FD_CONNECT_BIT] == 0;
          break;
        }
      }
    }
  }
  if (!connected) {
    // Not through the provider: native TCP takes it.
    close_provider_socket(*link);
    std::lock_guard lock(s->mu);
    s->san.reset();
    return kOk;
  }
  *carried = true;
  link->peer = to;
  link->socket = s;
  if ((error = start_connection(link)) != 0) {
    std::lock_guard lock(link->mu);
    link->fail(error);
    return error;
  }
  return kOk;
}

int san_send(Socket& s, std::span<const std::span<const std::byte>> buffers, int flags, std::size_t* sent) {
  *sent = 0;
  auto link = link_of(s);
  if (!link) return kEnotconn;
  if (flags & 0x1) return kEopnotsupp;  // no urgent data on a carried connection
  std::size_t total = 0;
  for (const auto& b : buffers) total += b.size();
  std::size_t buffer_index = 0, offset = 0;
  while (*sent < total) {
    int i;
    std::size_t chunk;
    {
      std::unique_lock lock(link->mu);
      if (link->end_sent) return *sent > 0 ? kOk : kEshutdown;
      auto can = [&] {
        return link->send_broken() || link->end_sent || (link->credits >= 2 && !link->free_tx.empty());
      };
      if (!can() && s.nonblocking.load()) return *sent > 0 ? kOk : kEwouldblock;
      const int error = wait_link(s, *link, lock, s.send_timeout.load(), can);
      if (error != kOk) return *sent > 0 ? kOk : error;
      if (link->send_broken()) return *sent > 0 ? kOk : link->send_broken_error();
      if (link->end_sent) return *sent > 0 ? kOk : kEshutdown;
      chunk = std::min(kPayload, total - *sent);
      i = take_tx(*link, kData, chunk);
    }
    // The payload, gathered from the caller's buffers.
    std::byte* to = link->tx[static_cast<std::size_t>(i)].data + sizeof(Header);
    std::size_t copied = 0;
    while (copied < chunk) {
      const auto& b = buffers[buffer_index];
      const std::size_t n = std::min(chunk - copied, b.size() - offset);
      std::memcpy(to + copied, b.data() + offset, n);
      copied += n;
      offset += n;
      if (offset == b.size()) {
        ++buffer_index;
        offset = 0;
      }
    }
    post_send(link, i, sizeof(Header) + chunk);
    *sent += chunk;
  }
  return kOk;
}

int san_recv(Socket& s, std::span<const std::span<std::byte>> buffers, int flags, std::size_t* received) {
  *received = 0;
  auto link = link_of(s);
  if (!link) return kEnotconn;
  if (flags & 0x1) return kEopnotsupp;
  const bool peek = (flags & 0x2) != 0;
  const bool wait_all = (flags & 0x8) != 0;
  std::size_t total = 0;
  for (const auto& b : buffers) total += b.size();
  std::size_t buffer_index = 0, offset = 0;
  bool work = false;
  {
    std::unique_lock lock(link->mu);
    if (link->receive_shut) return kEshutdown;
    for (;;) {
      auto has = [&] { return !link->data.empty() || link->end_received || link->failed; };
      if (!has() && s.nonblocking.load()) return *received > 0 ? kOk : kEwouldblock;
      const int error = wait_link(s, *link, lock, s.receive_timeout.load(), has);
      if (error != kOk) return *received > 0 ? kOk : error;
      // Data first, then the end or the failure.
      auto segment = link->data.begin();
      while (segment != link->data.end() && *received < total) {
        const std::size_t n = std::min(segment->length, buffers[buffer_index].size() - offset);
        std::memcpy(buffers[buffer_index].data() + offset,
                    link->rx[static_cast<std::size_t>(segment->buffer)].data + segment->offset, n);
        *received += n;
        offset += n;
        if (offset == buffers[buffer_index].size()) {
          ++buffer_index;
          offset = 0;
        }
        if (peek) {
          ++segment;
          continue;
        }
        segment->offset += n;
        segment->length -= n;
        if (segment->length == 0) {
          link->reposts.push_back(segment->buffer);
          segment = link->data.erase(segment);
        }
      }
      work = !link->reposts.empty();
      link->update_ready();
      if (*received > 0 && (!wait_all || peek || *received == total)) break;
      if (link->data.empty() && (link->end_received || link->failed)) {
        if (*received == 0 && link->failed && !link->end_received) return link->error;
        break;  // the end: what came, or 0
      }
    }
  }
  if (work) Switch::get().queue(link);
  return kOk;
}

int san_shutdown(Socket& s, int how) {
  auto link = link_of(s);
  if (!link) return kEnotconn;
  if (how == 0 || how == 2) {
    std::lock_guard lock(link->mu);
    link->receive_shut = true;
    link->cv.notify_all();
  }
  if (how == 1 || how == 2) {
    int i;
    {
      std::unique_lock lock(link->mu);
      if (link->end_sent) return kOk;
      const int error = wait_link(
          s, *link, lock, 0, [&] { return link->send_broken() || (link->credits >= 1 && !link->free_tx.empty()); });
      if (error != kOk) return error;
      if (link->send_broken()) return link->send_broken_error();
      i = take_tx(*link, kEnd, 0);
      link->end_sent = true;
    }
    post_send(link, i, sizeof(Header));
  }
  return kOk;
}

int san_name(Socket& s, bool peer, Address* out) {
  auto link = link_of(s);
  if (!link) return kEnotconn;
  *out = peer ? link->peer : link->local;
  return kOk;
}

int san_available(Socket& s, std::uint32_t* bytes) {
  auto link = link_of(s);
  if (!link) return kEnotconn;
  std::lock_guard lock(link->mu);
  std::size_t n = 0;
  for (const auto& segment : link->data) n += segment.length;
  *bytes = static_cast<std::uint32_t>(n);
  return kOk;
}

int san_overlapped(const std::shared_ptr<Socket>& s, bool send, std::span<const std::span<std::byte>> buffers,
                   int flags, LPOVERLAPPED overlapped) {
  auto link = link_of(*s);
  if (!link) return kEnotconn;
  std::atomic_ref<ULONG_PTR>(overlapped->Internal)
      .store(static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_PENDING)), std::memory_order_release);
  overlapped->InternalHigh = 0;
  if (HANDLE event = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR{1})) {
    ResetEvent(event);
  }
  bool start = false;
  {
    std::lock_guard lock(link->mu);
    link->socket = s;
    link->async.push_back(
        AsyncOp{send, std::vector<std::span<std::byte>>(buffers.begin(), buffers.end()), flags, overlapped});
    if (!link->async_running) {
      link->async_running = true;
      start = true;
    }
  }
  if (start) std::thread([link] { run_async(link); }).detach();
  return kPending;
}

int san_ready_fd(Socket& s) {
  auto link = link_of(s);
  return link ? link->ready : -1;
}

bool san_readable(Socket& s) {
  auto link = link_of(s);
  if (!link) return false;
  std::lock_guard lock(link->mu);
  return link->readable();
}

void san_close(Socket& s) {
  std::shared_ptr<SanLink> link;
  {
    std::lock_guard lock(s.mu);
    link.swap(s.san);
  }
  if (!link) return;
  if (link->abort != nullptr) SetEvent(link->abort);
  if (link->state == SanLink::State::Listening) Switch::get().unwatch(link.get());
  if (link->state == SanLink::State::Connected) {
    // A graceful end: the end message, then every send completed (both bounded).
    int i = -1;
    {
      std::unique_lock lock(link->mu);
      if (!link->end_sent && !link->send_broken() &&
          link->cv.wait_for(lock, kClosePatience,
                            [&] { return link->send_broken() || (link->credits >= 1 && !link->free_tx.empty()); }) &&
          !link->send_broken()) {
        i = take_tx(*link, kEnd, 0);
        link->end_sent = true;
      }
    }
    if (i >= 0) post_send(link, i, sizeof(Header));
    std::unique_lock lock(link->mu);
    link->cv.wait_for(lock, kClosePatience,
                      [&] { return link->free_tx.size() == link->tx.size() || link->send_broken(); });
  }
  {
    std::lock_guard lock(link->mu);
    link->closing = true;
    link->state = SanLink::State::Closed;
    link->update_ready();
    link->cv.notify_all();
  }
  int error = 0;
  if (link->rx_registration != nullptr) link->provider->deregister_memory(link->ps, link->rx_registration, &error);
  if (link->tx_registration != nullptr) link->provider->deregister_memory(link->ps, link->tx_registration, &error);
  close_provider_socket(*link);
  // Late completions find no owner and are dropped; the buffers go with the link.
  std::lock_guard lock(owners_mu());
  for (auto& b : link->rx) owners().erase(&b.overlapped);
  for (auto& b : link->tx) owners().erase(&b.overlapped);
}

void san_cleanup() { Switch::get().cleanup(); }

}  // namespace plat::ws

using namespace plat::ws;

// ---- The upcalls, by name ---------------------------------------------------------------------------

SOCKET WPUCreateSocketHandle(DWORD dwCatalogEntryId, DWORD_PTR dwContext, LPINT lpErrno) {
  std::lock_guard lock(handles_mu());
  const SOCKET handle = g_next_handle;
  g_next_handle += 4;
  switch_handles()[handle] = HandleEntry{dwCatalogEntryId, dwContext};
  if (lpErrno != nullptr) *lpErrno = 0;
  return handle;
}

int WPUCloseSocketHandle(SOCKET s, LPINT lpErrno) {
  std::lock_guard lock(handles_mu());
  if (switch_handles().erase(s) == 0) {
    if (lpErrno != nullptr) *lpErrno = WSAENOTSOCK;
    return SOCKET_ERROR;
  }
  return 0;
}

int WPUQuerySocketHandleContext(SOCKET s, PDWORD_PTR lpContext, LPINT lpErrno) {
  std::lock_guard lock(handles_mu());
  auto it = switch_handles().find(s);
  if (it == switch_handles().end() || lpContext == nullptr) {
    if (lpErrno != nullptr) *lpErrno = it == switch_handles().end() ? WSAENOTSOCK : WSAEFAULT;
    return SOCKET_ERROR;
  }
  *lpContext = it->second.context;
  return 0;
}

int WPUCompleteOverlappedRequest(SOCKET s, LPWSAOVERLAPPED lpOverlapped, DWORD dwError, DWORD cbTransferred,
                                 LPINT lpErrno) {
  {
    std::lock_guard lock(handles_mu());
    if (switch_handles().count(s) == 0) {
      if (lpErrno != nullptr) *lpErrno = WSAENOTSOCK;
      return SOCKET_ERROR;
    }
  }
  std::shared_ptr<SanLink> link;
  {
    std::lock_guard lock(owners_mu());
    auto it = owners().find(lpOverlapped);
    if (it != owners().end()) link = it->second.lock();
  }
  if (!link) {
    if (lpErrno != nullptr) *lpErrno = WSA_INVALID_PARAMETER;  // not a request of the switch's (or one closed)
    return SOCKET_ERROR;
  }
  lpOverlapped->OffsetHigh = dwError;
  lpOverlapped->InternalHigh = cbTransferred;
  completed(link, lpOverlapped, dwError, cbTransferred);
  return 0;
}
