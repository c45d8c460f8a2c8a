// The local side of a transfer: where a listing is written or an upload read
// from. Either a file the client opens itself, or a stream the caller owns
// (the engine lists into memory and sends its redirection pages from memory).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kestova {

// How a local file is shared while a transfer has it open (advisory locks).
enum class FtpShareMode { ftpShareCompat, ftpShareExclusive, ftpShareDenyWrite, ftpShareDenyRead, ftpShareDenyNone };

class DataStream {
 public:
  virtual ~DataStream() = default;
  // Reads at most `size` bytes from the current position: the count, 0 at
  // the end. Throws std::runtime_error when reading fails.
  virtual std::int64_t Read(char* buffer, std::int64_t size) = 0;
  // Writes at the current position; false when writing fails.
  virtual bool Write(const char* data, std::int64_t size) = 0;
};

class MemoryStream : public DataStream {
 public:
  std::int64_t Read(char* buffer, std::int64_t size) override;
  bool Write(const char* data, std::int64_t size) override;

  const std::string& Data() const { return data_; }
  std::int64_t Position() const { return position_; }
  void Seek(std::int64_t position);
  // Empties the stream and rewinds it.
  void Clear();

 private:
  std::string data_;
  std::int64_t position_ = 0;
};

class FileStream : public DataStream {
 public:
  ~FileStream() override;
  // Opens an existing regular file for reading, or creates (empties) one for
  // writing, and takes the lock the sharing mode asks for. Nothing, with the
  // reason in `why`, when the file cannot be opened, is not a regular file
  // (a FIFO would block the opener until a writer came), or another opener
  // holds a conflicting lock.
  static std::unique_ptr<FileStream> OpenRead(const std::string& name, FtpShareMode mode, std::string* why = nullptr);
  static std::unique_ptr<FileStream> Create(const std::string& name, FtpShareMode mode);

  std::int64_t Read(char* buffer, std::int64_t size) override;
  bool Write(const char* data, std::int64_t size) override;

 private:
  explicit FileStream(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace kestova
