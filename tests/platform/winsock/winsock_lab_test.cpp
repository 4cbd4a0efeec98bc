// WinSock between processes of real hosts: native TCP between two hosts'
// addresses, a socket handed to another process, and stream sockets that
// the SAN switch hands to an installed WinSock Direct provider.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/advapi/advapi.h"
#include "platform/common/text.h"
#include "platform/winsock/ws2spi.h"
#include "tests/platform/labhost.h"

namespace {

// The test provider's id.
constexpr GUID kTestSan = {0x5a4b3c2d, 0x1e0f, 0x4a5b, {0x9c, 0x8d, 0x7e, 0x6f, 0x50, 0x41, 0x32, 0x23}};

std::map<std::string, std::string> fields(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  std::map<std::string, std::string> out;
  std::size_t start = 0;
  while (start < line.size()) {
    auto end = line.find(' ', start);
    if (end == std::string::npos) end = line.size();
    const std::string pair = line.substr(start, end - start);
    const auto equals = pair.find('=');
    if (equals != std::string::npos) out[pair.substr(0, equals)] = pair.substr(equals + 1);
    start = end + 1;
  }
  return out;
}

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Installs the test provider in a host's catalog and names it for the switch.
void install_test_san(const labtest::Host& host) {
  setenv("ZEK_HOST", host.dir().c_str(), 1);
  WSAPROTOCOL_INFOW info{};
  info.dwServiceFlags1 = XP1_GUARANTEED_DELIVERY | XP1_GUARANTEED_ORDER | XP1_MESSAGE_ORIENTED | XP1_GRACEFUL_CLOSE;
  info.dwProviderFlags = PFL_HIDDEN;
  info.iVersion = 1;
  info.iAddressFamily = 0x64774342;
  info.iMaxSockAddr = info.iMinSockAddr = 16;
  info.iSocketType = 0x73534342;
  info.iProtocol = 0x70534342;
  info.iNetworkByteOrder = 1;
  info.dwMessageSize = 1;
  std::u16string_view(u"Test SAN").copy(reinterpret_cast<char16_t*>(info.szProtocol), 255);
  const std::u16string path = plat::to_u16(ZEK_TEST_SAN);
  GUID id = kTestSan;
  int error = 0;
  ASSERT_EQ(WSCInstallProvider(&id, reinterpret_cast<const WCHAR*>(path.c_str()), &info, 1, &error), 0) << error;
  HKEY key = nullptr, sub = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Winsock\\Parameters\\TCP on SAN",
                            0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "TestSan", 0, REG_BINARY, reinterpret_cast<const BYTE*>(&id), sizeof id),
            ERROR_SUCCESS);
  ASSERT_EQ(RegCreateKeyExA(key, "{5a4b3c2d-1e0f-4a5b-9c8d-7e6f50413223}", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub,
                            nullptr),
            ERROR_SUCCESS);
  const DWORD send_buffers = 16, receive_buffers = 24;
  RegSetValueExA(sub, "SendBuffers", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&send_buffers), 4);
  RegSetValueExA(sub, "ReceiveBuffers", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&receive_buffers), 4);
  RegCloseKey(sub);
  RegCloseKey(key);
  unsetenv("ZEK_HOST");
}

class Hosts : public ::testing::Test {
 protected:
  void SetUp() override {
    a_ = std::make_unique<labtest::Host>("HOSTA", "127.0.10.61");
    b_ = std::make_unique<labtest::Host>("HOSTB", "127.0.10.62");
    ASSERT_TRUE(a_->start()) << a_->log();
    ASSERT_TRUE(b_->start()) << b_->log();
  }

  struct Echo {
    int server_exit, client_exit;
    std::map<std::string, std::string> server, client;
  };
  // zeksockecho's server on host A and client on host B.
  Echo echo(int port, std::size_t bytes, const std::vector<std::string>& env = {}) {
    const std::string server_report = (a_->dir() / ("server-" + std::to_string(port))).string();
    const std::string client_report = (b_->dir() / ("client-" + std::to_string(port))).string();
    pid_t server = a_->run({ZEK_SOCKECHO, "server", std::to_string(port), std::to_string(bytes), server_report}, env);
    // The client comes once the server listens: a connection that comes
    // while the server is half set up may rightly go either way.
    EXPECT_TRUE(labtest::eventually([&] { return std::filesystem::exists(server_report + ".listening"); }));
    pid_t client = b_->run(
        {ZEK_SOCKECHO, "client", "127.0.10.61", std::to_string(port), std::to_string(bytes), client_report}, env);
    Echo e;
    e.client_exit = labtest::finish(client, 120000);
    e.server_exit = labtest::finish(server, 120000);
    e.server = fields(labtest::read_file(server_report));
    e.client = fields(labtest::read_file(client_report));
    return e;
  }

