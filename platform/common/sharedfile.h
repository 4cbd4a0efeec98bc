// A text file of the host directory that the host and its processes share
// (the registry, the WinSock provider catalog).
//
// A writer takes the lock (flock on "FILE.lock"), reads the file, changes
// it and puts the new text in place with a rename, so a reader never sees
// half a file and needs no lock. The lock file carries a counter that each
// write moves: a reader that kept a copy compares the counter with the one
// it saw instead of reading the file again.
//
// A writer waits for the lock for a bounded time and then writes without
// it: a process stopped while it held the lock never stalls the host or
// another process (its own write may then be lost).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace plat {

class SharedFile {
 public:
  explicit SharedFile(std::string path);
  ~SharedFile();
  SharedFile(const SharedFile&) = delete;
  SharedFile& operator=(const SharedFile&) = delete;

  const std::string& path() const { return path_; }

  // The whole text; empty when the file does not exist. False when it exists
  // and cannot be read.
  bool read(std::string* text) const;
  // Read, change and write under the lock. `change` edits the text and
  // answers whether to write it. False when the new text could not be written.
  bool update(const std::function<bool(std::string& text)>& change);
  // Moves with every write (0 before the first).
  std::uint64_t version() const;

  // How long a writer waits for the lock.
  static constexpr std::chrono::milliseconds kLockPatience{1000};

 private:
  std::string path_;
  int lock_fd_ = -1;
};

// Reads a whole file (empty when missing); false when it cannot be read.
bool read_whole_file(const std::string& path, std::string* text);

}  // namespace plat
