// Receives the mixer's output frames and writes the mix, the master track and
// the mix-minus outputs to their files, cut to the length of the mix.
#ifndef CAROVEL_MIX_MIX_SINK_H
#define CAROVEL_MIX_MIX_SINK_H

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "loudness.h"
#include "output_file.h"
#include "pcm.h"
#include "pcm/level_meter.h"
#include "rate_stage.h"

namespace carovel_mix {

// One output of a run: the mix, the master track or a mix-minus output.
// Samples arrive in the mixing format. In a headroom run they are scaled by
// 2^-shift; a track then either scales them back (the master track), or
// keeps them in a spool until Normalize() writes them scaled to a peak, or,
// without a file, only measures them or spools them for the caller.
class Track {
  public:
    enum class Mode {
        kWrite,      // written as they come (scaled back by 2^shift)
        kNormalize,  // spooled, then written by Normalize()
        kMeasure,    // only their peak is kept
        kSpool,      // spooled as they came (32-bit), handed over by TakeSpool()
    };

    // file is null in kMeasure and kSpool modes. outBits: the precision written (the
    // PCM width; 32 for floating point, 16 for mu-law and A-law).
    Track(std::unique_ptr<OutputFile> file, const PcmFormat& mixFormat, unsigned outBits,
          unsigned shift, Mode mode);
    ~Track();
    Track(const Track&) = delete;
    Track& operator=(const Track&) = delete;

    // Converts what Add takes from the stage's From() format (mixed at
    // another rate) to the track's format, which must be its To(). Set
    // before the first Add.
    void SetRateStage(std::unique_ptr<RateStage> stage) { m_rate = std::move(stage); }
    // Appends frames of mixing-format bytes (of the rate stage's format
    // when there is one).
    void Add(const char* bytes, std::size_t frames);
    // Takes what the rate stage still holds; call once, after the last Add.
    void EndInput();
    // kNormalize: writes the spooled samples scaled so that the largest
    // magnitude becomes `peak` (of full scale, e.g. 0.891 for -1 dBFS).
    void Normalize(double peak);

    // kSpool: the spooled samples, interleaved 32-bit left-justified
    // integers in the machine's order, positioned at the first; the track
    // keeps none. Empty in other modes.
    FileDescriptor TakeSpool();

    // kNormalize: measure the loudness of the samples as they come.
    void MeasureLoudness();
    // Their integrated loudness (LUFS) and true peak (dBTP), once all came.
    double InputLufs() const;
    double InputTruePeakDbtp() const;

    // What a pass over the spooled samples made (see WriteScaled).
    struct ScaledPass {
        double lufs = 0.0;          // integrated loudness of the result
        double truePeakDbtp = 0.0;  // its true peak
        double leastGain = 1.0;     // the limiter's deepest gain
    };
    // kNormalize: passes the spooled samples, at full scale 1.0, times
    // gain, through a true-peak limiter at `ceiling` (linear; 0 for none),
    // and writes them unless write is false. Measures the loudness of the
    // result.
    ScaledPass WriteScaled(double gain, double ceiling, bool write);

    // Adds TPDF dither of one step of the written width before samples
    // are rounded to it in Normalize and WriteScaled (to those the width
    // cannot hold exactly).
    void SetDither(bool dither) { m_dither = dither; }
    // The loudness of what WriteScaled wrote, when it did.
    const ScaledPass* Written() const { return m_written ? &*m_written : nullptr; }
    void Commit();
    void Finish();

    const OutputFile* File() const { return m_file.get(); }
    // The format of the samples as written (after any rate stage).
    const PcmFormat& Format() const { return m_mixFormat; }
    // Whether the samples come from a float mix.
    bool IsFloat() const { return m_mixFormat.isFloat; }
    std::uint64_t Frames() const { return m_frames; }
    // Levels and clipped samples of what was written.
    const _Carovel::LevelMeter& Levels() const { return m_levels; }
    std::uint64_t Clipped() const { return m_clips.Count(); }
    // kMeasure and kNormalize: the largest magnitude of the samples as they
    // came, scaled back by 2^shift, in dB relative to full scale (above 0 for
    // a clamped sum measured in a headroom run). kWrite: the written peak.
    double PeakDbfs() const;

