#include "platform/Files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace tov {

void RaiseIoErrorFromErrno(int err) { throw EInOutError(IoCodeFromErrno(err)); }

namespace {

void WriteAll(int fd, const void* data, size_t n) {
  auto* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < n) {
    ssize_t w = ::write(fd, p + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      RaiseIoErrorFromErrno(errno);
    }
    if (w == 0) RaiseIoErrorFromErrno(ENOSPC);
    done += static_cast<size_t>(w);
  }
}

// The file a replacement of path writes: the target of a symbolic link, else
// path itself.
std::string ReplacedPath(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;  // a dangling link is replaced itself
  std::string target(resolved);
  std::free(resolved);
  return target;
}

// Safeguard: private files. A file the programs create is the user's alone (0600), whatever
// the umask, since the work directory holds the account's password and the
// locks another user could otherwise take. An existing file keeps its mode.
// A new file, never one in use (a dangling link's name included): -1 with
// errno EEXIST then.
int OpenNewPrivate(const std::string& path, int flags) {
  int fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  // The umask may have taken bits from 0600 too. Should this fail, the file
  // is still no more open than 0600.
  if (fd >= 0) (void)::fchmod(fd, 0600);
  return fd;
}

int OpenCreatingPrivate(const std::string& path, int flags) {
  // O_EXCL tells a new file from an existing one; an existing file may go
  // between the two opens, so a few rounds.
  for (int round = 0; round < 3; ++round) {
    int fd = OpenNewPrivate(path, flags);
    if (fd >= 0) return fd;
    if (errno != EEXIST) return -1;
    fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT) return fd;
  }
  // A symbolic link whose target is missing: the target is made, never more
  // open than 0600.
  return ::open(path.c_str(), flags | O_CREAT | O_CLOEXEC, 0600);
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

TFile::~TFile() {
  if (fd_ >= 0) ::close(fd_);
}

TFile::TFile(TFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

TFile& TFile::operator=(TFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

bool IsReadOnlyFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  return S_ISREG(st.st_mode) && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

TFile TFile::OpenExisting(const std::string& path, Mode mode) {
  if (mode == Mode::ReadWrite && IsReadOnlyFile(path)) throw EInOutError(5);
  int fd = ::open(path.c_str(), (mode == Mode::Read ? O_RDONLY : O_RDWR) | O_CLOEXEC);
  if (fd < 0) RaiseIoErrorFromErrno(errno);
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    throw EInOutError(5);
  }
  return TFile(fd);
}

TFile TFile::Create(const std::string& path) {
  if (IsReadOnlyFile(path)) throw EInOutError(5);
  int fd = OpenCreatingPrivate(path, O_RDWR | O_TRUNC);
  if (fd < 0) RaiseIoErrorFromErrno(errno);
  return TFile(fd);
}

TFile TFile::OpenAppend(const std::string& path) {
  if (IsReadOnlyFile(path)) throw EInOutError(5);
  int fd = OpenCreatingPrivate(path, O_RDWR | O_APPEND);
  if (fd < 0) RaiseIoErrorFromErrno(errno);
  return TFile(fd);
}

TFile TFile::OpenRegular(const std::string& path, Mode mode) {
  // O_NONBLOCK only so that opening a FIFO cannot wait; it is cleared again.
  return Regular(::open(path.c_str(), (mode == Mode::Read ? O_RDONLY : O_RDWR) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC),
                 mode == Mode::ReadWrite);
}

TFile TFile::OpenAppendRegular(const std::string& path) {
  return Regular(OpenCreatingPrivate(path, O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK), true);
}

TFile TFile::Regular(int fd, bool write) {
  if (fd < 0) RaiseIoErrorFromErrno(errno == ELOOP || errno == ENXIO || errno == EISDIR ? EACCES : errno);
  TFile file(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) RaiseIoErrorFromErrno(errno);
  if (!S_ISREG(st.st_mode)) throw EInOutError(5);
  if (write && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) throw EInOutError(5);
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) RaiseIoErrorFromErrno(errno);
  return file;
}

TFile TFile::CreateNew(const std::string& path) {
  int fd = OpenNewPrivate(path, O_RDWR);
  if (fd < 0) RaiseIoErrorFromErrno(errno);
  return TFile(fd);
}

