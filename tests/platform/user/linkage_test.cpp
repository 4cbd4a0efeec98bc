// Every Win32 routine of the runtime is found by its plain name, as a
// program that looks it up (or puts its own in front of it) expects.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The names the runtime's header declares.
const char* const kWin32Names[] = {
    "GetLastError",
    "SetLastError",
    "GetCurrentProcessId",
    "GetCurrentThreadId",
    "GetCurrentProcess",
    "GetCurrentThread",
    "CloseHandle",
    "WaitForSingleObject",
    "WaitForMultipleObjects",
    "WaitForSingleObjectEx",
    "SleepEx",
    "Sleep",
    "CreateEventA",
    "CreateEventW",
    "SetEvent",
    "ResetEvent",
    "CreateSemaphoreA",
    "CreateSemaphoreW",
    "ReleaseSemaphore",
    "CreateMutexA",
    "CreateMutexW",
    "ReleaseMutex",
    "OpenEventA",
    "OpenEventW",
    "OpenSemaphoreA",
    "OpenSemaphoreW",
    "OpenMutexA",
    "OpenMutexW",
    "CreateThread",
    "ResumeThread",
    "ExitThread",
    "GetExitCodeThread",
    "GetThreadId",
    "InitializeCriticalSection",
    "InitializeCriticalSectionAndSpinCount",
    "EnterCriticalSection",
    "TryEnterCriticalSection",
    "LeaveCriticalSection",
    "DeleteCriticalSection",
    "HeapCreate",
    "HeapDestroy",
    "GetProcessHeap",
    "HeapAlloc",
    "HeapReAlloc",
    "HeapFree",
    "HeapSize",
    "LocalAlloc",
    "LocalFree",
    "LoadLibraryA",
    "LoadLibraryW",
    "FreeLibrary",
    "GetModuleHandleA",
    "GetModuleHandleW",
    "GetProcAddress",
    "GetModuleFileNameA",
    "GetModuleFileNameW",
    "DisableThreadLibraryCalls",
    "FormatMessageA",
    "SetConsoleCtrlHandler",
    "MessageBoxA",
    "OutputDebugStringA",
    "GetTickCount",
    "GetTickCount64",
    "QueryPerformanceCounter",
    "QueryPerformanceFrequency",
    "TlsAlloc",
    "TlsFree",
    "TlsGetValue",
    "TlsSetValue",
    "CreateFileA",
    "CreateFileW",
    "DeviceIoControl",
    "GetOverlappedResult",
    "CancelIo",
    "CreateIoCompletionPort",
    "GetQueuedCompletionStatus",
    "PostQueuedCompletionStatus",
    "WRITE_REGISTER_UCHAR",
    "WRITE_REGISTER_USHORT",
    "WRITE_REGISTER_ULONG",
    "WRITE_REGISTER_ULONG64",
};

TEST(Win32Linkage, EveryRoutineIsExportedUnderItsPlainName) {
  void* runtime = dlopen(ZEK_WIN32_LIB, RTLD_NOW | RTLD_NOLOAD);
  if (runtime == nullptr) runtime = dlopen(ZEK_WIN32_LIB, RTLD_NOW);
  ASSERT_NE(runtime, nullptr) << dlerror();
  std::vector<std::string> missing;
  for (const char* name : kWin32Names) {
    if (dlsym(runtime, name) == nullptr) missing.push_back(name);
  }
  EXPECT_TRUE(missing.empty()) << "not found by plain name: " << ::testing::PrintToString(missing);
  dlclose(runtime);
}

}  // namespace
