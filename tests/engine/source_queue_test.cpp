#include "engine/source_queue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using _Carovel::AllocWaveFrame;
using _Carovel::SourceQueue;
using _Carovel::WaveFrame;

TEST(SourceQueue, QueuesCopiesInOrderAndRefreshesOnlyOnPush) {
    SourceQueue track(7, 0, 500);
    EXPECT_EQ(track.SourceId(), 7);
    EXPECT_EQ(track.LastFeedSeconds(), 500u);

    char buf[4] = {'a', 'b', 'c', 'd'};
    int tagA = 0, tagB = 0;
    ASSERT_TRUE(track.Push(AllocWaveFrame(buf, 4, &tagA), 510));
    std::memcpy(buf, "wxyz", 4);  // the caller may reuse its buffer at once
    ASSERT_TRUE(track.Push(AllocWaveFrame(buf, 0, &tagB), 520));  // empty payload still queues
    EXPECT_EQ(track.LastFeedSeconds(), 520u);
    EXPECT_EQ(track.FrameCount(), 2u);

    const WaveFrame* first = track.Take();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(std::string(first->pData, 4), "abcd");
    EXPECT_EQ(first->pData, reinterpret_cast<const char*>(first + 1));  // payload behind the header
    EXPECT_EQ(first->pTag, &tagA);
    const WaveFrame* second = track.Take();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->nLen, 0);
    EXPECT_EQ(second->pTag, &tagB);
    EXPECT_EQ(track.LastTaken(), second);
    EXPECT_EQ(track.Take(), nullptr);
    EXPECT_EQ(track.LastTaken(), second);      // kept as the source's last frame
    EXPECT_EQ(track.LastFeedSeconds(), 520u);  // taking does not refresh
}

TEST(SourceQueue, ReusesTheBlocksOfTakenFramesForLaterCopies) {
    SourceQueue track(1, 0, 0);
    EXPECT_FALSE(track.PushCopy("x", 1, nullptr, 0));  // no spare block yet
    ASSERT_TRUE(track.Push(AllocWaveFrame("abcd", 4, nullptr), 0));
    ASSERT_TRUE(track.Push(AllocWaveFrame("efgh", 4, nullptr), 0));
    const WaveFrame* first = track.Take();
    track.Take();  // the first frame's block becomes a spare
    ASSERT_TRUE(track.PushCopy("wxy", 3, nullptr, 1));
    const WaveFrame* again = track.Take();
    EXPECT_EQ(again, first);  // the same block, holding the new copy
    EXPECT_EQ(std::string(again->pData, static_cast<std::size_t>(again->nLen)), "wxy");
    EXPECT_FALSE(track.PushCopy("x", -1, nullptr, 1));
    EXPECT_EQ(track.FrameCount(), 0u);
}

TEST(SourceQueue, GrowsPastItsFirstSlotsKeepingTheOrder) {
    SourceQueue track(2, 0, 0);
    // Taken and pushed in turn so that the ring wraps before it grows.
    for (char n = 0; n < 3; ++n) {
        ASSERT_TRUE(track.Push(AllocWaveFrame(&n, 1, nullptr), 0));
    }
    ASSERT_EQ(track.Take()->pData[0], 0);
    ASSERT_EQ(track.Take()->pData[0], 1);
    for (char n = 3; n < 20; ++n) {
        ASSERT_TRUE(track.Push(AllocWaveFrame(&n, 1, nullptr), 0));
    }
    EXPECT_EQ(track.FrameCount(), 18u);
    for (char n = 2; n < 20; ++n) {
        const WaveFrame* frame = track.Take();
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(frame->pData[0], n);
    }
    EXPECT_EQ(track.Take(), nullptr);
}

TEST(SourceQueue, KeepsAsManySparesAsItHeldFramesAndReusesTheLastFirst) {
    SourceQueue track(3, 0, 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(track.Push(AllocWaveFrame("abcd", 4, nullptr), 0));
    }
    const WaveFrame* first = track.Take();
    const WaveFrame* second = track.Take();
    track.Take();  // first, then second become spares
    ASSERT_TRUE(track.PushCopy("1", 1, nullptr, 0));
    ASSERT_TRUE(track.PushCopy("2", 1, nullptr, 0));
    EXPECT_FALSE(track.PushCopy("3", 1, nullptr, 0));  // no spare left
    EXPECT_EQ(track.Take(), second);
    EXPECT_EQ(track.Take(), first);
    EXPECT_EQ(std::string(first->pData, 1), "2");
}

TEST(SourceQueue, DropsASpareTooSmallForTheFrame) {
    SourceQueue track(4, 0, 0);
    ASSERT_TRUE(track.Push(AllocWaveFrame("ab", 2, nullptr), 0));
    ASSERT_TRUE(track.Push(AllocWaveFrame("cd", 2, nullptr), 0));
    track.Take();
    track.Take();  // the first block, of two bytes, is a spare
    EXPECT_FALSE(track.PushCopy("wxyz", 4, nullptr, 0));  // dropped: too small
    EXPECT_FALSE(track.PushCopy("w", 1, nullptr, 0));     // nothing left to copy into
    ASSERT_TRUE(track.Push(AllocWaveFrame("wxyz", 4, nullptr), 0));
    EXPECT_EQ(std::string(track.Take()->pData, 4), "wxyz");
}

}  // namespace
