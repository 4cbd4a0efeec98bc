// The service control manager on a real host: install, start, control,
// query, stop and delete a service program, and its failures.
#include <gtest/gtest.h>
#include <signal.h>

#include <functional>
#include <string>

#include "platform/advapi/advapi.h"
#include "tests/platform/labhost.h"

namespace {

class Services : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    host_ = new labtest::Host("SVCHOST", "127.0.10.42");
    ASSERT_TRUE(host_->start()) << host_->log();
    setenv("ZEK_HOST", host_->dir().c_str(), 1);
  }
  static void TearDownTestSuite() {
    delete host_;
    host_ = nullptr;
  }
  void SetUp() override {
    manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager_, nullptr);
  }
  void TearDown() override { CloseServiceHandle(manager_); }

  SC_HANDLE install(const std::string& name, const std::string& mode = "", DWORD start = SERVICE_DEMAND_START) {
    const std::string path = std::string("\"") + ZEK_TEST_SERVICE + "\"" + (mode.empty() ? "" : " " + mode);
    return CreateServiceA(manager_, name.c_str(), (name + " display").c_str(), SERVICE_ALL_ACCESS,
                          SERVICE_WIN32_OWN_PROCESS, start, SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr,
                          nullptr, nullptr, nullptr);
  }
  static DWORD state_of(SC_HANDLE service) {
    SERVICE_STATUS status{};
    return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
  }
  static std::string record(const std::string& name) {
    return labtest::read_file(host_->dir() / ("testservice-" + name + ".txt"));
  }

  static labtest::Host* host_;
  SC_HANDLE manager_ = nullptr;
};

labtest::Host* Services::host_ = nullptr;