  private:
    // Appends frames in the track's format.
    void Take(const char* bytes, std::size_t frames);
    std::size_t Unpack(const char* bytes, std::size_t frames);
    void WriteOut(std::size_t samples);
    // Rounds a sample at 32-bit scale to the written width.
    std::int32_t Store(double value);

    // A float mix (kWrite only): its samples written as floats, its peak
    // kept beyond full scale.
    void AddFloats(const char* bytes, std::size_t frames);

    std::unique_ptr<OutputFile> m_file;
    std::unique_ptr<RateStage> m_rate;
    PcmFormat m_mixFormat;
    std::vector<float> m_floats;
    double m_floatPeak = 0.0;
    unsigned m_outBits;
    unsigned m_shift;
    Mode m_mode;
    std::uint64_t m_frames = 0;
    std::int64_t m_peak = 0;
    _Carovel::LevelMeter m_levels;
    _Carovel::ClipCounter m_clips;
    std::vector<std::int32_t> m_samples;
    FileDescriptor m_spool;
    bool m_dither = false;
    std::uint64_t m_noise = 0x9e3779b97f4a7c15ull;  // dither's generator state
    std::unique_ptr<LoudnessMeter> m_meter;
    std::vector<double> m_values;
    std::optional<ScaledPass> m_written;
};

class MixSink {
  public:
    // At most this many frames of each track are kept; the rest is dropped.
    void SetLimit(std::uint64_t frames) { m_limit = frames; }
    std::uint64_t Limit() const { return m_limit; }

    void SetMix(std::unique_ptr<Track> track) { m_mix = std::move(track); }
    void SetMaster(std::unique_ptr<Track> track) { m_master = std::move(track); }
    void AddMinus(long source, std::unique_ptr<Track> track);

    // Appends mixing-format bytes of a pass's mix and master frame.
    void AddPass(const char* mix, std::size_t mixBytes, const char* master,
                 std::size_t masterBytes);
    // Appends mixing-format bytes of a source's mix-minus output (ignored
    // unless asked for).
    void AddMinusBytes(long source, const char* data, std::size_t bytes);

    // Ends every track's input: what their rate stages hold is taken.
    void EndInput();
    // Finishes every file before putting any in place.
    void Commit();

    // The mixing format: what the passes deliver, at the rate they are
    // made at (the tracks may convert it to another, see Track::Format).
    const PcmFormat& Format() const { return m_format; }
    void SetFormat(const PcmFormat& format) { m_format = format; }
    // How the outputs are written, for the summary: "8000 Hz mono 16-bit".
    const std::string& OutputDescription() const { return m_outputDescription; }
    void SetOutputDescription(std::string text) { m_outputDescription = std::move(text); }
    Track& Mix() { return *m_mix; }
    const Track& Mix() const { return *m_mix; }
    Track* Master() { return m_master.get(); }
    const std::map<long, std::unique_ptr<Track>>& Minus() const { return m_minus; }
    std::map<long, std::unique_ptr<Track>>& Minus() { return m_minus; }

  private:
    void AddTo(Track& track, std::uint64_t& written, const char* bytes, std::size_t byteCount);
    // Calls fn on the mix, the master track and every mix-minus output.
    template <class Fn>
    void ForEachTrack(Fn fn);

    PcmFormat m_format;
    std::string m_outputDescription;
    std::uint64_t m_limit = UINT64_MAX;
    std::unique_ptr<Track> m_mix;
    std::unique_ptr<Track> m_master;
    std::map<long, std::unique_ptr<Track>> m_minus;
    std::uint64_t m_mixWritten = 0;
    std::uint64_t m_masterWritten = 0;
    std::map<long, std::uint64_t> m_minusWritten;
};

// A track for samples mixed in `mixed` and written in `written` (one sample
// type): with a rate stage between them where their rates or channels
// differ (a mix made at its sources' rate and converted once).
std::unique_ptr<Track> MakeTrack(std::unique_ptr<OutputFile> file, const PcmFormat& mixed,
                                 const PcmFormat& written, unsigned outBits, unsigned shift,
                                 Track::Mode mode);

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_MIX_SINK_H
