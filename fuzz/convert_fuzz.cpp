// The PCM stream converter with random formats and random stepping: a stream
// converted in random pieces into random amounts of room and flushed must
// give the same bytes as the same stream converted in one piece and flushed
// (before the flush the pieces may lag, as a stream resampled in blocks paces
// its output by the input it was given, but never differ), and no step may
// use more than it was offered, write beyond its room, or split a sample
// block.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "carovel/wave_convert.h"
#include "fuzz_check.h"

namespace {

using _Carovel::CWaveConvert;

struct Format {
    unsigned short channels;
    unsigned short rate;
    unsigned short bits;

    bool Supported() const {
        return channels >= 1 && rate >= 1 && (bits == 8 || bits == 16 || bits == 24 || bits == 32);
    }
    std::size_t BlockAlign() const { return std::size_t{channels} * (bits / 8u); }
};

constexpr unsigned short kRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 65535};
constexpr unsigned short kBits[] = {8, 16, 24, 32, 8, 16, 24, 32, 0, 12};
// Output beyond this is not worth the time; such inputs are skipped.
constexpr std::size_t kMaxOutputBytes = 1 << 20;

Format PickFormat(FuzzedDataProvider& in) {
    Format f{};
    f.channels = in.ConsumeIntegralInRange<unsigned short>(0, 6);
    f.rate = in.ConsumeBool() ? in.PickValueInArray(kRates)
                              : in.ConsumeIntegralInRange<unsigned short>(0, 65535);
    f.bits = in.PickValueInArray(kBits);
    return f;
}

// One checked Convert step into exactly `room` bytes (plus a guard that must
// stay untouched). Appends the output; returns {used, produced}.
std::pair<unsigned long, unsigned long> Step(CWaveConvert& conv, const Format& src,
                                             const Format& dst, const unsigned char* data,
                                             unsigned long offered, unsigned long room,
                                             std::vector<unsigned char>& out) {
    constexpr unsigned char kGuard = 0xC3;
    constexpr std::size_t kGuardBytes = 8;
    std::vector<unsigned char> buf(room + kGuardBytes, kGuard);
    unsigned long used = offered;
    unsigned long produced = room;
    FUZZ_CHECK(conv.Convert(data, used, buf.data(), produced), "Convert on an open stream");
    FUZZ_CHECK(used <= offered, "used more than offered");
    FUZZ_CHECK(produced <= room, "produced more than the room");
    FUZZ_CHECK(used % src.BlockAlign() == 0, "used a partial source block");
    FUZZ_CHECK(produced % dst.BlockAlign() == 0, "produced a partial destination block");
    for (std::size_t i = produced; i < buf.size(); ++i) {
        FUZZ_CHECK(i < room || buf[i] == kGuard, "wrote beyond the room");
    }
    out.insert(out.end(), buf.begin(), buf.begin() + static_cast<long>(produced));
    return {used, produced};
}

// Converts the whole stream offering everything at once, with ample room.
std::vector<unsigned char> OnePiece(CWaveConvert& conv, const Format& src, const Format& dst,
                                    const std::vector<unsigned char>& stream, std::size_t room) {
    std::vector<unsigned char> out;
    std::size_t pos = 0;
    for (;;) {
        const auto r = Step(conv, src, dst, stream.data() + pos, stream.size() - pos, room, out);
        pos += r.first;
        if (r.first == 0 && r.second == 0) {
            break;
        }
    }
    FUZZ_CHECK(stream.size() - pos < src.BlockAlign(), "one piece left whole blocks unused");
    return out;
}

