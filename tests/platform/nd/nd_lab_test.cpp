// NetworkDirect on a real host: a provider installed in the catalog is
// found, its objects count their references, and its requests complete
// through the platform (event, completion port, overlapped result).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/common/text.h"
#include "platform/nd/nd.h"
#include "platform/winsock/ws2spi.h"
#include "tests/platform/kernel/io/testdrv.h"
#include "tests/platform/labhost.h"

namespace {

constexpr GUID kTestNd = {0x7a656b00, 0x4e44, 0x5445, {0x53, 0x54, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};

class NetworkDirect : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    host_ =
        new labtest::Host("NDHOST", "127.0.10.71", std::string("\n[driver zektest]\npath = ") + ZEK_TEST_DRIVER + "\n");
    ASSERT_TRUE(host_->start()) << host_->log();
    setenv("ZEK_HOST", host_->dir().c_str(), 1);
    // The provider's catalog entry, as a NetworkDirect provider installs it.
    WSAPROTOCOL_INFOW info{};
    info.dwServiceFlags1 = XP1_GUARANTEED_DELIVERY | XP1_GUARANTEED_ORDER | XP1_MESSAGE_ORIENTED | XP1_CONNECT_DATA;
    info.dwProviderFlags = PFL_HIDDEN;
    info.iVersion = 1;
    info.iAddressFamily = AF_INET;
    info.iMaxSockAddr = info.iMinSockAddr = 16;
    info.iSocketType = -1;
    info.iNetworkByteOrder = 1;
    info.dwMessageSize = 1;
    GUID id = kTestNd;
    const std::u16string path = plat::to_u16(ZEK_TEST_ND);
    int error = 0;
    ASSERT_EQ(WSCInstallProvider(&id, reinterpret_cast<const WCHAR*>(path.c_str()), &info, 1, &error), 0) << error;
  }
  static void TearDownTestSuite() {
    unsetenv("ZEK_HOST");
    delete host_;
    host_ = nullptr;
  }
  static sockaddr_in address(const char* ip) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr(ip);
    return a;
  }
  static labtest::Host* host_;
};

labtest::Host* NetworkDirect::host_ = nullptr;

