// Plain file access in the terms the programs use: every failure raises
// EInOutError with the system's code in the class library's numbering.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/SysUtils.h"

namespace tov {

// An open file descriptor that closes itself. Close() reports a failed close;
// the destructor closes silently.
class TFile {
 public:
  enum class Mode { Read, ReadWrite };

  TFile() = default;
  ~TFile();
  TFile(TFile&& other) noexcept;
  TFile& operator=(TFile&& other) noexcept;
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;

  // An existing file. A file without any write permission bit counts as
  // read-only for ReadWrite, as the Windows attribute would, even for root.
  static TFile OpenExisting(const std::string& path, Mode mode);
  // A new empty file; an existing one is truncated. A file these two make
  // is 0600 whatever the umask; an existing one keeps its mode.
  static TFile Create(const std::string& path);
  // The existing file positioned at its end, or a new one.
  static TFile OpenAppend(const std::string& path);
  // An existing regular file, never through a symbolic link and never waiting
  // on a FIFO: a link, folder, FIFO or device raises "File access denied".
  static TFile OpenRegular(const std::string& path, Mode mode);
  // OpenAppend with OpenRegular's refusals: the existing regular file
  // positioned at its end, or a new one (0600), never a link's target.
  static TFile OpenAppendRegular(const std::string& path);
  // A new file (mode 0600) that takes no name in use, a dangling link's
  // included; an existing name raises.
  static TFile CreateNew(const std::string& path);

  bool IsOpen() const { return fd_ >= 0; }
  int Handle() const { return fd_; }

  // Reads up to n bytes; returns how many were read (0 at the end).
  size_t Read(void* buffer, size_t n);
  // Reads exactly n bytes or raises "Read beyond end of file".
  void ReadExact(void* buffer, size_t n);
  // Writes all bytes or raises (a full disk gives I/O error 112).
  void Write(const void* data, size_t n);
  void Write(std::string_view bytes) { Write(bytes.data(), bytes.size()); }
  int64_t Size() const;
  // How many names (hard links) the file has: 0 once it has been deleted
  // while open, more than 1 when it can also be reached under other names.
  uint64_t NameCount() const;
  // Whether path names this very file now (a link is not followed).
  bool IsFileAt(const std::string& path) const;
  void Seek(int64_t offset);
  // Cuts or extends the file to size bytes; the position is left as it is.
  void Truncate(int64_t size);
  // Holds an exclusive lock on the file for as long as it is open; false when
  // another opener holds one.
  bool TryLockExclusive();
  void Close();

 private:
  explicit TFile(int fd) : fd_(fd) {}
  // The file of a descriptor opened with O_NONBLOCK, if it is a regular one
  // (writable when `write`); raises as OpenRegular does otherwise.
  static TFile Regular(int fd, bool write);
  int fd_ = -1;
};

[[noreturn]] void RaiseIoErrorFromErrno(int err);

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
bool DeleteFile(const std::string& path);  // false when it could not be removed
bool RenameFile(const std::string& from, const std::string& to);
// Whether anything stands under the name (a file, folder, FIFO or link, a
// dangling one included); a link is not followed.
bool NameInUse(const std::string& path);
// Renames unless `to` is in use (as a file, folder or link); false otherwise,
// with errno EEXIST for a name in use.
bool RenameNoReplace(const std::string& from, const std::string& to);
int64_t FileSizeOf(const std::string& path);  // -1 when it does not exist
// The whole of a small system file (a /proc or /sys entry): what could be
// read, empty when it cannot be opened. Never raises: a process's entry
// fails its reads once the process has ended, which may be at any moment.
std::string ReadSystemFile(const std::string& path);
bool IsReadOnlyFile(const std::string& path);
// Replaces the whole content of path so that a crash or a full disk leaves
// either the old content or the new, never a part: the bytes go to
// "<path>.new" beside it, are flushed to the disk, and that file is renamed
// over path. The new file is 0600 whatever the umask, then takes the old
// one's permission bits and owner when there was one; a symbolic link is kept
// and its target replaced.
// Raises EInOutError and leaves path as it was on any failure; a read-only
// path gives "File access denied", as creating it over the old one would.
void ReplaceFileContents(const std::string& path, const void* data, size_t n);
std::string GetCurrentDir();
// Joins a directory and a name with one "/".
std::string PathJoin(std::string_view dir, std::string_view name);

}  // namespace tov
