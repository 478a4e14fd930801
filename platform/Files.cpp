#include "platform/Files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <utility>

namespace tov {

void RaiseIoErrorFromErrno(int err) { throw EInOutError(IoCodeFromErrno(err)); }

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
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) RaiseIoErrorFromErrno(errno);
  return TFile(fd);
}

TFile TFile::OpenAppend(const std::string& path) {
  if (IsReadOnlyFile(path)) throw EInOutError(5);
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
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

void TFile::Write(const void* data, size_t n) {
  auto* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < n) {
    ssize_t w = ::write(fd_, p + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      RaiseIoErrorFromErrno(errno);
    }
    if (w == 0) RaiseIoErrorFromErrno(ENOSPC);
    done += static_cast<size_t>(w);
  }
}

int64_t TFile::Size() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) RaiseIoErrorFromErrno(errno);
  return st.st_size;
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
