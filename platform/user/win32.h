// The Win32 routines that the system's user-mode programs and libraries
// call, implemented for a Linux process (library zekwin32).
//
// Device I/O reaches the simulated host named by the environment variable
// ZEK_HOST (its directory). Handles are small process-wide values; the low
// bit of an OVERLAPPED's event handle asks that its completion post no
// packet to a completion port, as on Windows.
#pragma once

#include <cstdarg>

#include "platform/common/ioctl.h"
#include "platform/common/ntstatus.h"
#include "platform/common/win32error.h"
#include "platform/common/wintypes.h"

using LPVOID = void*;
using LPHANDLE = HANDLE*;
using LPBOOL = BOOL*;
using LPBYTE = BYTE*;
using LPLONG = LONG*;
using LPCWSTR = const WCHAR*;
using PDWORD = DWORD*;
using PULONG_PTR = ULONG_PTR*;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))
inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_ABANDONED_0 = 0x80;
inline constexpr DWORD WAIT_IO_COMPLETION = 0xC0;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
inline constexpr DWORD STILL_ACTIVE = 259;

// (Kernel code declares the same names in platform/kernel; a program includes one side.)
inline constexpr DWORD GENERIC_READ = 0x80000000;
inline constexpr DWORD GENERIC_WRITE = 0x40000000;
inline constexpr DWORD FILE_SHARE_READ = 0x00000001;
inline constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
inline constexpr DWORD CREATE_NEW = 1;
inline constexpr DWORD CREATE_ALWAYS = 2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD OPEN_ALWAYS = 4;
inline constexpr DWORD TRUNCATE_EXISTING = 5;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;

inline constexpr DWORD HEAP_NO_SERIALIZE = 0x00000001;
inline constexpr DWORD HEAP_GENERATE_EXCEPTIONS = 0x00000004;
inline constexpr DWORD HEAP_ZERO_MEMORY = 0x00000008;

inline constexpr DWORD SYNCHRONIZE = 0x00100000;
inline constexpr DWORD DELETE = 0x00010000;
inline constexpr DWORD MUTEX_MODIFY_STATE = 0x0001;
inline constexpr DWORD MUTEX_ALL_ACCESS = 0x1F0001;
inline constexpr DWORD EVENT_MODIFY_STATE = 0x0002;
inline constexpr DWORD EVENT_ALL_ACCESS = 0x1F0003;
inline constexpr DWORD SEMAPHORE_MODIFY_STATE = 0x0002;
inline constexpr DWORD SEMAPHORE_ALL_ACCESS = 0x1F0003;

inline constexpr DWORD CREATE_SUSPENDED = 0x00000004;
inline constexpr DWORD TLS_OUT_OF_INDEXES = 0xFFFFFFFF;

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