  std::unique_ptr<labtest::Host> a_, b_;
};

TEST_F(Hosts, TwoProcessesOnTwoHostsTalkTcpBetweenTheHostsAddresses) {
  const auto e = echo(5301, 1 << 20);
  EXPECT_EQ(e.client_exit, 0);
  EXPECT_EQ(e.server_exit, 0);
  EXPECT_EQ(e.server.at("bytes"), std::to_string(1 << 20));
  EXPECT_EQ(e.client.at("same"), "1");
  // Each side sees the other host's native address.
  EXPECT_EQ(e.server.at("peer").substr(0, 12), "127.0.10.62:");
  EXPECT_EQ(e.server.at("local"), "127.0.10.61:5301");
  EXPECT_EQ(e.client.at("peer"), "127.0.10.61:5301");
  EXPECT_EQ(e.client.at("local").substr(0, 12), "127.0.10.62:");
}

TEST_F(Hosts, ASocketHandedToAnotherProcessCarriesOnThere) {
  // This process listens as a process of host A.
  setenv("ZEK_HOST", a_->dir().c_str(), 1);
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  SOCKET l = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(5302);
  ASSERT_EQ(bind(l, reinterpret_cast<sockaddr*>(&any), sizeof any), 0) << WSAGetLastError();
  ASSERT_EQ(listen(l, 2), 0);
  const std::string dir = (a_->dir() / "dup").string();
  std::filesystem::create_directory(dir);
  pid_t giver = a_->run({ZEK_SOCKECHO, "dup-give", "127.0.10.61", "5302", dir});
  pid_t taker = a_->run({ZEK_SOCKECHO, "dup-take", dir});
  SOCKET s = accept(l, nullptr, nullptr);
  ASSERT_NE(s, INVALID_SOCKET);
  char buffer[64] = {};
  DWORD timeout = 60000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  int got = 0;
  for (int n; (n = recv(s, buffer + got, sizeof buffer - 1 - got, 0)) > 0;) got += n;
  EXPECT_STREQ(buffer, "from the other process");
  EXPECT_EQ(labtest::finish(taker), 0);
  EXPECT_EQ(labtest::finish(giver), 0);
  closesocket(s);
  closesocket(l);
  WSACleanup();
  unsetenv("ZEK_HOST");
}

struct SwitchCase {
  const char* what;
  int port;
  std::size_t bytes;
  std::vector<std::string> env;
  bool carried;
};

TEST_F(Hosts, TheSanSwitchHandsStreamSocketsToTheInstalledProvider) {
  install_test_san(*a_);
  install_test_san(*b_);
  const SwitchCase cases[] = {
      {"a 10 MB echo over the provider", 5303, 10u << 20, {}, true},
      {"the port mapper's port stays native", 3935, 1u << 16, {}, false},
      {"a provider that cannot start leaves native TCP", 5304, 1u << 16, {"ZEK_TESTSAN_REFUSE=1"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string before_a = labtest::read_file(a_->dir() / "testsan.log");
    const std::string before_b = labtest::read_file(b_->dir() / "testsan.log");
    const auto e = echo(c.port, c.bytes, c.env);
    const std::string log_a = labtest::read_file(a_->dir() / "testsan.log").substr(before_a.size());
    const std::string log_b = labtest::read_file(b_->dir() / "testsan.log").substr(before_b.size());
    EXPECT_EQ(e.client_exit, 0) << log_a << log_b;
    EXPECT_EQ(e.server_exit, 0);
    EXPECT_EQ(e.client.count("same") ? e.client.at("same") : "", "1");
    const std::string accepted = "accept 127.0.10.62:";
    const std::string connected = "connect to 127.0.10.61:" + std::to_string(c.port) + " carried";
    if (c.carried) {
      EXPECT_EQ(count(log_a, accepted), 1) << log_a;
      EXPECT_EQ(count(log_b, connected), 1) << log_b;
      // Every byte went through the provider, both ways (headers on top).
      const auto closed = log_a.find("close 127.0.10.61:" + std::to_string(c.port) + " in ");
      ASSERT_NE(closed, std::string::npos) << log_a;
      const auto stats = fields(log_a.substr(closed));
      EXPECT_GE(std::stoull(log_a.substr(log_a.find(" in ", closed) + 4)), c.bytes);
      (void)stats;
      // The application saw the other host's native address, not a SAN one.
      EXPECT_EQ(e.server.at("peer").substr(0, 12), "127.0.10.62:");
      EXPECT_EQ(e.client.at("peer"), "127.0.10.61:" + std::to_string(c.port));
    } else {
      EXPECT_EQ(count(log_a, accepted), 0) << log_a;
      EXPECT_EQ(count(log_b, " carried"), 0) << log_b;
    }
  }
}

}  // namespace
