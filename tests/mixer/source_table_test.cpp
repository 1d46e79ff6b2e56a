// The mixer's table of sources: lookups and idle expiry.
#include "mixer/intake/source_table.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using _Carovel::PcmFormat;
using _Carovel::SourceIntake;
using _Carovel::SourceTable;

const PcmFormat kMono16k8{1, 8000, 16};

SourceIntake* Feed(SourceTable& table, long id, std::uint32_t seconds) {
    return table.FeedSource(id, kMono16k8, 320, seconds);
}

TEST(SourceTable, FindsTheSameIntakeAgainAndMarksItFed) {
    SourceTable table;
    SourceIntake* a = Feed(table, 1, 100);
    SourceIntake* b = Feed(table, 2, 100);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(Feed(table, 1, 100), a);
    EXPECT_EQ(Feed(table, 1, 101), a);  // the one fed last, found without a lookup
    EXPECT_EQ(Feed(table, 2, 102), b);
    EXPECT_EQ(a->LastFeedSeconds(), 101u);
    EXPECT_EQ(b->LastFeedSeconds(), 102u);
    EXPECT_EQ(table.Find(1), a);
    EXPECT_EQ(table.Count(), 2u);
}

TEST(SourceTable, ANewSourceDropsThoseIdleForMoreThanTenSeconds) {
    SourceTable table;
    Feed(table, 1, 0);
    Feed(table, 2, 0);
    Feed(table, 3, 0);
    Feed(table, 1, 0);  // the same second: 1 stays first in the order
    Feed(table, 3, 5);  // a new second: 3 moves to the back
    Feed(table, 4, 10);
    EXPECT_EQ(table.Count(), 4u);  // 10 s idle: not yet
    Feed(table, 5, 11);            // 1 and 2 idle for 11 s
    EXPECT_EQ(table.Find(1), nullptr);
    EXPECT_EQ(table.Find(2), nullptr);
    EXPECT_NE(table.Find(3), nullptr);
    EXPECT_NE(table.Find(4), nullptr);
    EXPECT_EQ(table.Count(), 3u);
    Feed(table, 6, 16);  // 3 idle for 11 s; 4 for 6 s
    EXPECT_EQ(table.Find(3), nullptr);
    EXPECT_NE(table.Find(4), nullptr);
}

TEST(SourceTable, TheSourceFedLastCanBeDroppedAndMadeAgain) {
    SourceTable table;
    Feed(table, 1, 0);
    SourceIntake* b = Feed(table, 2, 20);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(table.Find(1), nullptr);  // 1 was idle for 20 s when 2 came
    Feed(table, 3, 40);                 // drops 2, the source fed last
    EXPECT_EQ(table.Find(2), nullptr);
    SourceIntake* again = Feed(table, 2, 40);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(table.Find(2), again);
    EXPECT_EQ(again->LastFeedSeconds(), 40u);
    EXPECT_EQ(table.Count(), 2u);
    table.Clear();
    EXPECT_EQ(table.Count(), 0u);
    EXPECT_NE(Feed(table, 3, 41), nullptr);
}

}  // namespace
