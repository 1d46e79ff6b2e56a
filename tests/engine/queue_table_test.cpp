#include "engine/queue_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "engine/idle_expiry.h"

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

// Many sources fed at random, passes dropping the idle ones from anywhere
// in the table: what each pass takes, which sources stay (in creation
// order), which slots come free and where later sources go, against a
// plain list of the sources.
TEST(QueueTable, PassesKeepTheTableInCreationOrderAsSourcesComeAndGo) {
    struct Model {
        long id;
        std::uint32_t slot;
        std::uint32_t lastFed;
        std::size_t frames;
    };
    std::mt19937 random(17);
    QueueTable table;
    std::vector<Model> model;
    std::vector<std::uint32_t> freeSlots;
    std::uint32_t nextSlot = 0;
    std::uint32_t now = 0;
    for (int round = 0; round < 400; ++round) {
        now += random() % 3;
        for (int feeds = random() % 12; feeds > 0; --feeds) {
            const long id = static_cast<long>(random() % 40);
            const char byte = static_cast<char>(id);
            ASSERT_EQ(table.Push(id, &byte, 1, nullptr, now), Status::kOk);
            auto it = std::find_if(model.begin(), model.end(),
                                   [id](const Model& m) { return m.id == id; });
            if (it == model.end()) {
                std::uint32_t slot = nextSlot;
                if (freeSlots.empty()) {
                    ++nextSlot;
                } else {
                    slot = freeSlots.back();
                    freeSlots.pop_back();
                }
                model.push_back(Model{id, slot, now, 0});
                it = std::prev(model.end());
            }
            it->lastFed = now;
            ++it->frames;
        }
        PassFrames taken;
        std::vector<std::uint32_t> freed;
        ASSERT_TRUE(table.TakeFrames(taken, now, nullptr, freed, false));
        std::vector<long> wantTaken;
        std::vector<std::uint32_t> wantSlots, wantFreed;
        std::vector<Model> kept;
        for (Model& m : model) {
            if (m.frames > 0) {
                --m.frames;
                wantTaken.push_back(m.id);
                wantSlots.push_back(m.slot);
            } else if (_Carovel::IsIdleExpired(now, m.lastFed)) {
                wantFreed.push_back(m.slot);
                freeSlots.push_back(m.slot);
                continue;
            }
            kept.push_back(m);
        }
        model = kept;
        ASSERT_EQ(std::vector<long>(taken.Ids(), taken.Ids() + taken.Count()), wantTaken);
        ASSERT_EQ(std::vector<std::uint32_t>(taken.Slots(), taken.Slots() + taken.Count()),
                  wantSlots);
        ASSERT_EQ(freed, wantFreed);
        std::vector<long> ids;
        for (const Model& m : model) {
            ids.push_back(m.id);
            ASSERT_EQ(table.QueuedFrames(m.id), m.frames);
        }
        ASSERT_EQ(table.SourceIds(), ids) << "round " << round;
        // Frames are byte copies of the id: each one taken is its source's.
        for (std::size_t i = 0; i < taken.Count(); ++i) {
            ASSERT_EQ(taken.Data()[i]->pData[0], static_cast<char>(taken.Ids()[i]));
        }
    }
}

}  // namespace
