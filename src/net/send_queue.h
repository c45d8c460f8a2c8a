// The chain of fixed-size chunks that holds what a socket could not send at
// once, so that Send never blocks.
#pragma once

#include <cstddef>
#include <list>
#include <memory>

struct iovec;

namespace kestova {

class SendChunk {
 public:
  // A capacity of 0 or less means 1514 bytes.
  explicit SendChunk(int capacity);

  int Capacity() const { return capacity_; }
  // A new capacity keeps the stored bytes; the same capacity does nothing.
  void SetCapacity(int capacity);

  // Appends as much as fits after the stored bytes; the bytes taken.
  int Write(const char* data, int length);
  // The unsent bytes: where they start and how many there are.
  const char* Peek(int& length) const;
  // Marks up to n bytes as sent; when nothing unsent is left the whole chunk
  // is free again. The bytes removed.
  int Remove(int n);

  int WriteCount() const { return write_count_; }
  int ReadCount() const { return read_count_; }
  bool Empty() const { return read_count_ == write_count_; }

 private:
  std::unique_ptr<char[]> data_;
  int capacity_ = 0;
  int write_count_ = 0;
  int read_count_ = 0;
};

class SendQueue {
 public:
  explicit SendQueue(int chunk_size = 1460) : chunk_size_(chunk_size) {}

  // Appends the bytes, creating chunks as needed.
  void Append(const char* data, int length);
  // Drops every chunk (the queue then holds none at all).
  void Discard() { chunks_.clear(); }

  bool HasChunks() const { return !chunks_.empty(); }
  std::size_t ChunkCount() const { return chunks_.size(); }
  SendChunk& Front() { return *chunks_.front(); }
  const std::list<std::unique_ptr<SendChunk>>& Chunks() const { return chunks_; }
  // Frees the first chunk when it is empty and not the only one; true when
  // it did.
  bool DropDrainedFront();
  // Unsent bytes of the first `max_chunks` chunks (all when 0).
  std::size_t UnsentBytes(std::size_t max_chunks = 0) const;
  bool HasUnsent() const;
  // Points `parts` at the unsent bytes of up to `max_parts` chunks; the
  // number of parts filled.
  std::size_t Gather(iovec* parts, std::size_t max_parts) const;
  // Marks n bytes sent, across chunks, and frees the drained chunks in
  // front (the last chunk stays for reuse).
  void RemoveSent(std::size_t n);

 private:
  int chunk_size_;
  std::list<std::unique_ptr<SendChunk>> chunks_;
};

}  // namespace kestova
