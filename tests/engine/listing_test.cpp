#include "engine/listing.h"

#include <gtest/gtest.h>

namespace kestova {
namespace {

TEST(Listing, PackedDosTimesOrderLikeTheDatesAndCoverTheirYears) {
  const ListingTime a{2026, 1, 12, 10, 30, 0};
  const ListingTime b{2026, 1, 12, 10, 31, 0};
  EXPECT_LT(PackDosTime(a), PackDosTime(b));
  EXPECT_EQ(PackDosTime({1979, 12, 31, 0, 0, 0}), 0u);
  EXPECT_EQ(PackDosTime({2100, 1, 1, 0, 0, 0}), 0u);
  EXPECT_EQ(PackDosTime({2026, 1, 12, 10, 30, 59}), PackDosTime({2026, 1, 12, 10, 30, 58}));
  EXPECT_EQ(FormatListingTime({2026, 1, 12, 0, 0, 0}), "2026-01-12");
  EXPECT_EQ(FormatListingTime({2026, 1, 12, 10, 30, 4}), "2026-01-12 10:30:04");
}

}  // namespace
}  // namespace kestova
