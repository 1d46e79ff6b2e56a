#include "mixcore/source_queue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/fake_clock.h"

namespace {

using _Carovel::SourceQueue;

class SourceQueueTest : public ::testing::Test {
  protected:
    carovel_test::FakeSecondsClock clock{500};
};

TEST_F(SourceQueueTest, QueuesCopiesInOrderAndRefreshesOnlyOnPush) {
    SourceQueue track(7);
    EXPECT_EQ(track.SourceId(), 7);
    EXPECT_EQ(track.LastFeedSeconds(), 500u);

    char buf[4] = {'a', 'b', 'c', 'd'};
    int tagA = 0, tagB = 0;
    clock.Set(510);
    ASSERT_TRUE(track.PushFrame(buf, 4, &tagA));
    std::memcpy(buf, "wxyz", 4);  // the caller may reuse its buffer at once
    clock.Set(520);
    ASSERT_TRUE(track.PushFrame(buf, 0, &tagB));  // empty payload still queues
    EXPECT_EQ(track.LastFeedSeconds(), 520u);
    EXPECT_EQ(track.FrameCount(), 2u);

    clock.Set(530);
    auto first = track.PopFrame();
    ASSERT_TRUE(first);
    EXPECT_EQ(std::string(first->pData, 4), "abcd");
    EXPECT_EQ(first->pData, reinterpret_cast<char*>(first.get() + 1));  // payload behind the header
    EXPECT_EQ(first->pTag, &tagA);
    auto second = track.PopFrame();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->nLen, 0);
    EXPECT_EQ(second->pTag, &tagB);
    EXPECT_FALSE(track.PopFrame());
    EXPECT_EQ(track.LastFeedSeconds(), 520u);  // popping does not refresh
}

TEST_F(SourceQueueTest, RefusesNegativeLengths) {
    SourceQueue track(1);
    EXPECT_FALSE(track.PushFrame("x", -1, nullptr));
    EXPECT_EQ(track.FrameCount(), 0u);
}

}  // namespace
