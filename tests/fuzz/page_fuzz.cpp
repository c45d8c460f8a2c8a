// libFuzzer target: arbitrary pages and templates through title finding and
// placeholder substitution.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/text_helpers.h"
#include "engine/redirect_page.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const size_t split = text.find('\x01');
  const std::string page = text.substr(0, split);
  const std::string templ = split == std::string::npos ? text : text.substr(split + 1);
  const std::string title = kestova::TitleAsUtf8(kestova::FindTitle(kestova::SplitLines(page)));
  // Converted from a single-byte code page, a byte takes at most three.
  if (title.size() > 3 * page.size()) __builtin_trap();
  // What a name or a value becomes in a page holds no markup of its own.
  const std::string segment = kestova::UrlPathSegment(page);
  const std::string escaped = kestova::HtmlEscape(page);
  if (segment.find_first_of("<>\"'& /?#\r\n") != std::string::npos) __builtin_trap();
  if (escaped.find_first_of("<>\"") != std::string::npos) __builtin_trap();
  kestova::PlaceholderValues values;
  values.newurl = "http://new/<<newurl>>";
  values.oldurl = "http://old";
  values.title = title;
  values.profile = "<<PROFILE>>";
  values.oldhome = "o";
  values.newhome = "n";
  const std::string built = kestova::BuildRedirectPage(kestova::SplitLines(templ), values);
  (void)built;
  return 0;
}
