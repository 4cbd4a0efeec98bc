// A zekhost with the proxy driver (and so the host stack with its loopback
// interface "lo0", 127.0.0.1) serving this test process, zeksock started in
// the process and its routine table fetched, as a user program of the host
// sees them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "include/zek/ioctl.h"
#include "include/zek/zekbase.h"
#include "include/zek/zeksock.h"
#include "tests/support/lab.h"

inline constexpr std::uint32_t kLoopback = 0x0100007F;  // 127.0.0.1, network order in memory

// A BSD IPv4 socket address (port in host order here).
inline ZekSanAddress sockaddr_in_of(std::uint32_t network_address, std::uint16_t port) {
  ZekSanAddress a{};
  a.Family = static_cast<std::uint16_t>(16 | (2 << 8));  // length byte 16, family byte 2
  a.Port = __builtin_bswap16(port);
  a.Address = network_address;
  return a;
}
inline std::uint16_t port_of(const ZekSanAddress& a) { return __builtin_bswap16(a.Port); }

// Writes host.conf for a host with the proxy driver and starts it.
inline pid_t start_proxy_host(const std::filesystem::path& dir, const char* name) {
  std::ofstream conf(dir / "host.conf");
  conf << "[host]\nname = " << name << "\nmemory_mb = 256\n\n[driver zekproxy]\npath = " << ZEK_PROXY_DRIVER << "\n";
  conf.close();
  return zeklab::spawn_host(dir);
}

class ZeksockLab : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = zeklab::make_temp_dir("zeksock-test");
    ASSERT_FALSE(dir_.empty());
    host_dir_ = dir_ / "host";
    std::filesystem::create_directory(host_dir_);
    host_ = start_proxy_host(host_dir_, "SOCKHOST");
    ASSERT_TRUE(zeklab::eventually([&] { return zeklab::host_ready(host_dir_); }))
        << zeklab::read_file(host_dir_ / "host.log");
    setenv("ZEK_HOST", host_dir_.c_str(), 1);
    ZekSocketsInitParams params{0, 0};
    ASSERT_EQ(ZEK_InitLib_Sockets(&params, ZEK_ABI_COOKIE), ZEK_STATUS_PASS);
    initialised_ = true;
    void* table = nullptr;
    ASSERT_EQ(ZEK_GetInterface(ZEK_SOCKETS_INTERFACE, &table), ZEK_STATUS_PASS);
    t_ = static_cast<const ZekUserSocketTable*>(table);
  }

  void TearDown() override {
    if (initialised_) {
      EXPECT_EQ(ZEK_CleanupLib_Sockets(), ZEK_STATUS_PASS);
    }
    if (host_ > 0) zeklab::terminate(host_);
    if (HasFailure()) std::fprintf(stderr, "host.log:\n%s\n", zeklab::read_file(host_dir_ / "host.log").c_str());
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // A TCP listener on 127.0.0.1 at a port the stack picks; its port in *port.
  std::int64_t listener(std::uint16_t* port, int backlog = 8) {
    const std::int64_t s = t_->socket(2, 1, 0);
    EXPECT_GE(s, 0) << zek_errno;
    ZekSanAddress a = sockaddr_in_of(kLoopback, 0);
    EXPECT_EQ(t_->bind(s, &a, sizeof(a)), 0) << zek_errno;
    EXPECT_EQ(t_->listen(s, backlog), 0) << zek_errno;
    std::uint32_t length = sizeof(a);
    EXPECT_EQ(t_->getsockname(s, &a, &length), 0) << zek_errno;
    *port = port_of(a);
    return s;
  }

  std::int64_t connected_to(std::uint16_t port) {
    const std::int64_t s = t_->socket(2, 1, 0);
    EXPECT_GE(s, 0) << zek_errno;
    const ZekSanAddress a = sockaddr_in_of(kLoopback, port);
    EXPECT_EQ(t_->connect(s, &a, sizeof(a)), 0) << zek_errno;
    return s;
  }

  // A connected pair: {client, accepted}.
  std::pair<std::int64_t, std::int64_t> tcp_pair() {
    std::uint16_t port = 0;
    const std::int64_t l = listener(&port);
    const std::int64_t c = connected_to(port);
    const std::int64_t a = t_->accept(l, nullptr, nullptr);
    EXPECT_GE(a, 0) << zek_errno;
    t_->close(l);
    return {c, a};
  }

  // Sends all of `length` bytes (a stream send may take fewer).
  bool send_all(std::int64_t s, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
      const int n = t_->send(s, data, static_cast<int>(std::min<std::size_t>(length, 1 << 16)), 0);
      if (n <= 0) return false;
      data += n;
      length -= static_cast<std::size_t>(n);
    }
    return true;
  }

  std::filesystem::path dir_, host_dir_;
  pid_t host_ = -1;
  bool initialised_ = false;
  const ZekUserSocketTable* t_ = nullptr;
};
