// libFuzzer target: arbitrary listing lines through the field, name, name
// column and date routines of the listing parser, the MLSD line parser, and
// the readers that make entries of a reply.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ftp/ftp_listing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const size_t split = text.find('\n');
  const std::string line = text.substr(0, split);
  const std::string reference = split == std::string::npos ? std::string("a") : text.substr(split + 1, 64);
  kestova::IsListingEntry(line);
  for (long long k = -1; k < 12; ++k) {
    const long long start = kestova::FieldStart(line, k);
    if (k >= 0 && start < 1) __builtin_trap();
    kestova::ListingField(line, k);
    kestova::ListingName(line, start);
    kestova::EntryName(line, start);
  }
  const int column = kestova::NameColumnFrom({line, reference}, {reference, line});
  if (column < -1) __builtin_trap();
  try {
    const kestova::ListingTime time = kestova::ListingDate(line, 2026, 6);
    if (time.month < 1 || time.month > 12 || time.day < 1 || time.day > 31) __builtin_trap();
  } catch (const kestova::ListingDateError&) {
  }
  kestova::MlsdEntry fact;
  if (kestova::ParseMlsdLine(line, fact)) {
    if (fact.name.empty() || fact.name.find_first_of("\r\n") != std::string::npos) __builtin_trap();
    if (fact.size < -1) __builtin_trap();
    if (fact.has_time && (fact.modify.month < 1 || fact.modify.month > 12 || fact.modify.hour > 23)) __builtin_trap();
    if (line.find(fact.name) == std::string::npos) __builtin_trap();
  }
  // The whole reply, every way it can be read.
  kestova::RemoteListing listing;
  listing.lines = {line, reference};
  kestova::ReadLongListing(listing, column, 2026, 6);
  if (listing.entries.size() > 2) __builtin_trap();
  kestova::ReadFactListing(listing);
  kestova::ReadNameListing(listing);
  return 0;
}