TEST_F(Services, AServiceRunsItsMainAndHandlerAndStopsOnRequest) {
  SC_HANDLE service = install("ZekTestOne");
  ASSERT_NE(service, nullptr) << GetLastError();
  EXPECT_EQ(state_of(service), SERVICE_STOPPED);
  const char* args[] = {"alpha", "beta"};
  ASSERT_TRUE(StartServiceA(service, 2, args)) << GetLastError();
  ASSERT_TRUE(labtest::eventually([&] { return state_of(service) == SERVICE_RUNNING; }));
  EXPECT_NE(record("ZekTestOne").find("started ZekTestOne alpha beta"), std::string::npos) << record("ZekTestOne");
  EXPECT_FALSE(StartServiceA(service, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
  SERVICE_STATUS status{};
  EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));
  EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(status.dwControlsAccepted, SERVICE_ACCEPT_STOP);
  EXPECT_TRUE(ControlService(service, 200, &status));
  EXPECT_NE(record("ZekTestOne").find("control 200"), std::string::npos);
  // The handler has run when ControlService returns.
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  EXPECT_NE(record("ZekTestOne").find("stopping"), std::string::npos);
  ASSERT_TRUE(labtest::eventually([&] { return state_of(service) == SERVICE_STOPPED; }));
  EXPECT_NE(record("ZekTestOne").find("stopped"), std::string::npos);
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_TRUE(DeleteService(service));
  EXPECT_TRUE(CloseServiceHandle(service));
  EXPECT_EQ(OpenServiceA(manager_, "ZekTestOne", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(Services, InstallingAndOpeningRefuseWhatWindowsRefuses) {
  SC_HANDLE service = install("ZekTestTwo");
  ASSERT_NE(service, nullptr);
  struct Case {
    const char* what;
    std::function<SC_HANDLE()> call;
    DWORD error;
  };
  const Case cases[] = {
      {"the same name again", [&] { return install("ZekTestTwo"); }, ERROR_SERVICE_EXISTS},
      {"the same name in other case", [&] { return install("ZEKTESTTWO"); }, ERROR_SERVICE_EXISTS},
      {"another's display name",
       [&] {
         return CreateServiceA(manager_, "ZekTestTwoB", "ZekTestTwo display", SERVICE_ALL_ACCESS,
                               SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, ZEK_TEST_SERVICE,
                               nullptr, nullptr, nullptr, nullptr, nullptr);
       },
       ERROR_DUPLICATE_SERVICE_NAME},
      {"a name with a slash", [&] { return install("a/b"); }, ERROR_INVALID_NAME},
      {"a driver's start type", [&] { return install("ZekTestBoot", "", SERVICE_BOOT_START); },
       ERROR_INVALID_PARAMETER},
      {"no program",
       [&] {
         return CreateServiceA(manager_, "ZekTestNone", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                               SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr);
       },
       ERROR_INVALID_PARAMETER},
      {"a missing service", [&] { return OpenServiceA(manager_, "ZekTestMissing", SERVICE_ALL_ACCESS); },
       ERROR_SERVICE_DOES_NOT_EXIST},
      {"a service handle as manager", [&] { return OpenServiceA(service, "x", SERVICE_ALL_ACCESS); },
       ERROR_INVALID_HANDLE},
      {"another machine", [] { return OpenSCManagerA("\\\\elsewhere", nullptr, SC_MANAGER_CONNECT); },
       RPC_S_SERVER_UNAVAILABLE},
      {"another database", [] { return OpenSCManagerA(nullptr, "Other", SC_MANAGER_CONNECT); },
       ERROR_DATABASE_DOES_NOT_EXIST},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(c.call(), nullptr) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
  // A handle is good for the rights it was opened with.
  SC_HANDLE query_only = OpenServiceA(manager_, "zektesttwo", SERVICE_QUERY_STATUS);
  ASSERT_NE(query_only, nullptr);
  EXPECT_FALSE(StartServiceA(query_only, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(DeleteService(query_only));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  SERVICE_STATUS status{};
  EXPECT_FALSE(ControlService(query_only, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(QueryServiceStatus(query_only, &status));
  CloseServiceHandle(query_only);
  EXPECT_FALSE(CloseServiceHandle(query_only));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(DeleteService(service));
  EXPECT_FALSE(DeleteService(service));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  CloseServiceHandle(service);
}

TEST_F(Services, ProgramsThatCannotServeFailTheStart) {
  SC_HANDLE silent = install("ZekTestSilent", "no-connect");
  ASSERT_NE(silent, nullptr);
  EXPECT_FALSE(StartServiceA(silent, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_REQUEST_TIMEOUT);
  EXPECT_EQ(state_of(silent), SERVICE_STOPPED);
  SC_HANDLE missing = CreateServiceA(manager_, "ZekTestNoFile", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "/nonexistent/program", nullptr,
                                     nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(missing, nullptr);
  EXPECT_FALSE(StartServiceA(missing, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  SC_HANDLE disabled = install("ZekTestDisabled", "", SERVICE_DISABLED);
  ASSERT_NE(disabled, nullptr);
  EXPECT_FALSE(StartServiceA(disabled, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DISABLED);
  for (SC_HANDLE s : {silent, missing, disabled}) {
    DeleteService(s);
    CloseServiceHandle(s);
  }
}

TEST_F(Services, AServiceThatRefusesStopOrDiesIsSeenAsSuch) {
  SC_HANDLE stubborn = install("ZekTestStubborn", "no-stop");
  ASSERT_NE(stubborn, nullptr);
  ASSERT_TRUE(StartServiceA(stubborn, 0, nullptr));
  ASSERT_TRUE(labtest::eventually([&] { return state_of(stubborn) == SERVICE_RUNNING; }));
  SERVICE_STATUS status{};
  EXPECT_FALSE(ControlService(stubborn, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_CONTROL);
  EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
  // Deleting a running service marks it; the name stays taken until it stops.
  EXPECT_TRUE(DeleteService(stubborn));
  EXPECT_EQ(install("ZekTestStubborn"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  // Its process dies: the service is stopped, with the error Windows reports.
  const std::string text = labtest::read_file(host_->dir() / "services" / "ZEKTESTSTUBBORN.status");
  const int pid = std::atoi(text.c_str() + 4);
  ASSERT_GT(pid, 0) << text;
  kill(pid, SIGKILL);
  ASSERT_TRUE(labtest::eventually([&] { return state_of(stubborn) == SERVICE_STOPPED; }));
  EXPECT_TRUE(QueryServiceStatus(stubborn, &status));
  EXPECT_EQ(status.dwWin32ExitCode, ERROR_PROCESS_ABORTED);
  CloseServiceHandle(stubborn);
  SC_HANDLE again = install("ZekTestStubborn");  // the marked service has gone now that it stopped
  EXPECT_NE(again, nullptr) << GetLastError();
  DeleteService(again);
  CloseServiceHandle(again);
}

TEST_F(Services, TheDispatcherRefusesAProgramNotStartedAsAService) {
  SERVICE_TABLE_ENTRYA table[] = {{const_cast<LPSTR>("x"), [](DWORD, LPSTR*) {}}, {nullptr, nullptr}};
  EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
  EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  EXPECT_EQ(RegisterServiceCtrlHandlerA("x", [](DWORD) {}), 0u);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
  EXPECT_FALSE(SetServiceStatus(0, &status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// A service installed for auto-start is started by its host when the host
// starts, and stopped through its handler before the host exits.
TEST(AutoStart, AnAutoStartServiceRunsWhileItsHostRuns) {
  labtest::Host host("AUTOHOST", "127.0.10.45");
  ASSERT_TRUE(host.start()) << host.log();
  setenv("ZEK_HOST", host.dir().c_str(), 1);
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(manager, nullptr);
  const std::string path = std::string("\"") + ZEK_TEST_SERVICE + "\"";
  SC_HANDLE automatic =
      CreateServiceA(manager, "ZekTestAuto", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                     SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(automatic, nullptr) << GetLastError();
  SC_HANDLE manual = CreateServiceA(manager, "ZekTestManual", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr, nullptr,
                                    nullptr, nullptr);
  ASSERT_NE(manual, nullptr) << GetLastError();
  const auto state_of = [](SC_HANDLE service) {
    SERVICE_STATUS status{};
    return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
  };
  const auto record = [&](const char* name) {
    return labtest::read_file(host.dir() / (std::string("testservice-") + name + ".txt"));
  };
  EXPECT_EQ(state_of(automatic), SERVICE_STOPPED) << "installing starts nothing";
  ASSERT_EQ(host.stop(), 0) << host.log();

  ASSERT_TRUE(host.start()) << host.log();
  ASSERT_TRUE(labtest::eventually([&] { return state_of(automatic) == SERVICE_RUNNING; })) << host.log();
  EXPECT_NE(record("ZekTestAuto").find("started ZekTestAuto"), std::string::npos) << record("ZekTestAuto");
  EXPECT_EQ(state_of(manual), SERVICE_STOPPED);
  EXPECT_EQ(record("ZekTestManual"), "");
  // The host stops its service through the stop control, then exits.
  ASSERT_EQ(host.stop(), 0) << host.log();
  EXPECT_EQ(state_of(automatic), SERVICE_STOPPED);
  const std::string text = record("ZekTestAuto");
  EXPECT_NE(text.find("control 1\nstopping\nstopped"), std::string::npos) << text;
  EXPECT_NE(host.log().find("service ZekTestAuto stopped"), std::string::npos) << host.log();
  CloseServiceHandle(manual);
  CloseServiceHandle(automatic);
  CloseServiceHandle(manager);
  unsetenv("ZEK_HOST");
}

}  // namespace
