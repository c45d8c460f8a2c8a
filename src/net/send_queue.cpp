#include "net/send_queue.h"

#include <algorithm>
#include <cstring>

#include <sys/uio.h>

namespace kestova {

SendChunk::SendChunk(int capacity) { SetCapacity(capacity); }

void SendChunk::SetCapacity(int capacity) {
  if (capacity <= 0) capacity = 1514;
  if (capacity == capacity_ && data_) return;
  auto block = std::make_unique<char[]>(static_cast<std::size_t>(capacity));
  const int kept = std::min(write_count_, capacity);
  if (kept > 0) std::memcpy(block.get(), data_.get(), static_cast<std::size_t>(kept));
  data_ = std::move(block);
  capacity_ = capacity;
  write_count_ = kept;
  read_count_ = std::min(read_count_, kept);
}

int SendChunk::Write(const char* data, int length) {
  const int taken = std::max(0, std::min(length, capacity_ - write_count_));
  if (taken > 0) std::memcpy(data_.get() + write_count_, data, static_cast<std::size_t>(taken));
  write_count_ += taken;
  return taken;
}

const char* SendChunk::Peek(int& length) const {
  length = write_count_ - read_count_;
  return data_.get() + read_count_;
}

int SendChunk::Remove(int n) {
  const int removed = std::max(0, std::min(n, write_count_ - read_count_));
  read_count_ += removed;
  if (read_count_ == write_count_) read_count_ = write_count_ = 0;
  return removed;
}

void SendQueue::Append(const char* data, int length) {
  if (length <= 0) return;
  if (chunks_.empty()) chunks_.push_back(std::make_unique<SendChunk>(chunk_size_));
  SendChunk* chunk = chunks_.back().get();
  for (;;) {
    const int taken = chunk->Write(data, length);
    if (taken == length) return;
    data += taken;
    length -= taken;
    chunks_.push_back(std::make_unique<SendChunk>(chunk_size_));
    chunk = chunks_.back().get();
  }
}

bool SendQueue::DropDrainedFront() {
  if (chunks_.size() < 2 || !chunks_.front()->Empty()) return false;
  chunks_.pop_front();
  return true;
}

std::size_t SendQueue::UnsentBytes(std::size_t max_chunks) const {
  std::size_t total = 0;
  std::size_t counted = 0;
  for (const auto& chunk : chunks_) {
    if (max_chunks != 0 && counted++ == max_chunks) break;
    total += static_cast<std::size_t>(chunk->WriteCount() - chunk->ReadCount());
  }
  return total;
}

std::size_t SendQueue::Gather(iovec* parts, std::size_t max_parts) const {
  std::size_t filled = 0;
  for (const auto& chunk : chunks_) {
    if (filled == max_parts) break;
    int length = 0;
    const char* data = chunk->Peek(length);
    parts[filled].iov_base = const_cast<char*>(data);
    parts[filled].iov_len = static_cast<std::size_t>(length);
    ++filled;
  }
  return filled;
}

void SendQueue::RemoveSent(std::size_t n) {
  while (n > 0 && !chunks_.empty()) {
    n -= static_cast<std::size_t>(chunks_.front()->Remove(static_cast<int>(std::min<std::size_t>(n, 1 << 30))));
    if (n > 0 && !DropDrainedFront()) break;
  }
  while (DropDrainedFront()) {
  }
}

bool SendQueue::HasUnsent() const {
  for (const auto& chunk : chunks_) {
    if (!chunk->Empty()) return true;
  }
  return false;
}

}  // namespace kestova
