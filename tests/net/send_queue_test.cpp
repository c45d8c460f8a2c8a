#include "net/send_queue.h"

#include <sys/uio.h>

#include <string>

#include <gtest/gtest.h>

namespace kestova {
namespace {

std::string Unsent(const SendChunk& chunk) {
  int length = 0;
  const char* data = chunk.Peek(length);
  return std::string(data, static_cast<size_t>(length));
}

TEST(SendChunk, APartlySentChunkTakesDataOnlyIntoItsFreeTail) {
  SendChunk chunk(8);
  EXPECT_EQ(chunk.Write("abcdef", 6), 6);
  EXPECT_EQ(chunk.Remove(4), 4);
  EXPECT_EQ(Unsent(chunk), "ef");
  EXPECT_EQ(chunk.Write("ghijk", 5), 2);  // no compaction: only two bytes of room
  EXPECT_EQ(Unsent(chunk), "efgh");
  EXPECT_EQ(chunk.Write("x", 1), 0);
  EXPECT_EQ(chunk.Remove(100), 4);
  // Fully sent: empty again, and new data starts at the front.
  EXPECT_EQ(chunk.ReadCount(), 0);
  EXPECT_EQ(chunk.WriteCount(), 0);
  EXPECT_EQ(chunk.Remove(1), 0);
  EXPECT_EQ(chunk.Write("12345678", 8), 8);
  EXPECT_EQ(Unsent(chunk), "12345678");
}

TEST(SendChunk, CapacityDefaultsAndResizingKeepTheStoredBytes) {
  EXPECT_EQ(SendChunk(0).Capacity(), 1514);
  EXPECT_EQ(SendChunk(-3).Capacity(), 1514);
  SendChunk chunk(4);
  chunk.Write("abcd", 4);
  chunk.SetCapacity(10);
  EXPECT_EQ(chunk.Capacity(), 10);
  EXPECT_EQ(Unsent(chunk), "abcd");
  EXPECT_EQ(chunk.Write("efghijk", 7), 6);
}

TEST(SendQueue, DataIsSplitIntoChunksOfTheChunkSize) {
  SendQueue queue;
  const std::string data(4000, 'q');
  queue.Append(data.data(), 4000);
  ASSERT_EQ(queue.ChunkCount(), 3u);
  std::vector<int> sizes;
  for (const auto& chunk : queue.Chunks()) sizes.push_back(chunk->WriteCount());
  EXPECT_EQ(sizes, (std::vector<int>{1460, 1460, 1080}));
  EXPECT_EQ(queue.UnsentBytes(), 4000u);
  queue.Append(data.data(), 0);
  EXPECT_EQ(queue.ChunkCount(), 3u);
  // The last chunk is filled before a new one is made.
  queue.Append(data.data(), 380);
  EXPECT_EQ(queue.ChunkCount(), 3u);
  queue.Append(data.data(), 1);
  EXPECT_EQ(queue.ChunkCount(), 4u);
}

TEST(SendQueue, OnlyADrainedChunkThatIsNotTheLastIsDropped) {
  SendQueue queue;
  const std::string data(2000, 'q');
  queue.Append(data.data(), 2000);
  EXPECT_FALSE(queue.DropDrainedFront());  // the front still holds data
  queue.Front().Remove(1460);
  EXPECT_TRUE(queue.DropDrainedFront());
  queue.Front().Remove(540);
  EXPECT_FALSE(queue.DropDrainedFront());  // the only chunk is kept for reuse
  EXPECT_EQ(queue.ChunkCount(), 1u);
  EXPECT_FALSE(queue.HasUnsent());
}

TEST(SendQueue, ASendAcrossChunksRemovesExactlyWhatWasTaken) {
  SendQueue queue;
  std::string data(4000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  queue.Append(data.data(), 4000);
  iovec parts[8];
  ASSERT_EQ(queue.Gather(parts, 8), 3u);
  EXPECT_EQ(parts[0].iov_len + parts[1].iov_len + parts[2].iov_len, 4000u);
  EXPECT_EQ(queue.UnsentBytes(2), 2920u);
  // The system took 2000 bytes: the first chunk is freed, the second is
  // half sent.
  queue.RemoveSent(2000);
  EXPECT_EQ(queue.ChunkCount(), 2u);
  EXPECT_EQ(queue.UnsentBytes(), 2000u);
  ASSERT_EQ(queue.Gather(parts, 8), 2u);
  EXPECT_EQ(std::string(static_cast<char*>(parts[0].iov_base), parts[0].iov_len), data.substr(2000, 920));
  queue.RemoveSent(2000);
  EXPECT_EQ(queue.ChunkCount(), 1u);
  EXPECT_FALSE(queue.HasUnsent());
}

}  // namespace
}  // namespace kestova
