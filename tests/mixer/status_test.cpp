// Every refusal names its cause.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "carovel/carovel.h"

namespace {

using _Carovel::CMixer;
using _Carovel::CWaveConvert;
using _Carovel::CWaveMix;
using _Carovel::Status;

void Nop(char*, unsigned, char*, unsigned, void*, void*) {}

TEST(Status, EveryCauseHasItsOwnText) {
    std::set<std::string> texts;
    for (int s = 0; s <= static_cast<int>(Status::kNotHostDriven); ++s) {
        texts.insert(_Carovel::StatusText(static_cast<Status>(s)));
    }
    EXPECT_EQ(texts.size(), static_cast<std::size_t>(Status::kNotHostDriven) + 1);
    EXPECT_STREQ(_Carovel::StatusText(static_cast<Status>(999)), "unknown status");
}

TEST(Status, MixerRefusalsNameTheirCause) {
    CMixer mixer;
    EXPECT_FALSE(mixer.AddFrame(0, "ab", 2, 1, 8000, 16, nullptr));
    EXPECT_EQ(mixer.LastStatus(), Status::kNotOpen);
    EXPECT_FALSE(mixer.Open(1, 8000, 16, 320, nullptr, nullptr));
    EXPECT_EQ(mixer.LastStatus(), Status::kBadArgument);
    EXPECT_FALSE(mixer.Open(2, 8000, 16, 322, &Nop, nullptr));  // not whole sample blocks
    EXPECT_EQ(mixer.LastStatus(), Status::kBadArgument);
    EXPECT_FALSE(mixer.Open(1, 8000, 12, 320, &Nop, nullptr));
    EXPECT_EQ(mixer.LastStatus(), Status::kUnsupportedFormat);

    ASSERT_TRUE(mixer.Open(1, 8000, 16, 320, &Nop, nullptr));
    EXPECT_EQ(mixer.LastStatus(), Status::kOk);
    EXPECT_FALSE(mixer.Open(1, 8000, 16, 320, &Nop, nullptr));
    EXPECT_EQ(mixer.LastStatus(), Status::kAlreadyOpen);
    EXPECT_FALSE(mixer.AddFrame(3, "abcd", 4, 1, 8000, 12, nullptr));
    EXPECT_EQ(mixer.LastStatus(), Status::kUnsupportedFormat);
    EXPECT_FALSE(mixer.AddFrame(3, "abcd", -4, 1, 8000, 16, nullptr));
    EXPECT_EQ(mixer.LastStatus(), Status::kBadArgument);
    EXPECT_TRUE(mixer.AddFrame(3, "abcd", 4, 2, 44100, 24, nullptr));
    EXPECT_EQ(mixer.LastStatus(), Status::kOk);
    mixer.Close();
    EXPECT_FALSE(mixer.AddFrame(3, "abcd", 4, 1, 8000, 16, nullptr));
    EXPECT_EQ(mixer.LastStatus(), Status::kNotOpen);
}

TEST(Status, FrameMixerAndConverterRefusalsNameTheirCause) {
    CWaveMix wm;
    EXPECT_FALSE(wm.AddFrame(1, nullptr, 4, nullptr));
    EXPECT_EQ(wm.LastStatus(), Status::kBadArgument);
    EXPECT_TRUE(wm.AddFrame(1, "ab", 2, nullptr));
    EXPECT_EQ(wm.LastStatus(), Status::kOk);

    CWaveConvert conv;
    unsigned char buf[8] = {};
    unsigned long srcLen = 4;
    unsigned long dstLen = 8;
    EXPECT_FALSE(conv.Convert(buf, srcLen, buf, dstLen));
    EXPECT_EQ(conv.LastStatus(), Status::kNotOpen);
    EXPECT_FALSE(conv.Open(1, 8000, 20, 1, 8000, 16));
    EXPECT_EQ(conv.LastStatus(), Status::kUnsupportedFormat);
    ASSERT_TRUE(conv.Open(1, 8000, 16, 1, 8000, 16));
    EXPECT_FALSE(conv.Convert(nullptr, srcLen, buf, dstLen));
    EXPECT_EQ(conv.LastStatus(), Status::kBadArgument);
    EXPECT_TRUE(conv.Convert(buf, srcLen, buf, dstLen));
    EXPECT_EQ(conv.LastStatus(), Status::kOk);
}

}  // namespace
