// The connection between a user process and its host (zekhost).
//
// One SOCK_SEQPACKET connection per process, to "kernel.sock" in the host
// directory. Each datagram is one message: a MessageHeader followed by the
// message's own record. The process sends requests (open, control request,
// cancel, close) tagged with a request id; the host answers open, cancel
// and close with one reply, and a control request with its completion (and,
// on an overlapped handle, a notice of what the dispatch routine returned). The host
// may also send upcalls (map pages into the process, unmap them), which the
// process's connection thread serves and answers.
//
// Buffers are not carried in the messages: the host reads and writes the
// caller's memory directly (process_vm_readv/process_vm_writev), which is
// why the process allows the host to trace it when it connects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace plat::proto {

inline constexpr char kSocketName[] = "kernel.sock";
inline constexpr std::uint32_t kVersion = 2;
inline constexpr std::size_t kMaxMessage = 64 * 1024;
inline constexpr std::size_t kMaxName = 256;
inline constexpr std::size_t kMaxMapPages = 1u << 20;  // 4 GiB in one mapping

enum class Type : std::uint32_t {
  Hello = 1,    // process -> host
  HelloReply,   // host -> process (no memory comes with it)
  Open,         // process -> host
  Ioctl,        // process -> host
  Cancel,       // process -> host (CancelIo)
  Close,        // process -> host (last CloseHandle of a file)
  Reply,        // host -> process: answer to Open, Cancel, Close
  Pending,      // host -> process: the dispatch routine of an overlapped request returned
  Complete,     // host -> process: a control request completed
  MapUpcall,    // host -> process, with the descriptors of what it maps
  UnmapUpcall,  // host -> process
  UpcallReply,  // process -> host
};

struct MessageHeader {
  Type type;
  std::uint32_t reserved;
};

struct Hello {
  std::uint32_t version;
  std::uint32_t flags;  // kHelloDirect, or 0
};

// A thread's direct connection: the process is connected already (its main
// connection); this one carries only control requests, and each completion
// comes back on it.
inline constexpr std::uint32_t kHelloDirect = 1;

struct HelloReply {
  std::uint32_t version;
  std::int32_t status;
  std::int64_t host_pid;
  std::uint64_t reserved2;  // 0: a process is handed memory only with each mapping
};

inline constexpr std::uint32_t kOpenOverlapped = 1;

struct Open {
  std::uint64_t request;
  std::int64_t thread_id;
  std::uint32_t desired_access;
  std::uint32_t share_access;
  std::uint32_t flags;
  std::uint32_t reserved;
  char name[kMaxName];  // the device part of "\\.\NAME", UTF-8, zero-terminated
};

struct Ioctl {
  std::uint64_t request;
  std::uint64_t file;
  std::int64_t thread_id;
  std::uint32_t code;
  std::uint32_t overlapped;  // 1 on an overlapped handle; kIoctlInline* bits
  std::uint64_t input;       // caller addresses
  std::uint64_t output;
  std::uint32_t input_length;
  std::uint32_t output_length;
};

// A buffered control request whose buffers the caller's thread reaches
// itself (its own stack): the input bytes follow the record, and the output
// comes back after the Complete record instead of being written by the
// host. Exactly what the host would have read and written, without the
// host's two transfers between the processes.
inline constexpr std::uint32_t kIoctlInlineInput = 2;
inline constexpr std::uint32_t kIoctlInlineOutput = 4;
inline constexpr std::uint32_t kMaxInline = 4096;

struct Cancel {
  std::uint64_t request;
  std::uint64_t file;
  std::int64_t thread_id;
};

struct Close {
  std::uint64_t request;
  std::uint64_t file;
  std::int64_t thread_id;
};

struct Reply {
  std::uint64_t request;
  std::int32_t status;
  std::uint32_t reserved;
  std::uint64_t value;  // the file id of an open
};

// Sent for every request on an overlapped handle once the driver's dispatch
// routine has returned, with what it returned (STATUS_PENDING when the
// driver pended it). A completion sent before it arrives before it.
struct Pending {
  std::uint64_t request;
  std::int32_t returned;
  std::uint32_t reserved;
};

struct Complete {
  std::uint64_t request;
  std::int32_t status;
  std::uint32_t pending_returned;  // the driver marked the request pending
  std::uint64_t information;
};

// What comes with a map upcall. Memory: one descriptor, the sealed segment
// of exactly the pages to map (its size is `pages` pages; the process maps
// it whole). Registers: the sealed segment holding the posted-write ring,
// then the ring's wake-up eventfd.
enum class MapKind : std::uint32_t {
  Memory = 1,     // pages of host memory
  Registers = 2,  // register pages: inaccessible, written through the posted-write ring
};

struct MapUpcall {
  std::uint64_t upcall;
  MapKind kind;
  std::uint32_t pages;
  std::uint64_t ring_offset;  // Registers: offset of the posted-write ring in its segment
  std::uint64_t ring_bytes;
};

struct UnmapUpcall {
  std::uint64_t upcall;
  std::uint64_t address;
  std::uint64_t pages;
};

struct UpcallReply {
  std::uint64_t upcall;
  std::int32_t status;
  std::uint32_t reserved;
  std::uint64_t address;
};

// Sends one message (header and body) on the connection, passing a file
// descriptor along when fd >= 0. Retries when interrupted; false when the
// peer has gone.
bool send_message(int socket, Type type, const void* body, std::size_t size, int fd = -1);
// The same with several descriptors (at most kMaxFds).
inline constexpr std::size_t kMaxFds = 4;
bool send_message(int socket, Type type, const void* body, std::size_t size, std::span<const int> fds);

// As send_message, but never waits for room: what the host uses, so that no
// host thread waits on a process that does not read.
enum class SendResult { Sent, Full, Gone };
SendResult send_message_nowait(int socket, Type type, const void* body, std::size_t size, int fd = -1);
SendResult send_message_nowait(int socket, Type type, const void* body, std::size_t size, std::span<const int> fds);

// Receives one message into `buffer`, retrying when interrupted. Descriptors
// that came with it (at most kMaxFds are taken) are appended to `fds` and
// belong to the caller. Returns the bytes received: 0 when the peer closed
// the connection, -1 when it failed.
long receive_message(int socket, std::span<char> buffer, std::vector<int>* fds);
// As receive_message; on a socket with SO_PASSCRED, `sender` gets the pid
// of the process that sent the message (0 when the message carried none).
long receive_message(int socket, std::span<char> buffer, std::vector<int>* fds, int* sender);

}  // namespace plat::proto
