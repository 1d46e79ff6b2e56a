// Lowers a stream's rate by a whole factor ahead of libsoxr where the two
// rates of a conversion lie very far apart (65535 Hz into 1 Hz).
//
// libsoxr's filters there hold back hundreds of output samples (about 900 s
// of audio into 1 Hz), so ending a stream meant pushing that much silence
// through all of its stages at the source rate: a quarter of a second for a
// 65535 Hz source. Lowered first by R, the stream reaches libsoxr at a rate
// still 256 times the destination's, where that silence costs R times less.
//
// The filter is a triangle of 2R - 1 taps (two box-cars of R), centred on
// each kept sample, so the lowered stream is aligned with the source: its
// block m stands for source block m * R. Its zeros sit on every multiple of
// the lowered rate, where whatever would fold onto the destination's band
// (within half a destination rate of them) lies: that is attenuated to at
// most (pi R dstRate / (4 srcRate))^2 in amplitude, -100 dB when the lowered
// rate is 256 times the destination's, while the band itself droops by less
// than 0.001 dB. libsoxr then removes everything else above the
// destination's band.
#ifndef CAROVEL_CONVERT_DECIMATOR_H
#define CAROVEL_CONVERT_DECIMATOR_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace _Carovel {

class Decimator {
  public:
    // The factor R for a conversion from srcRate to dstRate: the largest
    // that keeps the lowered rate at least kHeadroom times dstRate; 1 (no
    // lowering) when that is not at least 2.
    static constexpr unsigned kHeadroom = 256;
    static unsigned FactorFor(unsigned srcRate, unsigned dstRate);

    // Interleaved blocks of `channels` samples, 16-bit integers (rounded
    // and clamped on the way out) or floats; Push takes at most maxBlocks at
    // a time. Allocates here only.
    Decimator(unsigned channels, unsigned factor, std::size_t maxBlocks, bool int16);

    unsigned Factor() const { return factor_; }
    // Most blocks one Push or Finish writes.
    std::size_t MaxOut() const { return maxBlocks_ / factor_ + 2; }

    // Takes up to maxBlocks of blocks (*taken says how many) and writes the
    // lowered blocks that are complete to out (room for MaxOut()); returns
    // their count. Block m of the lowered stream needs the source up to
    // block m * R + R - 1.
    std::size_t Push(const void* in, std::size_t blocks, void* out, std::size_t* taken);
    // Ends the stream, the source taken as silent beyond its end: writes the
    // lowered blocks still owed (for source blocks up to the last taken) and
    // starts afresh. A stream of n source blocks gives ceil(n / R) in all.
    std::size_t Finish(void* out);
    void Reset();

  private:
    std::size_t Emit(void* out, bool ending);

    unsigned channels_;
    unsigned factor_;
    std::size_t maxBlocks_;
    bool int16_;
    std::vector<double> weights_;  // 2R - 1 taps, summing to 1
    // Source blocks from the start of the next kept block's window, as
    // floats (exact for 16-bit samples): count_ blocks from start_ (the
    // first R - 1 of a stream are the silence before it).
    std::vector<float> held_;
    std::size_t start_ = 0;
    std::size_t count_ = 0;
    std::uint64_t taken_ = 0;  // source blocks taken
    std::uint64_t given_ = 0;  // lowered blocks given out
};

}  // namespace _Carovel

#endif  // CAROVEL_CONVERT_DECIMATOR_H