struct OVERLAPPED {
  ULONG_PTR Internal;      // the NTSTATUS; STATUS_PENDING while the request is pending
  ULONG_PTR InternalHigh;  // bytes transferred
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;
inline bool HasOverlappedIoCompleted(const OVERLAPPED* o) {
  return static_cast<NTSTATUS>(o->Internal) != STATUS_PENDING;
}

struct CRITICAL_SECTION {
  PVOID DebugInfo;
  LONG LockCount;
  LONG RecursionCount;
  HANDLE OwningThread;
  HANDLE LockSemaphore;  // the lock itself
  ULONG_PTR SpinCount;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

union LARGE_INTEGER;
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID lpThreadParameter);

// Modules: a module handle is the shared object's loader handle.
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
// Windows gives FARPROC a LONG_PTR result; here it is the one function type
// that converts to every other without a cast warning, as callers always cast it.
using FARPROC = void (*)();
inline constexpr DWORD DLL_PROCESS_DETACH = 0;
inline constexpr DWORD DLL_PROCESS_ATTACH = 1;
inline constexpr DWORD DLL_THREAD_ATTACH = 2;
inline constexpr DWORD DLL_THREAD_DETACH = 3;

using HLOCAL = HANDLE;
inline constexpr UINT LMEM_FIXED = 0x0000;
inline constexpr UINT LMEM_ZEROINIT = 0x0040;
inline constexpr UINT LPTR = LMEM_FIXED | LMEM_ZEROINIT;

inline constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
inline constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
inline constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
inline constexpr DWORD LANG_NEUTRAL = 0x00;
inline constexpr DWORD SUBLANG_DEFAULT = 0x01;
inline constexpr DWORD MAKELANGID(DWORD primary, DWORD sub) { return (sub << 10) | primary; }

inline constexpr DWORD CTRL_C_EVENT = 0;
inline constexpr DWORD CTRL_BREAK_EVENT = 1;
using PHANDLER_ROUTINE = BOOL (*)(DWORD dwCtrlType);

struct HWND__;
using HWND = HWND__*;
inline constexpr UINT MB_OK = 0x00000000;
inline constexpr UINT MB_ICONERROR = 0x00000010;
inline constexpr int IDOK = 1;

// Every routine has C linkage, as Windows' own do: a program finds each by
// its plain name (dlsym) or puts its own in front of it.
extern "C" {

// ---- Errors, processes and threads -------------------------------------------------
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();
HANDLE GetCurrentProcess();  // pseudo handle
HANDLE GetCurrentThread();   // pseudo handle

// ---- Handles and waits ---------------------------------------------------------------
BOOL CloseHandle(HANDLE hObject);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds);
DWORD WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable);
// No user APCs are queued in this system: an alertable sleep only sleeps.
DWORD SleepEx(DWORD dwMilliseconds, BOOL bAlertable);
void Sleep(DWORD dwMilliseconds);

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName);
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount, LONG lMaximumCount,
                        LPCSTR lpName);
HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount, LONG lMaximumCount,
                        LPCWSTR lpName);
// Fails with ERROR_TOO_MANY_POSTS (count unchanged) past the maximum.
BOOL ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount);
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName);
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName);
// Fails with ERROR_NOT_OWNER for a thread that does not own it.
BOOL ReleaseMutex(HANDLE hMutex);
// Named events, semaphores and mutexes are shared by the processes of one
// host (one namespace; "Global\" and "Local\" are dropped; names are
// case-sensitive). Create* of a name that is there gives that object with
// ERROR_ALREADY_EXISTS, of a name held by another kind ERROR_INVALID_HANDLE;
// Open* of a missing name ERROR_FILE_NOT_FOUND. Access rights and security
// descriptors are accepted and not enforced. A mutex whose owner ends, or
// whose process dies, becomes abandoned.
HANDLE OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
HANDLE OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);
HANDLE OpenSemaphoreA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
HANDLE OpenSemaphoreW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);
HANDLE OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
HANDLE OpenMutexW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);

HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                    LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId);
DWORD ResumeThread(HANDLE hThread);
[[noreturn]] void ExitThread(DWORD dwExitCode);
BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
DWORD GetThreadId(HANDLE Thread);

// ---- Critical sections (recursive) ------------------------------------------------------
void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount);
void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// ---- Heaps --------------------------------------------------------------------------------
HANDLE HeapCreate(DWORD flOptions, SIZE_T dwInitialSize, SIZE_T dwMaximumSize);
BOOL HeapDestroy(HANDLE hHeap);  // releases every block still allocated from it
HANDLE GetProcessHeap();
LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes);
LPVOID HeapReAlloc(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem, SIZE_T dwBytes);
// A block of another heap, or freed already, fails with ERROR_INVALID_PARAMETER.
BOOL HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem);
SIZE_T HeapSize(HANDLE hHeap, DWORD dwFlags, LPCVOID lpMem);

// Local memory: blocks of the process heap (LocalFree of anything else
// returns the block with ERROR_INVALID_HANDLE).
HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes);
HLOCAL LocalFree(HLOCAL hMem);

