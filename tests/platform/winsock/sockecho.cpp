// An ordinary sockets program for the WinSock tests: it knows nothing of
// the SAN switch.
//
//   zeksockecho server PORT BYTES REPORT       accepts one connection, echoes BYTES bytes back
//                                              (REPORT.listening appears once it listens)
//   zeksockecho client HOST PORT BYTES REPORT  sends BYTES bytes of a pattern and checks the echo
//   zeksockecho dup-give HOST PORT DIR         connects, hands the socket to the process whose pid
//                                              DIR/pid holds (protocol information in DIR/info)
//   zeksockecho dup-take DIR                   writes DIR/pid, takes the socket from DIR/info, sends on it
//
// Each writes "key=value ..." lines to REPORT; the exit code is 0 on success.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/winsock/winsock2.h"

namespace {

unsigned char pattern(std::size_t i) { return static_cast<unsigned char>((i * 7 + i / 251) & 0xFF); }

std::string text(const sockaddr_in& a) {
  return std::string(inet_ntoa(a.sin_addr)) + ":" + std::to_string(ntohs(a.sin_port));
}

void report(const std::string& path, const std::string& line) {
  FILE* f = std::fopen(path.c_str(), "a");
  if (f == nullptr) return;
  std::fprintf(f, "%s\n", line.c_str());
  std::fclose(f);
}

bool read_file(const std::string& path, std::string* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  char buffer[4096];
  out->clear();
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out->append(buffer, n);
  std::fclose(f);
  return true;
}

// Waits (bounded) for a file to hold at least `size` bytes.
bool wait_file(const std::string& path, std::size_t size, std::string* out) {
  for (int i = 0; i < 20000; ++i) {
    if (read_file(path, out) && out->size() >= size) return true;
    Sleep(1);
  }
  return false;
}

SOCKET connect_to(const char* host, int port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<u_short>(port));
  to.sin_addr.s_addr = inet_addr(host);
  // The server may not listen yet: try again for a while.
  for (int attempt = 0; attempt < 4000; ++attempt) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return INVALID_SOCKET;
    if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return s;
    const int error = WSAGetLastError();
    closesocket(s);
    if (error != WSAECONNREFUSED) {
      std::fprintf(stderr, "connect: %d\n", error);
      return INVALID_SOCKET;
    }
    Sleep(5);
  }
  return INVALID_SOCKET;
}

int server(int port, std::size_t bytes, const std::string& out) {
  SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
  BOOL on = TRUE;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(static_cast<u_short>(port));
  if (bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 || listen(listener, 5) != 0) {
    std::fprintf(stderr, "bind/listen: %d\n", WSAGetLastError());
    return 2;
  }
  report(out + ".listening", "1");
  sockaddr_in peer{};
  int length = sizeof peer;
  SOCKET s = accept(listener, reinterpret_cast<sockaddr*>(&peer), &length);
  if (s == INVALID_SOCKET) return 3;
  sockaddr_in local{};
  length = sizeof local;
  getsockname(s, reinterpret_cast<sockaddr*>(&local), &length);
  std::vector<char> buffer(65536);
  std::size_t echoed = 0;
  while (echoed < bytes) {
    const int n = recv(s, buffer.data(), static_cast<int>(buffer.size()), 0);
    if (n <= 0) break;
    if (send(s, buffer.data(), n, 0) != n) {
      std::fprintf(stderr, "server send: %d\n", WSAGetLastError());
      return 4;
    }
    echoed += static_cast<std::size_t>(n);
  }
  shutdown(s, SD_SEND);
  char rest;
  const int last = recv(s, &rest, 1, 0);  // the client's end
  closesocket(s);
  closesocket(listener);
  report(out, "peer=" + text(peer) + " local=" + text(local) + " bytes=" + std::to_string(echoed) +
                  " end=" + std::to_string(last));
  return echoed == bytes && last == 0 ? 0 : 5;
}