// Converts the stream in random pieces into random room; a stretch without
// progress is ended by one step with ample room.
std::vector<unsigned char> Pieces(CWaveConvert& conv, const Format& src, const Format& dst,
                                  const std::vector<unsigned char>& stream, std::size_t room,
                                  std::uint32_t seed) {
    std::minstd_rand rng(seed);
    const unsigned long maxPiece = 1 + rng() % 3000;
    const unsigned long maxRoom = 1 + rng() % 3000;
    std::vector<unsigned char> out;
    std::size_t pos = 0;
    int idle = 0;
    while (stream.size() - pos >= src.BlockAlign()) {
        const unsigned long left = static_cast<unsigned long>(stream.size() - pos);
        const bool unstick = idle >= 4;
        const unsigned long offered =
            unstick ? left : std::min<unsigned long>(left, rng() % maxPiece);
        const unsigned long space = unstick ? static_cast<unsigned long>(room) : rng() % maxRoom;
        const auto r = Step(conv, src, dst, stream.data() + pos, offered, space, out);
        pos += r.first;
        idle = r.first == 0 && r.second == 0 ? idle + 1 : 0;
        FUZZ_CHECK(idle <= 5, "no progress even with everything offered and ample room");
    }
    return out;
}

// Flushes the stream into room-sized steps, appending what comes out.
void Flush(CWaveConvert& conv, const Format& dst, std::size_t room,
           std::vector<unsigned char>& out) {
    std::vector<unsigned char> buf(room + dst.BlockAlign());
    for (int steps = 0;; ++steps) {
        unsigned long produced = static_cast<unsigned long>(buf.size());
        FUZZ_CHECK(conv.Flush(buf.data(), produced), "Flush on an open stream");
        FUZZ_CHECK(produced % dst.BlockAlign() == 0, "flushed a partial destination block");
        if (produced == 0) {
            break;
        }
        FUZZ_CHECK(steps < 100000, "Flush never ends");
        out.insert(out.end(), buf.begin(), buf.begin() + static_cast<long>(produced));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const Format src = PickFormat(in);
    const Format dst = PickFormat(in);
    const auto seed = in.ConsumeIntegral<std::uint32_t>();
    const std::vector<unsigned char> stream = in.ConsumeRemainingBytes<unsigned char>();

    CWaveConvert whole;
    CWaveConvert pieces;
    const bool opened =
        whole.Open(src.channels, src.rate, src.bits, dst.channels, dst.rate, dst.bits);
    FUZZ_CHECK(opened == (src.Supported() && dst.Supported()),
               "Open accepts exactly the supported");
    if (!opened) {
        unsigned long used = stream.size();
        unsigned long produced = 64;
        unsigned char buf[64];
        FUZZ_CHECK(!whole.Convert(stream.data(), used, buf, produced), "Convert when closed");
        FUZZ_CHECK(used == stream.size() && produced == 64, "lengths kept when closed");
        return 0;
    }
    FUZZ_CHECK(pieces.Open(src.channels, src.rate, src.bits, dst.channels, dst.rate, dst.bits),
               "second Open");

    // Room for the whole output of the stream at the rate ratio, with margin.
    const std::size_t frames = stream.size() / src.BlockAlign();
    const std::size_t outFrames = frames * dst.rate / src.rate + 64;
    const std::size_t room = outFrames * dst.BlockAlign();
    if (room > kMaxOutputBytes) {
        return 0;
    }
    std::vector<unsigned char> a = OnePiece(whole, src, dst, stream, room);
    std::vector<unsigned char> b = Pieces(pieces, src, dst, stream, room, seed);
    // Before the flush a stream resampled in blocks may have given out less
    // in pieces (its pacing depends on how the input came), never other
    // bytes; with the flush both are the whole stream.
    const std::size_t common = std::min(a.size(), b.size());
    FUZZ_CHECK(std::equal(a.begin(), a.begin() + static_cast<long>(common), b.begin()),
               "pieces and one piece differ before the flush");
    Flush(whole, dst, room, a);
    Flush(pieces, dst, room, b);
    FUZZ_CHECK(a == b, "pieces and one piece differ");
    whole.Close();
    pieces.Close();
    return 0;
}
