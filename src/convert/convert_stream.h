// The state of one PCM conversion stream, shared by the CWaveConvert objects
// that use it.
#ifndef CAROVEL_CONVERT_CONVERT_STREAM_H
#define CAROVEL_CONVERT_CONVERT_STREAM_H

#include <speex/speex_resampler.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

#include "carovel/wave_convert.h"
#include "convert/channel_matrix.h"
#include "convert/soxr_stage.h"
#include "convert/upsampler.h"
#include "pcm/pcm_format.h"

namespace _Carovel {

// Bytes taken from the source and written to the destination by one step.
struct StepResult {
    std::size_t used;
    std::size_t produced;
};

// One term of a downmix row: the channel's byte offset in a block and its
// weight.
struct DownmixTap {
    unsigned offset;
    float weight;
};

class ConvertStream {
    struct Token {
        explicit Token() = default;
    };

  public:
    // Quality setting of speexdsp's resampler (0..10).
    static constexpr int kResamplerQuality = 5;

    // The resampler a stream between different rates runs on.
    enum class Engine {
        // speexdsp (quality kResamplerQuality), whose ratio SetTrim may move
        // while the stream runs.
        kSpeex,
        // libsoxr at the fixed ratio of the two rates, paced to a steady
        // output (see SoxrStage).
        kSoxr,
        // A polyphase filter raising the rate by a whole factor (see
        // Upsampler); a trim changes it to speexdsp as for kSoxr.
        kUpsampler,
    };
    // The engine that the public choice gives between the two rates:
    // kLowLatency is the upsampler where the destination rate is a whole
    // multiple of the source's (up to Upsampler::kMaxFactor), otherwise
    // speexdsp unless the rates are more than kFastAboveRatio apart; kFast is
    // libsoxr.
    static Engine EngineFor(Resampler resampler, unsigned srcRate, unsigned dstRate);

    // Returns null when either format is unsupported, the resampler is not
    // one of Resampler's values, or it cannot be set up. Throws
    // std::bad_alloc when memory runs out.
    static std::shared_ptr<ConvertStream> Create(const PcmFormat& src, const PcmFormat& dst,
                                                 Resampler resampler = Resampler::kLowLatency);

    // Use Create; the token keeps the constructor to it.
    ConvertStream(Token, const PcmFormat& src, const PcmFormat& dst, Engine engine);
    ConvertStream(const ConvertStream&) = delete;
    ConvertStream& operator=(const ConvertStream&) = delete;

    // Converts as many whole source blocks of src[0, srcLen) as fit, as whole
    // destination blocks, into dst[0, dstLen). The output is aligned with the
    // input: a resampler's leading delay is skipped, and what its filter
    // still holds back comes out with Drain. Allocates nothing itself (libsoxr
    // may grow its own buffers while a stream starts).
    StepResult Step(const unsigned char* src, std::size_t srcLen, unsigned char* dst,
                    std::size_t dstLen);

    // Writes as much as fits into dst[0, dstLen) of the output the resampler
    // still holds back (nothing at equal rates): the blocks that complete
    // the stream to ceil(input blocks * destination rate / source rate).
    // Once all of it was written, the stream starts afresh, as if just
    // created. Returns the bytes written (used is 0).
    StepResult Drain(unsigned char* dst, std::size_t dstLen);

    // Destination blocks that Drain would still write.
    std::size_t HeldBackBlocks() const;
    std::size_t DestinationBlockAlign() const { return dst_.BlockAlign(); }

    // Trims the rate ratio by ppm parts per million of the source rate:
    // positive takes that much more source audio per destination block (the
    // stream comes out shorter and a little higher), negative less. The new
    // ratio holds from the next block produced on; the resampler keeps its
    // filter state and position, so the output has no seam. A stream between
    // equal rates, which has no resampler, gets one here, first fed with the
    // historyBlocks source blocks that went through last (already written
    // out, up to kTrimHistoryBlocks are used), so that its filter starts
    // from the real past of the stream instead of silence; the trim then
    // takes effect once the resampler has caught up with the stream, a few
    // blocks later. A trim of 0 on a stream without a resampler changes
    // nothing. Returns false, changing nothing, when memory runs out.
    //
    // A trimmed stream's Drain completes it to the blocks its input accounts
    // for at the ratios in effect, to within a block.
    //
    // A stream on libsoxr or the upsampler (Engine::kSoxr, kUpsampler) takes
    // a trim only before its first input (after Create or a complete Drain):
    // it then changes to speexdsp.
    // Once it has taken input, a trim other than 0 returns false and changes
    // nothing.
    bool SetTrim(std::int32_t ppm, const unsigned char* history, std::size_t historyBlocks);
    std::int32_t TrimPpm() const { return trimPpm_; }
    bool Resampling() const {
        return resampler_ != nullptr || soxr_ != nullptr || upsampler_ != nullptr;
    }
    // Whether the stream resamples with libsoxr, or with the upsampler.
    bool OnSoxr() const { return soxr_ != nullptr; }
    bool OnUpsampler() const { return upsampler_ != nullptr; }
    // Destination blocks that a stream resampled by libsoxr holds back
    // behind its input to give out a steady output (see SoxrStage); 0
    // otherwise.
    std::size_t PacingLatency() const { return soxr_ != nullptr ? soxr_->Latency() : 0; }
    // Source blocks per destination block, as the resampler is set (the
    // trim is realised to within a step of 1/65521 of the ratio).
    double SourcePerOutput() const { return blocksPerOut_; }
    static constexpr std::size_t kTrimHistoryBlocks = 128;

