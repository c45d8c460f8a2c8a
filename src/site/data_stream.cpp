#include "site/data_stream.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace kestova {

namespace {

// Sharing modes become advisory locks: an exclusive or deny-read opener takes
// an exclusive lock, deny-write a shared one; deny-none and compatibility
// take none.
int LockFor(FtpShareMode mode) {
  switch (mode) {
    case FtpShareMode::ftpShareExclusive:
    case FtpShareMode::ftpShareDenyRead: return LOCK_EX;
    case FtpShareMode::ftpShareDenyWrite: return LOCK_SH;
    case FtpShareMode::ftpShareDenyNone:
    case FtpShareMode::ftpShareCompat: return 0;
  }
  return LOCK_EX;
}

bool Lock(int fd, FtpShareMode mode) {
  const int lock = LockFor(mode);
  return lock == 0 || ::flock(fd, lock | LOCK_NB) == 0;
}

}  // namespace

std::int64_t MemoryStream::Read(char* buffer, std::int64_t size) {
  const std::int64_t available = static_cast<std::int64_t>(data_.size()) - position_;
  const std::int64_t count = std::max<std::int64_t>(0, std::min(size, available));
  if (count > 0) std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(count));
  position_ += count;
  return count;
}

bool MemoryStream::Write(const char* data, std::int64_t size) {
  if (size <= 0) return true;
  const auto end = static_cast<size_t>(position_ + size);
  if (end > data_.size()) data_.resize(end);
  std::memcpy(data_.data() + position_, data, static_cast<size_t>(size));
  position_ += size;
  return true;
}

void MemoryStream::Seek(std::int64_t position) {
  position_ = std::clamp<std::int64_t>(position, 0, static_cast<std::int64_t>(data_.size()));
}

void MemoryStream::Clear() {
  data_.clear();
  position_ = 0;
}

FileStream::~FileStream() {
  if (fd_ >= 0) ::close(fd_);  // also drops the lock
}

std::unique_ptr<FileStream> FileStream::OpenRead(const std::string& name, FtpShareMode mode, std::string* why) {
  auto fail = [why](int fd, const std::string& reason) -> std::unique_ptr<FileStream> {
    if (fd >= 0) ::close(fd);
    if (why) *why = reason;
    return nullptr;
  };
  // Not blocking: opening a FIFO for reading would otherwise wait for a
  // writer for ever.
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return fail(-1, std::strerror(errno));
  struct stat info {};
  if (::fstat(fd, &info) != 0) return fail(fd, std::strerror(errno));
  if (!S_ISREG(info.st_mode)) return fail(fd, "not a regular file");
  if (!Lock(fd, mode)) return fail(fd, "another program holds it open");
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return std::unique_ptr<FileStream>(new FileStream(fd));
}

std::unique_ptr<FileStream> FileStream::Create(const std::string& name, FtpShareMode mode) {
  // The lock is taken before the file is emptied, so a file another opener
  // holds is left as it is.
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  if (!Lock(fd, mode) || ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<FileStream>(new FileStream(fd));
}

std::int64_t FileStream::Read(char* buffer, std::int64_t size) {
  for (;;) {
    const ssize_t got = ::read(fd_, buffer, static_cast<size_t>(size));
    if (got >= 0) return got;
    if (errno != EINTR) throw std::runtime_error(std::strerror(errno));
  }
}

bool FileStream::Write(const char* data, std::int64_t size) {
  while (size > 0) {
    const ssize_t put = ::write(fd_, data, static_cast<size_t>(size));
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += put;
    size -= put;
  }
  return true;
}

}  // namespace kestova
