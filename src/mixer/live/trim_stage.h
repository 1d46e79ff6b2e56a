// Live mode's trim of a source's stream in the mixing format: a resampler
// for ratios close to 1 (within a few per cent), cheap enough to run on
// every source of a large conference.
//
// Each output sample is the stream read at a fractional position by a
// 16-tap windowed-sinc interpolator. The ratio stays within a few per cent
// of 1, so the position's fraction moves slowly: outputs are made in runs
// from one filter phase of a table (the phase nearest the run's middle) and
// its derivatives by the fraction, the sums taken over the run's input
// windows (vectorised across the outputs) and joined by a Taylor step to
// each output's own fraction: 32 outputs and a first-order step for trims
// within +-1000 ppm (the drift of real clocks), eight and a second-order
// step beyond. The ratio may change between any two runs
// without a seam: the position moves on continuously.
//
// A 16-bit stream's long runs (the drift case of the usual mixing format)
// are summed in integers: the taps rounded to 16 bits (1/32768, the
// derivative's to 1/16384), two taps by two samples in each step of a
// vector multiply-add, half the work of the float sums. The taps' rounding
// costs about 1 dB of a 1 kHz tone's SNR at 48 kHz (88.6 dB) and 6 dB at
// 8 kHz (84 dB); a trim of 0 still copies the stream exactly.
//
// Besides trimming, the stage can shed audio: given a budget (AllowShed),
// it skips input where the stream is quiet (every sample of a stretch of at
// least kQuietBlocks within kQuietLevel of silence, with the filter's
// reach around it quiet too), so that excess latency goes without a change
// of pitch and without a click.
//
// Input is taken in whole sample blocks of the format and kept, converted
// to float, until the filter has passed it; the stage holds back the
// filter's reach (kHalf blocks) until the stream ends (Drain). PushPull
// filters a block of input from the stack instead, keeping only what the
// next outputs read.
#ifndef CAROVEL_MIXER_LIVE_TRIM_STAGE_H
#define CAROVEL_MIXER_LIVE_TRIM_STAGE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pcm/pcm_format.h"

namespace _Carovel {

class TrimStage {
  public:
    // Taps of the interpolator, and its reach on either side.
    static constexpr int kTaps = 16;
    static constexpr int kHalf = kTaps / 2;
    // Outputs made together from one phase: kLongRun for trims within
    // +-kLongRunPpm (with a first-order step to each output's fraction),
    // kRun for larger ones (with a second-order step).
    static constexpr int kRun = 8;
    static constexpr int kLongRun = 32;
    static constexpr std::int32_t kLongRunPpm = 1000;
    // The trims the stage realises: within +-kMaxTrimPpm.
    static constexpr std::int32_t kMaxTrimPpm = 62000;
    // A quiet stretch for shedding: this long at least (in milliseconds), no
    // sample beyond kQuietLevel of full scale.
    static constexpr double kQuietMs = 5.0;
    static constexpr double kQuietLevel = 0.0031623;  // -50 dBFS
    // Samples (of all channels) that PushPull filters on the stack.
    static constexpr std::size_t kStackSamples = 2048;
    // Samples (of all channels) that PushPull keeps inside the stage.
    static constexpr std::size_t kInlineSamples = 128;

    // A stage for a stream in format (a supported PCM format).
    explicit TrimStage(const PcmFormat& format);
    TrimStage(const TrimStage&) = delete;
    TrimStage& operator=(const TrimStage&) = delete;

    // The trim for the outputs from now on, in parts per million of the
    // source rate (clamped to +-kMaxTrimPpm): positive takes that much more
    // input per output (the stream comes out shorter and a little higher).
    void SetTrim(std::int32_t ppm);
    std::int32_t TrimPpm() const { return trimPpm_; }
    // Input blocks per output block, as set.
    double SourcePerOutput() const { return ratio_; }

    // Gives the stage the last blocks of the stream that went out before it
    // started (up to kHalf are used), so that its filter starts from the
    // stream's real past; the first output is the sample after them. Call
    // before the first Push; without it the past is silence.
    void Prime(const unsigned char* history, std::size_t blocks);

    // Takes blocks whole sample blocks of input. Returns false, taking
    // nothing, when memory runs out.
    bool Push(const unsigned char* data, std::size_t blocks);

    // Writes up to maxBlocks output blocks into dst, as far as the input
    // taken reaches. Never allocates. Returns the blocks written.
    std::size_t Pull(unsigned char* dst, std::size_t maxBlocks);

    // Push, then Pull, in one call: the same output (into dst, *made blocks
    // of it), but the input is filtered from a buffer on the stack, shared
    // and so warm across many streams, and only what later outputs read
    // stays in the stage. Input beyond kStackSamples in all (with what the
    // stage holds) goes through the stage's own planes as Push takes it.
    // Returns false, taking nothing and writing nothing, when memory runs
    // out.
    bool PushPull(const unsigned char* data, std::size_t blocks, unsigned char* dst,
                  std::size_t maxBlocks, std::size_t* made);