  private:
    struct ResamplerFree {
        void operator()(SpeexResamplerState* st) const noexcept { speex_resampler_destroy(st); }
    };
    template <class T, class Buffer = std::vector<T>>
    struct Scratch {
        using value_type = T;
        Buffer in;   // decoded source blocks, work channels each
        Buffer out;  // resampled blocks, work channels each
    };
    // Work samples per buffer of the upsampler's scratch, which lives on the
    // stack of each step: shared by every stream a thread steps, it stays in
    // the cache where a thousand streams' own buffers would not.
    static constexpr std::size_t kStackScratchSamples = 1024;
    using StackScratch = Scratch<float, std::array<float, kStackScratchSamples>>;

    // Work is a Scratch of any buffer.
    template <class Work>
    StepResult Run(Work& scratch, const unsigned char* src, std::size_t inBlocks,
                   unsigned char* dst, std::size_t outBlocks);
    template <class Work>
    StepResult DrainWith(Work& scratch, unsigned char* dst, std::size_t outBlocks);
    // use(scratch) with the upsampler's stack scratch where it fits, with
    // the stream's own otherwise (for Run and DrainWith).
    template <class Use>
    StepResult WithScratch(Use&& use);
    // Whether the steps use the stack's scratch: an upsampler's, where its
    // chunk of work samples fits (and then the stream keeps none of its own).
    static bool UsesStackScratch(const Upsampler* upsampler, std::size_t chunkSamples) {
        return upsampler != nullptr && chunkSamples <= kStackScratchSamples;
    }
    // Run and DrainWith for a stream resampled by libsoxr.
    template <class T>
    StepResult RunFixed(Scratch<T>& scratch, const unsigned char* src, std::size_t inBlocks,
                        unsigned char* dst, std::size_t outBlocks);
    template <class T>
    StepResult DrainFixed(Scratch<T>& scratch, unsigned char* dst, std::size_t outBlocks);
    // The most source blocks whose paced output fits room more blocks.
    std::size_t PacedInputFor(std::size_t room) const;
    // Starts the resampler afresh, its leading delay skipped.
    void Restart();
    template <class T>
    void Decode(const unsigned char* src, std::size_t blocks, T* out) const;
    template <unsigned Bytes, class T>
    void DecodeWidth(const unsigned char* src, std::size_t blocks, T* out) const;
    template <class T>
    void Encode(const T* in, std::size_t blocks, unsigned char* dst) const;
    template <unsigned Bytes, class T>
    void EncodeWidth(const T* in, std::size_t blocks, unsigned char* dst) const;
    // Upper bound of the source blocks the resampler needs for outBlocks.
    std::size_t InputFor(std::size_t outBlocks) const;
    // Creates the resampler of the given kind at the nominal ratio, its
    // leading delay skipped, and the scratch buffers for it. Returns false
    // when that fails.
    bool StartResampler(Engine engine);
    // Resamples inLen blocks of scratch.in into scratch.out (room for outLen
    // blocks), drops the outputs still owed to the history SetTrim fed,
    // and keeps the counts. On return outLen is the blocks kept, at the
    // start of scratch.out.
    template <class Work>
    void ResampleKept(Work& scratch, spx_uint32_t& inLen, spx_uint32_t& outLen);
    // Sets the resampler to the nominal ratio trimmed by trimPpm_.
    void ApplyRatio();
    // Fills taps_ and tapsPerRow_ from stepWeights_.
    void BuildTaps();

    PcmFormat src_;
    PcmFormat dst_;
    // Channels between the two remapping stages: min(source, destination).
    unsigned workChannels_;
    // Blocks handled per pass through the scratch buffers.
    std::size_t chunkBlocks_;
    // At most one of these: speexdsp's (trimmable), libsoxr's or the
    // upsampler; all null at equal rates until a trim.
    std::unique_ptr<SpeexResamplerState, ResamplerFree> resampler_;
    std::unique_ptr<SoxrStage> soxr_;
    std::unique_ptr<Upsampler> upsampler_;
    std::variant<Scratch<std::int32_t>, Scratch<std::int16_t>, Scratch<float>> scratch_;
    // Folds source channels into fewer destination channels; empty where the
    // channels map one to one, by index, or are averaged.
    ChannelMatrix matrix_;
    // The matrix's weights for resampled streams, scaled so that a source
    // sample read at its own width comes out in units of one 16-bit step.
    std::vector<float> stepWeights_;
    // The same times 2^15, for 16-bit work samples.
    std::vector<std::int32_t> q15Weights_;
    // The non-zero step weights of each row with their channels, every row
    // padded with zero weights to tapsPerRow_ taps: the float downmix reads
    // only the channels it needs (the LFE of 5.1 and 7.1 into stereo and the
    // other side's channels weigh nothing).
    std::vector<DownmixTap> taps_;
    unsigned tapsPerRow_ = 0;
    // Source blocks consumed and destination blocks produced since the
    // resampler (re)started.
    std::uint64_t blocksIn_ = 0;
    std::uint64_t blocksOut_ = 0;
    // Trimming: the trim asked for, whether any trim was applied since the
    // resampler (re)started (the counts above then give way to dueOut_, the
    // destination blocks the input accounts for at the ratios in effect),
    // the ratio set (source blocks per destination block), and the outputs
    // of the history fed by SetTrim, still to drop before the trim applies.
    std::int32_t trimPpm_ = 0;
    bool trimmed_ = false;
    double dueOut_ = 0.0;
    double blocksPerOut_ = 1.0;
    std::uint32_t appliedNum_ = 0;
    std::uint32_t appliedDen_ = 0;
    std::size_t pendingDiscard_ = 0;
};

}  // namespace _Carovel

#endif  // CAROVEL_CONVERT_CONVERT_STREAM_H
