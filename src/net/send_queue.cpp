#include "net/send_queue.h"

#include <algorithm>
#include <cstring>

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

std::size_t SendQueue::UnsentBytes() const {
  std::size_t total = 0;
  for (const auto& chunk : chunks_) total += static_cast<std::size_t>(chunk->WriteCount() - chunk->ReadCount());
  return total;
}

bool SendQueue::HasUnsent() const {
  for (const auto& chunk : chunks_) {
    if (!chunk->Empty()) return true;
  }
  return false;
}

}  // namespace kestova