int client(const char* host, int port, std::size_t bytes, const std::string& out) {
  SOCKET s = connect_to(host, port);
  if (s == INVALID_SOCKET) return 2;
  sockaddr_in local{}, peer{};
  int length = sizeof local;
  getsockname(s, reinterpret_cast<sockaddr*>(&local), &length);
  length = sizeof peer;
  getpeername(s, reinterpret_cast<sockaddr*>(&peer), &length);
  bool sent_ok = true;
  std::thread sender([&] {
    std::vector<char> chunk(65536);
    std::size_t sent = 0;
    while (sent < bytes) {
      const std::size_t n = std::min(chunk.size(), bytes - sent);
      for (std::size_t i = 0; i < n; ++i) chunk[i] = static_cast<char>(pattern(sent + i));
      if (send(s, chunk.data(), static_cast<int>(n), 0) != static_cast<int>(n)) {
        sent_ok = false;
        return;
      }
      sent += n;
    }
    shutdown(s, SD_SEND);
  });
  std::vector<char> buffer(65536);
  std::size_t received = 0;
  bool same = true;
  for (;;) {
    const int n = recv(s, buffer.data(), static_cast<int>(buffer.size()), 0);
    if (n <= 0) break;
    for (int i = 0; i < n; ++i) same = same && static_cast<unsigned char>(buffer[i]) == pattern(received + i);
    received += static_cast<std::size_t>(n);
  }
  sender.join();
  closesocket(s);
  report(out, "local=" + text(local) + " peer=" + text(peer) + " bytes=" + std::to_string(received) +
                  " same=" + (same ? "1" : "0"));
  return sent_ok && same && received == bytes ? 0 : 3;
}

int dup_give(const char* host, int port, const std::string& dir) {
  SOCKET s = connect_to(host, port);
  if (s == INVALID_SOCKET) return 2;
  std::string pid;
  if (!wait_file(dir + "/pid", 2, &pid)) return 3;
  WSAPROTOCOL_INFOW info{};
  if (WSADuplicateSocketW(s, static_cast<DWORD>(std::atoi(pid.c_str())), &info) != 0) {
    std::fprintf(stderr, "WSADuplicateSocket: %d\n", WSAGetLastError());
    return 4;
  }
  FILE* f = std::fopen((dir + "/info.new").c_str(), "wb");
  std::fwrite(&info, sizeof info, 1, f);
  std::fclose(f);
  std::rename((dir + "/info.new").c_str(), (dir + "/info").c_str());
  std::string done;
  if (!wait_file(dir + "/taken", 1, &done)) return 5;
  closesocket(s);  // the other process's socket stays open
  return 0;
}

int dup_take(const std::string& dir) {
  report(dir + "/pid", std::to_string(GetCurrentProcessId()));
  std::string info_bytes;
  if (!wait_file(dir + "/info", sizeof(WSAPROTOCOL_INFOW), &info_bytes)) return 2;
  WSAPROTOCOL_INFOW info;
  std::memcpy(&info, info_bytes.data(), sizeof info);
  SOCKET s = WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0, WSA_FLAG_OVERLAPPED);
  if (s == INVALID_SOCKET) {
    std::fprintf(stderr, "WSASocket: %d\n", WSAGetLastError());
    return 3;
  }
  report(dir + "/taken", "1");
  const char message[] = "from the other process";
  if (send(s, message, sizeof message, 0) != static_cast<int>(sizeof message)) return 4;
  closesocket(s);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 100;
  const std::string command = argc > 1 ? argv[1] : "";
  int result = 100;
  if (command == "server" && argc == 5)
    result = server(std::atoi(argv[2]), std::strtoull(argv[3], nullptr, 10), argv[4]);
  if (command == "client" && argc == 6) {
    result = client(argv[2], std::atoi(argv[3]), std::strtoull(argv[4], nullptr, 10), argv[5]);
  }
  if (command == "dup-give" && argc == 5) result = dup_give(argv[2], std::atoi(argv[3]), argv[4]);
  if (command == "dup-take" && argc == 3) result = dup_take(argv[2]);
  WSACleanup();
  return result;
}