TEST_F(NetworkDirect, TheProviderIsFoundThroughTheCatalog) {
  SIZE_T count = 0;
  EXPECT_EQ(ZekNdEnumProviders(nullptr, &count), ND_BUFFER_OVERFLOW);
  ASSERT_EQ(count, 1u);
  GUID ids[1];
  ASSERT_EQ(ZekNdEnumProviders(ids, &count), ND_SUCCESS);
  EXPECT_EQ(ids[0], kTestNd);
  INDProvider* provider = nullptr;
  ASSERT_EQ(ZekNdOpenProvider(&kTestNd, &provider), ND_SUCCESS);
  // Its address list, with the size it needs.
  SIZE_T size = 0;
  ASSERT_EQ(provider->QueryAddressList(nullptr, &size), ND_BUFFER_OVERFLOW);
  std::vector<char> list(size);
  ASSERT_EQ(provider->QueryAddressList(reinterpret_cast<SOCKET_ADDRESS_LIST*>(list.data()), &size), ND_SUCCESS);
  const auto* addresses = reinterpret_cast<SOCKET_ADDRESS_LIST*>(list.data());
  ASSERT_EQ(addresses->iAddressCount, 1);
  EXPECT_EQ(reinterpret_cast<sockaddr_in*>(addresses->Address[0].lpSockaddr)->sin_addr.s_addr,
            inet_addr("127.0.10.71"));
  // Interfaces it answers, with a reference each.
  void* other = nullptr;
  EXPECT_EQ(provider->QueryInterface(IID_INDAdapter, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  ASSERT_EQ(provider->QueryInterface(IID_IUnknown, &other), S_OK);
  EXPECT_EQ(static_cast<IUnknown*>(other)->Release(), 1u);
  EXPECT_EQ(provider->Release(), 0u);

  const GUID unknown = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(ZekNdOpenProvider(&unknown, &provider), ND_NOT_SUPPORTED);
  EXPECT_EQ(ZekNdOpenProvider(&kTestNd, nullptr), ND_INVALID_PARAMETER);
}

TEST_F(NetworkDirect, AnAdapterIsOpenedForTheAddressItsProviderServes) {
  sockaddr_in mine = address("127.0.10.71");
  sockaddr_in elsewhere = address("127.0.10.72");
  INDAdapter* adapter = nullptr;
  EXPECT_EQ(ZekNdOpenAdapter(reinterpret_cast<sockaddr*>(&elsewhere), sizeof elsewhere, &adapter), ND_INVALID_ADDRESS);
  EXPECT_EQ(ZekNdOpenAdapter(reinterpret_cast<sockaddr*>(&mine), 4, &adapter), ND_INVALID_PARAMETER);
  ASSERT_EQ(ZekNdOpenAdapter(reinterpret_cast<sockaddr*>(&mine), sizeof mine, &adapter), ND_SUCCESS);
  ND_ADAPTER_INFO1 info{};
  SIZE_T size = sizeof info - 1;
  struct Case {
    const char* what;
    std::function<HRESULT()> call;
    HRESULT expected;
  };
  const Case cases[] = {
      {"another version", [&] { return adapter->Query(2, &info, &size); }, ND_NOT_SUPPORTED},
      {"a short record", [&] { return adapter->Query(1, &info, &size); }, ND_BUFFER_OVERFLOW},
      {"the record", [&] { return adapter->Query(1, &info, &size); }, ND_SUCCESS},
      {"a queue of no entries",
       [&] {
         INDCompletionQueue* cq = nullptr;
         return adapter->CreateCompletionQueue(0, &cq);
       },
       ND_INVALID_PARAMETER},
  };
  for (const auto& c : cases) EXPECT_EQ(c.call(), c.expected) << c.what;
  EXPECT_EQ(size, sizeof info);
  EXPECT_EQ(info.VendorId, 0x1678u);
  EXPECT_EQ(adapter->Release(), 0u);
}

TEST_F(NetworkDirect, ANotificationCompletesThroughTheCompletionPortOfTheAdaptersHandle) {
  sockaddr_in mine = address("127.0.10.71");
  INDAdapter* adapter = nullptr;
  ASSERT_EQ(ZekNdOpenAdapter(reinterpret_cast<sockaddr*>(&mine), sizeof mine, &adapter), ND_SUCCESS);
  HANDLE port = CreateIoCompletionPort(adapter->GetFileHandle(), nullptr, 42, 0);
  ASSERT_NE(port, nullptr) << GetLastError();
  INDCompletionQueue* cq = nullptr;
  ASSERT_EQ(adapter->CreateCompletionQueue(16, &cq), ND_SUCCESS);
  OVERLAPPED ov{};
  ASSERT_EQ(cq->Notify(ND_CQ_NOTIFY_ANY, &ov), ND_PENDING);
  SIZE_T bytes = 0;
  EXPECT_EQ(cq->GetOverlappedResult(&ov, &bytes, FALSE), ND_PENDING);
  // Another process makes the driver complete it.
  const pid_t completer = host_->run({ZEK_IOCLIENT, "complete", std::to_string(0x7E02), "99"});
  EXPECT_EQ(labtest::finish(completer), 1);
  DWORD transferred = 0;
  ULONG_PTR key = 0;
  LPOVERLAPPED done = nullptr;
  ASSERT_TRUE(GetQueuedCompletionStatus(port, &transferred, &key, &done, 20000));
  EXPECT_EQ(key, 42u);
  EXPECT_EQ(done, &ov);
  EXPECT_EQ(cq->GetOverlappedResult(&ov, &bytes, TRUE), ND_SUCCESS);
  EXPECT_EQ(bytes, 8u);
  // A notification cancelled completes with ND_CANCELED.
  ov = OVERLAPPED{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_EQ(cq->Notify(ND_CQ_NOTIFY_ANY, &ov), ND_PENDING);
  EXPECT_EQ(cq->CancelOverlappedRequests(), ND_SUCCESS);
  EXPECT_EQ(cq->GetOverlappedResult(&ov, &bytes, TRUE), ND_CANCELED);
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ(cq->Notify(ND_CQ_NOTIFY_ANY, nullptr), ND_INVALID_PARAMETER);
  CloseHandle(ov.hEvent);
  // The queue holds its adapter: the adapter goes with the last of them.
  EXPECT_EQ(adapter->Release(), 1u);
  EXPECT_EQ(cq->Release(), 0u);
  CloseHandle(port);
}

TEST_F(NetworkDirect, AProviderWithNoObjectsLeftIsUnloaded) {
  INDProvider* provider = nullptr;
  ASSERT_EQ(ZekNdOpenProvider(&kTestNd, &provider), ND_SUCCESS);
  ZekNdUnloadProviders();
  EXPECT_NE(GetModuleHandleA(ZEK_TEST_ND), nullptr);  // a provider object still lives in it
  provider->Release();
  ZekNdUnloadProviders();
  EXPECT_EQ(GetModuleHandleA(ZEK_TEST_ND), nullptr);
}

}  // namespace