size_t TFile::Read(void* buffer, size_t n) {
  size_t total = 0;
  auto* p = static_cast<char*>(buffer);
  while (total < n) {
    ssize_t r = ::read(fd_, p + total, n - total);
    if (r < 0) {
      if (errno == EINTR) continue;
      RaiseIoErrorFromErrno(errno);
    }
    if (r == 0) break;
    total += static_cast<size_t>(r);
  }
  return total;
}

void TFile::ReadExact(void* buffer, size_t n) {
  if (Read(buffer, n) != n) throw EInOutError(100);
}

void TFile::Write(const void* data, size_t n) { WriteAll(fd_, data, n); }

int64_t TFile::Size() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) RaiseIoErrorFromErrno(errno);
  return st.st_size;
}

uint64_t TFile::NameCount() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) RaiseIoErrorFromErrno(errno);
  return st.st_nlink;
}

bool TFile::IsFileAt(const std::string& path) const {
  struct stat mine {};
  struct stat named {};
  return ::fstat(fd_, &mine) == 0 && ::lstat(path.c_str(), &named) == 0 && mine.st_dev == named.st_dev &&
         mine.st_ino == named.st_ino;
}

void TFile::Seek(int64_t offset) {
  if (::lseek(fd_, offset, SEEK_SET) < 0) RaiseIoErrorFromErrno(errno);
}

void TFile::Truncate(int64_t size) {
  while (::ftruncate(fd_, size) != 0) {
    if (errno != EINTR) RaiseIoErrorFromErrno(errno);
  }
}

bool TFile::TryLockExclusive() { return ::flock(fd_, LOCK_EX | LOCK_NB) == 0; }

void TFile::Close() {
  if (fd_ < 0) return;
  int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0 && errno != EINTR) RaiseIoErrorFromErrno(errno);
}

// Safeguard: settings replaced whole. A new file, flushed and renamed over the old,
// so a crash or a full disk leaves the old contents.
void ReplaceFileContents(const std::string& path, const void* data, size_t n) {
  const std::string target = ReplacedPath(path);
  struct stat old {};
  const bool had_old = ::stat(target.c_str(), &old) == 0;
  if (had_old && S_ISDIR(old.st_mode)) throw EInOutError(5);
  if (IsReadOnlyFile(target)) throw EInOutError(5);

  // Until the rename the new bytes live only in the temporary file, which
  // goes again on any failure.
  struct Temporary {
    std::string path;
    int fd = -1;
    bool renamed = false;
    ~Temporary() {
      if (fd >= 0) ::close(fd);
      if (!renamed) ::unlink(path.c_str());
    }
  } temp{target + ".new"};
  ::unlink(temp.path.c_str());  // a leftover of a crash
  // Made 0600, so the new bytes are never open to others, not even for a
  // moment before the old mode is given to them.
  temp.fd = ::open(temp.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (temp.fd < 0) {
    int err = errno;
    temp.renamed = true;  // not ours to remove
    RaiseIoErrorFromErrno(err);
  }
  if (had_old) {
    // Only root may give a file away, and then it must stay the user's, or
    // the user's next read-write open would fail; for others this changes
    // nothing, so its failure is no error.
    if (::fchown(temp.fd, old.st_uid, old.st_gid) != 0) {
    }
  }
  if (::fchmod(temp.fd, had_old ? old.st_mode & 07777 : 0600) != 0) RaiseIoErrorFromErrno(errno);
  WriteAll(temp.fd, data, n);
  while (::fsync(temp.fd) != 0) {
    if (errno != EINTR) RaiseIoErrorFromErrno(errno);
  }
  int fd = std::exchange(temp.fd, -1);
  if (::close(fd) != 0 && errno != EINTR) RaiseIoErrorFromErrno(errno);
  if (::rename(temp.path.c_str(), target.c_str()) != 0) RaiseIoErrorFromErrno(errno);
  temp.renamed = true;
  // The rename itself reaches the disk with the directory. The new content is
  // in place already, so a failure here is not reported.
  int dir = ::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)::fsync(dir);
    ::close(dir);
  }
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool RenameFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: the check and the rename are two steps.
  if (NameInUse(to)) {
    errno = EEXIST;
    return false;
  }
  if (errno != ENOENT) return false;
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool NameInUse(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::string ReadSystemFile(const std::string& path) {
  std::string text;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(fd);
  return text;
}

int64_t FileSizeOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return -1;
  return st.st_size;
}

std::string GetCurrentDir() {
  char buf[PATH_MAX];
  if (::getcwd(buf, sizeof buf) == nullptr) return ".";
  return buf;
}

std::string PathJoin(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

}  // namespace tov
