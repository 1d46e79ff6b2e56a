// Fixed-ratio rate conversion through libsoxr, paced to a steady output.
#ifndef CAROVEL_CONVERT_SOXR_STAGE_H
#define CAROVEL_CONVERT_SOXR_STAGE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "convert/decimator.h"

struct soxr;

namespace _Carovel {

// Resamples interleaved work samples at a fixed ratio with libsoxr, linear
// phase: 16-bit integers at its medium quality (16-bit precision, the
// passband flat to within 0.35 dB up to 0.916 of the lower rate's Nyquist),
// floats (streams wider than 16 bits) at its high quality (20-bit
// precision, flat to within 0.01 dB up to 0.914).
//
// The output is aligned with the input: output block k stands for the time
// of source block k * srcRate / dstRate. libsoxr filters in blocks (a fast
// convolution), so it gives out its output in bursts; the stage evens them
// out by releasing output only up to a fixed latency behind the input: after
// n source blocks, the outputs up to floor(n * dstRate / srcRate) - Latency()
// may go out, and libsoxr is known to have made them (the latency is the
// largest hold-back seen on a trial run, worked out once per pair of rates).
// So every step of the same length gives out the same amount, to within a
// block, which keeps a converted source in step with the mixer's passes.
// The bytes are the same however the stream is cut: only their pacing
// depends on it.
class SoxrStage {
  public:
    enum class Sample { kInt16, kFloat };
    // Most source blocks fed to libsoxr in one call; a caller keeps the
    // output of one call to about this many blocks as well.
    static constexpr std::size_t kFeedBlocks = 4096;
    // libsoxr's quality recipe for the sample type (SOXR_MQ or SOXR_HQ).
    static unsigned long QualityRecipe(Sample sample);

    // Null when libsoxr cannot be set up for the rates. Throws
    // std::bad_alloc when memory runs out.
    static std::unique_ptr<SoxrStage> Create(unsigned channels, unsigned srcRate, unsigned dstRate,
                                             Sample sample);
    ~SoxrStage();
    SoxrStage(const SoxrStage&) = delete;
    SoxrStage& operator=(const SoxrStage&) = delete;

    // Takes in[0, inBlocks) into the filter; returns the blocks taken (all of
    // them unless libsoxr refuses some). A null in with inBlocks > 0 feeds
    // that many blocks of silence: the end of the stream.
    //
    // Where the source rate is Decimator::kHeadroom * 2 or more times the
    // destination's, the input is lowered by a whole factor first (see
    // Decimator) and libsoxr runs at the same ratio from the lowered rate;
    // silence then goes in at that rate, after the decimator's last blocks.
    // Lowered blocks libsoxr does not take wait here for the next call,
    // which takes new input only once they are in.
    std::size_t Feed(const void* in, std::size_t inBlocks);
    // Copies up to maxBlocks of the output made so far to out and removes
    // them; returns the blocks copied. The caller paces what it asks for.
    std::size_t Take(void* out, std::size_t maxBlocks);
    // Starts afresh, as if just created.
    void Clear();

    // The pacing latency, in destination blocks.
    std::size_t Latency() const { return latency_; }
    std::size_t Channels() const { return channels_; }

  private:
    struct Free {
        void operator()(soxr* s) const noexcept;
    };
    SoxrStage(unsigned channels, Sample sample, soxr* s, std::size_t latency);
    // Moves what libsoxr has made into the buffer, as far as it has room.
    void Pull(const void* in, std::size_t inBlocks, std::size_t* taken);
    // Feed straight into libsoxr, and the two ways through the decimator.
    std::size_t FeedSoxr(const void* in, std::size_t inBlocks);
    std::size_t FeedLowering(const void* in, std::size_t inBlocks);
    std::size_t FeedLoweredEnd(std::size_t inBlocks);
    // Feeds libsoxr the lowered blocks still waiting; true when none is left.
    bool FeedWaiting();

    std::unique_ptr<soxr, Free> soxr_;
    const unsigned channels_;
    const std::size_t sampleBytes_;
    const std::size_t latency_;
    // Output made and not yet taken: bytes [head_, tail_) of buffer_.
    std::vector<unsigned char> buffer_;
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    // Blocks of silence, fed in pieces.
    std::vector<unsigned char> silence_;
    // Far apart rates: the decimator; the blocks it made, of which
    // [loweredFrom_, loweredCount_) wait for libsoxr; whether its end went in.
    std::unique_ptr<Decimator> lowering_;
    std::vector<unsigned char> lowered_;
    std::size_t loweredFrom_ = 0;
    std::size_t loweredCount_ = 0;
    bool loweredEnded_ = false;
};

}  // namespace _Carovel

#endif  // CAROVEL_CONVERT_SOXR_STAGE_H
