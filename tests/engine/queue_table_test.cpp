#include "engine/queue_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace {

using _Carovel::kNoQueueSlot;
using _Carovel::PassFrames;
using _Carovel::QueueTable;
using _Carovel::Status;

// One pass at nowSeconds without source 0; the frames taken, by source id.
std::vector<long> PassIds(QueueTable& table, std::uint32_t nowSeconds) {
    PassFrames taken;
    std::vector<std::uint32_t> freed;
    table.TakeFrames(taken, nowSeconds, nullptr, freed, false);
    return std::vector<long>(taken.Ids(), taken.Ids() + taken.Count());
}

TEST(QueueTable, ASlotHintFindsTheSourcesQueue) {
    QueueTable table;
    std::uint32_t slot5 = kNoQueueSlot, slot6 = kNoQueueSlot;
    ASSERT_EQ(table.Push(5, "a", 1, nullptr, 0, nullptr, &slot5), Status::kOk);
    ASSERT_EQ(table.Push(6, "b", 1, nullptr, 0, nullptr, &slot6), Status::kOk);
    EXPECT_NE(slot5, slot6);
    ASSERT_EQ(table.Push(5, "c", 1, nullptr, 0, nullptr, &slot5), Status::kOk);
    EXPECT_EQ(table.QueuedFrames(5), 2u);
    EXPECT_EQ(table.QueuedFrames(6), 1u);
    // A hint pointing at another source's queue is not taken.
    std::uint32_t wrong = slot6;
    ASSERT_EQ(table.Push(5, "d", 1, nullptr, 0, nullptr, &wrong), Status::kOk);
    EXPECT_EQ(wrong, slot5);
    EXPECT_EQ(table.QueuedFrames(5), 3u);
    EXPECT_EQ(table.QueuedFrames(6), 1u);
}

TEST(QueueTable, AHintOutlivingItsQueueFindsTheNewOne) {
    QueueTable table;
    std::uint32_t slot = kNoQueueSlot;
    const std::shared_ptr<void> board = std::make_shared<int>(1);
    ASSERT_EQ(table.Push(5, "a", 1, nullptr, 0, &board, &slot), Status::kOk);
    EXPECT_EQ(PassIds(table, 0), (std::vector<long>{5}));
    EXPECT_TRUE(PassIds(table, 11).empty());  // idle for 11 s: dropped
    EXPECT_TRUE(table.SourceIds().empty());

    // Another source takes the slot; the old hint does not lead to it.
    std::uint32_t other = kNoQueueSlot;
    ASSERT_EQ(table.Push(6, "b", 1, nullptr, 11, nullptr, &other), Status::kOk);
    EXPECT_EQ(other, slot);
    ASSERT_EQ(table.Push(5, "c", 1, nullptr, 11, &board, &slot), Status::kOk);
    EXPECT_EQ(table.QueuedFrames(5), 1u);
    EXPECT_EQ(table.QueuedFrames(6), 1u);

    // After Clear, a queue made without an attachment in the hinted slot
    // still takes the source's attachment.
    table.Clear();
    ASSERT_EQ(table.SetGain(5, 65536, 11), Status::kOk);
    ASSERT_EQ(table.Push(5, "d", 1, nullptr, 11, &board, &slot), Status::kOk);
    _Carovel::SourceView view;
    ASSERT_TRUE(table.View(5, view));
    EXPECT_EQ(view.attachment, board);
    EXPECT_EQ(view.queuedFrames, 1u);
}

}  // namespace