    // Ends the stream: writes up to maxBlocks of the outputs the rest of
    // the input accounts for (the filter reads silence past its end). Once
    // all were written (the return is below maxBlocks), the stage starts
    // afresh, its past silence, its trim and shed budget kept.
    std::size_t Drain(unsigned char* dst, std::size_t maxBlocks);

    // Outputs Drain would still write (about; at most one more or less).
    std::size_t HeldBackBlocks() const;

    // Lets the stage shed up to blocks input blocks in quiet stretches from
    // now on (replacing what was left of the last budget).
    void AllowShed(std::size_t blocks) { shedBudget_ = blocks; }
    std::size_t ShedBudget() const { return shedBudget_; }
    // Input blocks shed since the stage was made.
    std::uint64_t ShedBlocks() const { return shed_; }

    // Writes count outputs of each of channels runs (kLongRun floats a
    // channel) as interleaved blocks of the stream's format.
    using RunEncoder = void (*)(const float* runs, std::size_t count, unsigned channels,
                                unsigned char* dst);

  private:
    // Writes up to maxBlocks output blocks into dst while the input reaches
    // far enough; stops at the input's end when draining. samplesIn, when
    // given, holds the input kept as integers (a mono 16-bit stream's, with
    // long runs and no shedding): the runs read it instead of the planes.
    std::size_t Make(unsigned char* dst, std::size_t maxBlocks, bool draining,
                     const std::int16_t* samplesIn = nullptr);
    // Whether the next runs are long runs of a mono 16-bit stream made in
    // one step from integers (on a processor with the kernel for them).
    bool Mono16Runs() const;
    // PushPull when Mono16Runs and nothing is to be shed, once the planes
    // can take back all of the input: the block goes to the kernel as it
    // came, without the round trip through floats. Returns the blocks
    // written.
    std::size_t PushPullMono16(const unsigned char* data, std::size_t blocks, unsigned char* dst,
                               std::size_t maxBlocks);
    // Skips a quiet stretch at the read position when the budget allows.
    void ShedQuiet();
    // Whether input sample i of any channel is beyond the quiet level.
    bool Loud(std::size_t i) const;
    // Drops the input the filter has passed.
    void Compact();
    // Moves the positions back by drop samples, once the first drop samples
    // of the input kept are gone.
    void Forget(std::size_t drop);
    // Decodes blocks of input into the planes worked on, from sample at.
    void Decode(const unsigned char* data, std::size_t blocks, std::size_t at);
    // Works on the input kept (inside the stage or in the planes) again,
    // after the planes moved or PushPull worked on the stack.
    void WorkOnKept();
    // Moves the input kept inside the stage into the planes.
    void Spill();
    // Where channel c's input kept is: inside the stage or in its plane.
    float* KeptPlane(unsigned c) {
        return inline_ ? inlineKept_ + c * InlineStride() : planes_[c].data();
    }
    std::size_t InlineStride() const { return kInlineSamples / channels_; }
    // The samples a plane starts with: room for the filter's reach and for
    // what is kept inside the stage, so that Spill never allocates.
    static std::size_t PlaneStart(unsigned channels);
    // The read position's fraction past index_.
    double Fraction() const { return static_cast<double>(frac_) * 0x1p-32; }
    // Makes every plane hold at least samples; false when memory ran out.
    bool Reserve(std::size_t samples);

    PcmFormat format_;
    unsigned channels_;
    unsigned width_;  // bytes per sample; 0 for float samples
    float scale_;     // full scale of the width (1 for float samples)
    std::int32_t trimPpm_ = 0;
    double ratio_ = 1.0;
    std::uint64_t ratioFixed_ = std::uint64_t{1} << 32;  // ratio_, 32 bits after the point
    // The input kept, one plane per channel, from the start of the filter's
    // reach (and one more); the read position: the index of the sample at
    // or before it (at least kHalf) and the fraction past it.
    // The planes are buffers: used_ samples of each hold input, unless the
    // input kept is inside the stage (inline_).
    std::vector<std::vector<float>> planes_;
    // The samples the smallest plane holds.
    std::size_t reserved_;
    // Whether the input kept is in inlineKept_ (InlineStride() samples a
    // channel) instead of the planes: PushPull keeps it there when it fits.
    bool inline_ = false;
    float inlineKept_[kInlineSamples];
    std::size_t used_ = kHalf;
    std::size_t index_ = kHalf;
    std::uint64_t frac_ = 0;  // 32 bits after the point
    // Shedding waits until the read position reaches this index: a loud
    // sample lies within the reach of the outputs before it.
    std::size_t quietAfter_ = 0;
    std::size_t quietBlocks_;
    float quietLimit_;
    std::size_t shedBudget_ = 0;
    std::uint64_t shed_ = 0;
    // One run of outputs, kRun floats per channel.
    std::vector<float> out_;
    // The planes the filter reads, one pointer per channel: the stage's own
    // (planes_ or inlineKept_), or the stack's while PushPull runs.
    std::vector<float*> work_;
    // Writes the outputs of a run (out_) as blocks, for the stream's format.
    RunEncoder encode_;
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXER_LIVE_TRIM_STAGE_H
