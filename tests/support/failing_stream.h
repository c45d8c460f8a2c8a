// A local source that gives some bytes and then fails, as a failing disk
// would.
#pragma once

#include <cstring>
#include <stdexcept>
#include <string>

#include "site/data_stream.h"

namespace kestova::testing {

class FailingStream : public DataStream {
 public:
  explicit FailingStream(std::string good) : good_(std::move(good)) {}
  std::int64_t Read(char* buffer, std::int64_t size) override {
    if (at_ == good_.size()) throw std::runtime_error("Input/output error");
    const size_t count = std::min(good_.size() - at_, static_cast<size_t>(size));
    std::memcpy(buffer, good_.data() + at_, count);
    at_ += count;
    return static_cast<std::int64_t>(count);
  }
  bool Write(const char*, std::int64_t) override { return false; }

 private:
  std::string good_;
  size_t at_ = 0;
};

}  // namespace kestova::testing
