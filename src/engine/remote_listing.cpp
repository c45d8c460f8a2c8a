// Remote listings through the executor, and the name column that LIST
// lines are read by.
#include "common/text_helpers.h"
#include "engine/upload.h"

namespace kestova {

std::vector<std::string> Upload::ListInto(MemoryStream& stream) { return SplitLines(stream.Data()); }

// Lists the folder through the executor into a fresh stream: LIST for
// "dir", NLST for "ls". The run's own stream (the page of a redirection run)
// is given back afterwards.
bool Upload::ListFolder(const std::string& directory, const char* label, std::vector<std::string>& lines,
                        bool may_fail) {
  MemoryStream stream;
  const bool listed = ListFolderInto(directory, label, stream, may_fail);
  if (listed) lines = ListInto(stream);
  return listed;
}

bool Upload::ListFolderInto(const std::string& directory, const char* label, MemoryStream& stream, bool may_fail) {
  listing_ = &stream;
  listing_what_.clear();
  const bool listed = ExecuteCommand(directory, label, may_fail) && operation_ok_;
  listing_ = nullptr;
  return listed;
}

int Upload::FindNameColumn(const std::string& directory) {
  if (name_column_ > -1) return name_column_;
  client_.ChangeFolder(directory);
  std::vector<std::string> names;
  if (!ListFolder(directory, "ls", names)) {
    Terminate();
    return -1;
  }
  if (names.empty()) return -1;
  std::vector<std::string> lines;
  if (!ListFolder(directory, "dir", lines)) {
    Terminate();
    return -1;
  }
  name_column_ = NameColumnFrom(lines, names);
  return name_column_;
}

long long Upload::NameStart(const std::string& directory, const std::string& line) {
  return FieldStart(line, FindNameColumn(directory));
}

}  // namespace kestova
