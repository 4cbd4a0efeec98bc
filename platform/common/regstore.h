// The host's registry: one store of keys and values, kept in the text file
// "registry.txt" of the host directory and shared by the host's kernel (the
// drivers' registry routines) and its processes (advapi's Reg* routines).
// docs/host.md gives the file's format.
//
// Key paths ("\Registry\Machine\System\...") and value names are
// case-insensitive and keep the case they were first written with. A key
// exists when it was created, or when a key below it exists. Each reader
// looks at the file again when another writer has changed it; each change
// is written at once (platform/common/sharedfile.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/regtypes.h"
#include "platform/common/sharedfile.h"
#include "platform/common/wintypes.h"

namespace plat {

class RegistryStore {
 public:
  struct Value {
    ULONG type = REG_NONE;
    std::vector<std::byte> data;
  };

  // file: where the store lives; empty keeps it in this object only.
  explicit RegistryStore(std::string file = {});

  // Reads the file again (a missing file is an empty registry). False, with
  // "FILE:LINE: what" in *error, on a malformed file; the store then keeps
  // what it had.
  bool load(std::string* error);
  // Makes sure the file holds the store (each change is written at once;
  // this puts the store back into a file that was spoiled since).
  bool save();

  bool key_exists(std::u16string_view key);
  // The key as first written ("" when it does not exist).
  std::u16string key_path(std::u16string_view key);
  // Creates the key; true when it was not there before.
  bool create_key(std::u16string_view key);
  bool set(std::u16string_view key, std::u16string_view name, ULONG type, std::span<const std::byte> data);
  void set_string(std::u16string_view key, std::u16string_view name, std::u16string_view value);
  void set_dword(std::u16string_view key, std::u16string_view name, ULONG value);
  std::optional<Value> get(std::u16string_view key, std::u16string_view name);
  // Every value of a key, in name order (case-insensitive), with its name.
  std::vector<std::pair<std::u16string, Value>> values(std::u16string_view key);
  // The names of the key's direct subkeys, in order (case-insensitive).
  std::vector<std::u16string> subkeys(std::u16string_view key);
  // Several values of one key in one write.
  bool set_values(std::u16string_view key, const std::vector<std::pair<std::u16string, Value>>& values);
  bool delete_value(std::u16string_view key, std::u16string_view name);
  enum class DeleteResult { Deleted, NotFound, HasSubkeys };
  // Deletes a key that has no subkeys, with its values.
  DeleteResult delete_key(std::u16string_view key);
  // Deletes a key with everything below it; false when there was nothing.
  bool delete_tree(std::u16string_view key);

  // The text of a store, and the store of a text ("what" and the line on an error).
  struct Key {
    std::u16string path;
    std::map<std::u16string, std::pair<std::u16string, Value>> values;  // folded name -> (name, value)
  };
  using Keys = std::map<std::u16string, Key>;  // folded path -> key
  static std::string format(const Keys& keys);
  static bool parse(std::string_view text, Keys* keys, std::string* what, int* line);
  static std::u16string fold(std::u16string_view path);

 private:
  // Under mu_: the store as the file has it now.
  void refresh_locked();
  // Under mu_: applies `change` to the current store and writes it; false
  // when the change did nothing. In-memory stores just apply it.
  bool change_locked(const std::function<bool(Keys&)>& change);

  std::string file_;
  std::unique_ptr<SharedFile> shared_;
  std::mutex mu_;
  Keys keys_;
  std::uint64_t seen_version_ = ~std::uint64_t{0};
};

}  // namespace plat
