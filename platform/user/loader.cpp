// Modules: LoadLibrary, GetProcAddress, FreeLibrary and their companions,
// over the Linux dynamic loader.
#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/user/runtime.h"

namespace plat::user {
namespace {

struct Module {
  std::string path;
  int loads = 0;          // LoadLibrary calls not yet matched by FreeLibrary
  bool attached = false;  // DllMain has seen DLL_PROCESS_ATTACH
};

using DllEntry = BOOL (*)(HMODULE, DWORD, LPVOID);

// The loader lock: DllMain runs under it, as on Windows.
std::recursive_mutex& loader_mu() {
  static auto* mu = new std::recursive_mutex;
  return *mu;
}

std::map<void*, Module>& modules() {
  static auto* table = new std::map<void*, Module>;
  return *table;
}

std::string self_exe() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  path[n] = '\0';
  return path;
}

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string path_of(void* handle) {
  link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return {};
  if (map->l_name == nullptr || *map->l_name == '\0') return self_exe();
  return map->l_name;
}

bool is_file(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool ends_with_dll(const std::string& name) {
  if (name.size() < 4) return false;
  std::string tail = name.substr(name.size() - 4);
  for (auto& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == ".dll";
}

// A module name as Windows programs give it ("zekdirect.dll") becomes the
// shared object that stands for it: NAME.so or libNAME.so in the program's
// directory, the lib directory beside it, the runtime's directory or the
// current directory; a name with a slash is a path.
std::string resolve(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  std::string base = ends_with_dll(name) ? name.substr(0, name.size() - 4) : name;
  std::vector<std::string> dirs;
  const std::string exe_dir = directory_of(self_exe());
  dirs.push_back(exe_dir);
  dirs.push_back(exe_dir + "/../lib");
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&GetLastError), &info) != 0 && info.dli_fname != nullptr) {
    dirs.push_back(directory_of(info.dli_fname));
  }
  dirs.push_back(".");
  for (const auto& dir : dirs) {
    for (const auto& file : {base + ".so", "lib" + base + ".so", name}) {
      if (is_file(dir + "/" + file)) return dir + "/" + file;
    }
  }
  // Windows' file names are not case-sensitive.
  for (const auto& dir : dirs) {
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) continue;
    std::string found;
    while (dirent* entry = readdir(listing)) {
      for (const auto& file : {base + ".so", "lib" + base + ".so", name}) {
        if (found.empty() && strcasecmp(entry->d_name, file.c_str()) == 0 && is_file(dir + "/" + entry->d_name)) {
          found = dir + "/" + entry->d_name;
        }
      }
    }
    closedir(listing);
    if (!found.empty()) return found;
  }
  return base + ".so";  // the dynamic loader's own search (LD_LIBRARY_PATH)
}

std::string narrow(LPCWSTR text) {
  std::string out;
  for (; text != nullptr && *text != 0; ++text) out.push_back(static_cast<char>(*text < 0x80 ? *text : '?'));
  return out;
}

// Copies `text` as Windows does: truncated to the buffer with a terminator,
// the count returned, ERROR_INSUFFICIENT_BUFFER when it did not fit.
template <typename Char>
DWORD copy_out(const std::string& text, Char* buffer, DWORD size) {
  if (buffer == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  const DWORD n = static_cast<DWORD>(text.size());
  if (n + 1 > size) {
    for (DWORD i = 0; i + 1 < size; ++i) buffer[i] = static_cast<Char>(static_cast<unsigned char>(text[i]));
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  for (DWORD i = 0; i < n; ++i) buffer[i] = static_cast<Char>(static_cast<unsigned char>(text[i]));
  buffer[n] = 0;
  SetLastError(ERROR_SUCCESS);
  return n;
}

}  // namespace
}  // namespace plat::user

using namespace plat::user;

HMODULE LoadLibraryA(LPCSTR lpLibFileName) {
  if (lpLibFileName == nullptr || *lpLibFileName == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::string path = resolve(lpLibFileName);
  std::lock_guard lock(loader_mu());
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  Module& module = modules()[handle];
  if (module.path.empty()) module.path = path_of(handle);
  ++module.loads;
  if (!module.attached) {
    module.attached = true;
    if (auto entry = reinterpret_cast<DllEntry>(dlsym(handle, "DllMain"))) {
      if (!entry(static_cast<HMODULE>(handle), DLL_PROCESS_ATTACH, nullptr)) {
        // A library whose entry refuses the load is not loaded.
        modules().erase(handle);
        dlclose(handle);
        SetLastError(ERROR_DLL_INIT_FAILED);
        return nullptr;
      }
    }
  }
  SetLastError(ERROR_SUCCESS);
  return static_cast<HMODULE>(handle);
}

HMODULE LoadLibraryW(LPCWSTR lpLibFileName) {
  if (lpLibFileName == nullptr) return LoadLibraryA(nullptr);
  return LoadLibraryA(narrow(lpLibFileName).c_str());
}

BOOL FreeLibrary(HMODULE hLibModule) {
  std::lock_guard lock(loader_mu());
  auto it = modules().find(hLibModule);
  if (it == modules().end() || it->second.loads == 0) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  if (--it->second.loads == 0) {
    if (it->second.attached) {
      if (auto entry = reinterpret_cast<DllEntry>(dlsym(hLibModule, "DllMain"))) {
        entry(hLibModule, DLL_PROCESS_DETACH, nullptr);
      }
    }
    modules().erase(it);
  }
  dlclose(hLibModule);
  return TRUE;
}

HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
  std::lock_guard lock(loader_mu());
  void* handle = nullptr;
  if (lpModuleName == nullptr) {
    handle = dlopen(nullptr, RTLD_NOW);
  } else {
    handle = dlopen(resolve(lpModuleName).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    dlclose(handle);  // GetModuleHandle takes no reference
  }
  Module& module = modules()[handle];
  if (module.path.empty()) module.path = lpModuleName == nullptr ? self_exe() : path_of(handle);
  return static_cast<HMODULE>(handle);
}

HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
  if (lpModuleName == nullptr) return GetModuleHandleA(nullptr);
  return GetModuleHandleA(narrow(lpModuleName).c_str());
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  std::lock_guard lock(loader_mu());
  if (modules().count(hModule) == 0) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // Ordinals (names below 0x10000) do not exist here.
  if (reinterpret_cast<ULONG_PTR>(lpProcName) < 0x10000) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  void* address = dlsym(hModule, lpProcName);
  if (address == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(address);
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  std::string path;
  {
    std::lock_guard lock(loader_mu());
    if (hModule == nullptr) {
      path = self_exe();
    } else {
      auto it = modules().find(hModule);
      if (it == modules().end()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
      }
      path = it->second.path;
    }
  }
  return copy_out(path, lpFilename, nSize);
}

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  char path[PATH_MAX];
  const DWORD n = GetModuleFileNameA(hModule, path, sizeof path);
  if (n == 0) return 0;
  return copy_out(std::string(path, n), lpFilename, nSize);
}

BOOL DisableThreadLibraryCalls(HMODULE hLibModule) {
  std::lock_guard lock(loader_mu());
  if (modules().count(hLibModule) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;  // no thread notifications are sent in any case
}