// ---- Modules ------------------------------------------------------------------------------
// "NAME.dll" stands for the shared object NAME.so (or libNAME.so) in the
// program's directory, the lib directory beside it, the runtime's own
// directory or the current directory; a name with a slash is a path. The
// first LoadLibrary of a module calls its exported DllMain (if any) with
// DLL_PROCESS_ATTACH, and refuses the load (ERROR_DLL_INIT_FAILED) when it
// answers FALSE; the last FreeLibrary calls it with DLL_PROCESS_DETACH.
// No thread notifications are sent. Unknown modules: ERROR_MOD_NOT_FOUND.
HMODULE LoadLibraryA(LPCSTR lpLibFileName);
HMODULE LoadLibraryW(LPCWSTR lpLibFileName);
BOOL FreeLibrary(HMODULE hLibModule);
// Null: the program itself. Takes no reference.
HMODULE GetModuleHandleA(LPCSTR lpModuleName);
HMODULE GetModuleHandleW(LPCWSTR lpModuleName);
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
// A path that does not fit is cut (with its terminator), nSize returned and
// ERROR_INSUFFICIENT_BUFFER set, as on Windows.
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
BOOL DisableThreadLibraryCalls(HMODULE hLibModule);

// ---- Messages and the console --------------------------------------------------------------
// Only FORMAT_MESSAGE_FROM_SYSTEM is known: the text of a Win32 or WinSock
// code, ending in "\r\n" (ERROR_MR_MID_NOT_FOUND for a code without one).
// Inserts are never expanded.
DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                     DWORD nSize, va_list* Arguments);
// SIGINT is CTRL_C_EVENT and SIGQUIT CTRL_BREAK_EVENT; the handlers run on a
// thread of their own, newest first, and a process whose handlers all
// decline ends, as on Windows.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add);
// Writes "[caption] text" on standard error and answers IDOK.
int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);

// ---- Debugger output ------------------------------------------------------------------
// No debugger listens here: the text goes to standard error as it is, so that
// a person running the program sees it. A null string writes nothing.
void OutputDebugStringA(LPCSTR lpOutputString);

// ---- Time -------------------------------------------------------------------------------
DWORD GetTickCount();  // milliseconds, wraps after 49.7 days
ULONGLONG GetTickCount64();
BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency);  // 10 MHz

// ---- Thread-local storage -------------------------------------------------------------
DWORD TlsAlloc();
BOOL TlsFree(DWORD dwTlsIndex);
LPVOID TlsGetValue(DWORD dwTlsIndex);
BOOL TlsSetValue(DWORD dwTlsIndex, LPVOID lpTlsValue);

// ---- Devices --------------------------------------------------------------------------
// "\\.\NAME" opens the device NAME of the host; ERROR_FILE_NOT_FOUND when
// there is no host or no such device. Other paths are not files of this
// system (ERROR_PATH_NOT_FOUND).
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile);
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile);
// Synchronous on a handle opened without FILE_FLAG_OVERLAPPED (requests on
// one such handle run one at a time); on an overlapped handle, FALSE with
// ERROR_IO_PENDING when the driver pended the request.
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
// Cancels the calling thread's pended requests on the handle.
BOOL CancelIo(HANDLE hFile);

HANDLE CreateIoCompletionPort(HANDLE FileHandle, HANDLE ExistingCompletionPort, ULONG_PTR CompletionKey,
                              DWORD NumberOfConcurrentThreads);
BOOL GetQueuedCompletionStatus(HANDLE CompletionPort, LPDWORD lpNumberOfBytesTransferred, PULONG_PTR lpCompletionKey,
                               LPOVERLAPPED* lpOverlapped, DWORD dwMilliseconds);
BOOL PostQueuedCompletionStatus(HANDLE CompletionPort, DWORD dwNumberOfBytesTransferred, ULONG_PTR dwCompletionKey,
                                LPOVERLAPPED lpOverlapped);

}  // extern "C"
