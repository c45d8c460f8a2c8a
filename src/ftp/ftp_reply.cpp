#include "ftp/ftp_reply.h"

#include <algorithm>
#include <vector>

namespace kestova {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A whole decimal number in 0..limit, with nothing else but surrounding blanks.
std::optional<int> SmallNumber(const std::string& text, int limit) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  size_t end = text.size();
  while (end > i && text[end - 1] == ' ') --end;
  if (i == end || end - i > 6) return std::nullopt;
  int value = 0;
  for (; i < end; ++i) {
    if (!IsDigit(text[i])) return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  if (value > limit) return std::nullopt;
  return value;
}

}  // namespace

ReplyReader::Status ReplyReader::Append(const char* data, std::size_t size) {
  size = std::min(size, Room());
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '\0') return Status::ZeroByte;
  }
  buffer_.append(data, size);
  return Status::Ok;
}

std::optional<std::string> ReplyReader::NextLine(bool bare_lf) {
  const std::size_t end = bare_lf ? buffer_.find('\n') : buffer_.find("\r\n");
  if (end == std::string::npos) return std::nullopt;
  std::string line = buffer_.substr(0, end);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  buffer_.erase(0, end + (bare_lf ? 1 : 2));
  return line;
}

ReplyCodeInfo ParseReplyCode(const std::string& line) {
  ReplyCodeInfo info;
  size_t i = 0;
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) ++i;
  long long value = 0;
  const size_t start = i;
  for (; i < line.size() && IsDigit(line[i]); ++i) {
    if (value < 100000000) value = value * 10 + (line[i] - '0');
  }
  info.has_digits = i > start;
  info.code = static_cast<int>(value);
  info.intermediate = i < line.size() && line[i] == '-';
  return info;
}

std::string ParseReplyPath(const std::string& line) {
  size_t i = 0;
  while (i < line.size() && IsDigit(line[i])) ++i;
  while (i < line.size() && line[i] == ' ') ++i;
  if (i >= line.size() || line[i] != '"') return std::string();
  std::string path;
  for (++i; i < line.size(); ++i) {
    if (line[i] != '"') {
      path += line[i];
    } else if (i + 1 < line.size() && line[i + 1] == '"') {
      path += '"';
      ++i;
    } else {
      break;
    }
  }
  return path;
}

std::optional<int> ParseEpsvReply(const std::string& line) {
  const size_t open = line.find('(');
  if (open == std::string::npos || open + 5 >= line.size()) return std::nullopt;
  const char delimiter = line[open + 1];
  if (delimiter < 33 || delimiter > 126 || IsDigit(delimiter)) return std::nullopt;
  if (line[open + 2] != delimiter || line[open + 3] != delimiter) return std::nullopt;
  const size_t start = open + 4;
  const size_t end = line.find(delimiter, start);
  if (end == std::string::npos || end == start || end + 1 >= line.size() || line[end + 1] != ')') return std::nullopt;
  const std::string digits = line.substr(start, end - start);
  if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  const int port = std::stoi(digits);
  if (port < 1 || port > 65535) return std::nullopt;
  return port;
}

std::optional<PasvEndpoint> ParsePasvReply(const std::string& line) {
  const size_t open = line.find('(');
  std::string rest;
  if (open != std::string::npos) {
    rest = line.substr(open + 1);
  } else {
    // Some servers leave the parentheses out: the numbers start at the first
    // digit after the reply code.
    size_t i = 0;
    while (i < line.size() && IsDigit(line[i])) ++i;
    while (i < line.size() && !IsDigit(line[i])) ++i;
    rest = line.substr(i);
  }
  std::vector<int> numbers;
  for (int i = 0; i < 5; ++i) {
    const size_t comma = rest.find(',');
    if (comma == std::string::npos) return std::nullopt;
    const auto number = SmallNumber(rest.substr(0, comma), 255);
    if (!number) return std::nullopt;
    numbers.push_back(*number);
    rest.erase(0, comma + 1);
  }
  // The last number ends at ")" or at whatever follows its digits.
  size_t digits = 0;
  while (digits < rest.size() && rest[digits] == ' ') ++digits;
  while (digits < rest.size() && IsDigit(rest[digits])) ++digits;
  const auto last = SmallNumber(rest.substr(0, digits), 255);
  if (!last) return std::nullopt;
  PasvEndpoint endpoint;
  endpoint.address = std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." + std::to_string(numbers[2]) +
                     "." + std::to_string(numbers[3]);
  endpoint.port = ((numbers[4] << 8) + *last) & 0xFFFF;
  return endpoint;
}

std::string TransferStatistics(std::int64_t count, std::int64_t elapsed_ms) {
  std::string text =
      std::to_string(count) + " bytes received/sent in " + std::to_string(elapsed_ms / 1000) + " seconds";
  if (elapsed_ms > 0) {
    // The order of the operations keeps the product small for large counts.
    const std::int64_t rate = count < 32768 ? count * 1000 / elapsed_ms : (count / elapsed_ms) * 1000;
    text += " (" + std::to_string(rate) + " Bytes/sec)";
  }
  return text;
}

}  // namespace kestova
