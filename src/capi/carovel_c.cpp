// The C interface (carovel/carovel_c.h) over CMixer, CWaveMix and
// CWaveConvert. Each entry point checks what the C types allow beyond the
// C++ arguments (lengths wider than the C++ parameters, the sample type),
// calls the class and turns its bool and LastStatus into a status code;
// nothing thrown below leaves it.
#include "carovel/carovel_c.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "carovel/format.h"
#include "carovel/mixer.h"
#include "carovel/status.h"
#include "carovel/version.h"
#include "carovel/wave_convert.h"
#include "carovel/wave_mix.h"

namespace {

using _Carovel::CMixer;
using _Carovel::CMixMinusFrames;
using _Carovel::CWaveConvert;
using _Carovel::CWaveMix;
using _Carovel::Status;

static_assert(CAROVEL_OK == static_cast<int>(Status::kOk), "status codes follow Status");
static_assert(CAROVEL_NOT_OPEN == static_cast<int>(Status::kNotOpen), "");
static_assert(CAROVEL_ALREADY_OPEN == static_cast<int>(Status::kAlreadyOpen), "");
static_assert(CAROVEL_BAD_ARGUMENT == static_cast<int>(Status::kBadArgument), "");
static_assert(CAROVEL_UNSUPPORTED_FORMAT == static_cast<int>(Status::kUnsupportedFormat), "");
static_assert(CAROVEL_OUT_OF_MEMORY == static_cast<int>(Status::kOutOfMemory), "");
static_assert(CAROVEL_NO_PROGRESS == static_cast<int>(Status::kNoProgress), "");
static_assert(CAROVEL_INSIDE_CALLBACK == static_cast<int>(Status::kInsideCallback), "");
static_assert(CAROVEL_THREAD_START_FAILED == static_cast<int>(Status::kThreadStartFailed), "");
static_assert(CAROVEL_NOT_HOST_DRIVEN == static_cast<int>(Status::kNotHostDriven), "");

// The longest frame the mixer takes, as CMixer::Open with a format.
constexpr size_t kMaxFrameBytes = size_t{1} << 30;
static_assert(CAROVEL_MAX_RATE == _Carovel::kMaxSamplesPerSec, "");

int Code(Status status) {
    return static_cast<int>(status);
}

// Bits per sample of an integer C sample type (what the sample utilities
// take); 0 for CAROVEL_F32 and values outside the enumeration.
unsigned short BitsOf(carovel_sample_type type) {
    switch (type) {
        case CAROVEL_U8:
            return 8;
        case CAROVEL_S16:
            return 16;
        case CAROVEL_S24:
            return 24;
        case CAROVEL_S32:
            return 32;
        case CAROVEL_F32:
            break;
    }
    return 0;
}

// A C sample type as the C++ calls take it; false for values outside the
// enumeration.
bool ToSampleType(carovel_sample_type in, _Carovel::SampleType& out) {
    switch (in) {
        case CAROVEL_U8:
            out = _Carovel::SampleType::kU8;
            return true;
        case CAROVEL_S16:
            out = _Carovel::SampleType::kS16;
            return true;
        case CAROVEL_S24:
            out = _Carovel::SampleType::kS24;
            return true;
        case CAROVEL_S32:
            out = _Carovel::SampleType::kS32;
            return true;
        case CAROVEL_F32:
            out = _Carovel::SampleType::kF32;
            return true;
    }
    return false;
}

// A C format as the C++ calls take it: CAROVEL_OK, or
// CAROVEL_UNSUPPORTED_FORMAT for a type outside the enumeration or a rate
// above CAROVEL_MAX_RATE. A rate of 0 or no channels is left to the C++
// calls, which refuse them as bad arguments.
int ToCpp(const carovel_format& in, _Carovel::AudioFormat& out) {
    if (!ToSampleType(in.type, out.type) || in.rate > _Carovel::kMaxSamplesPerSec) {
        return CAROVEL_UNSUPPORTED_FORMAT;
    }
    out.samplesPerSec = in.rate;
    out.channels = in.channels;
    return CAROVEL_OK;
}

// A CAROVEL_RESAMPLER_ value as the C++ calls take it; false for others.
bool ToResampler(int in, _Carovel::Resampler& out) {
    switch (in) {
        case CAROVEL_RESAMPLER_LOW_LATENCY:
            out = _Carovel::Resampler::kLowLatency;
            return true;
        case CAROVEL_RESAMPLER_FAST:
            out = _Carovel::Resampler::kFast;
            return true;
        default:
            return false;
    }
}

// Runs body, turning what it throws into a status (out of memory for
// std::bad_alloc).
template <typename Body>
int Guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return CAROVEL_OUT_OF_MEMORY;
    } catch (...) {
        return CAROVEL_INTERNAL_ERROR;
    }
}

}  // namespace

// What one open call hands to the mixer as its callbacks' context. A session
// outlives every callback that uses it: it is freed only after the next
// successful open (which waits for a callback an earlier close left running)
// or with the mixer.
struct CApiSession {
    carovel_mix_fn fn = nullptr;
    void* user = nullptr;
    carovel_minus_fn minusFn = nullptr;
    void* minusUser = nullptr;
};

struct carovel_mixer {
    // Declared before the mixer, so destroyed after it: the mixer's
    // destructor waits for the output thread, whose callbacks read it.
    std::unique_ptr<CApiSession> session;
    CMixer mixer;
    std::atomic<int> lastStatus{CAROVEL_OK};
    // The mix-minus settings for the next open.
    carovel_minus_fn minusFn = nullptr;
    void* minusUser = nullptr;

    int Record(int status) {
        lastStatus.store(status, std::memory_order_relaxed);
        return status;
    }
    int Result(bool ok) { return Record(ok ? CAROVEL_OK : Code(mixer.LastStatus())); }
};

struct carovel_frame_mixer {
    CWaveMix mix;
    std::atomic<int> lastStatus{CAROVEL_OK};
    // The mix-minus outputs' storage, reused from pass to pass by the call
    // that holds minusBusy; a call finding it taken (another thread's pass,
    // or a pass from inside an output callback) uses storage of its own.
    CMixMinusFrames minus;
    std::atomic<bool> minusBusy{false};

    int Record(int status) {
        lastStatus.store(status, std::memory_order_relaxed);
        return status;
    }
};

struct carovel_converter {
    CWaveConvert convert;
    int lastStatus = CAROVEL_OK;

    int Record(int status) {
        lastStatus = status;
        return status;
    }
};

namespace {

void MixTrampoline(char* master, unsigned int masterLen, char* mix, unsigned int mixLen,
                   void* context, void* tag) {
    const CApiSession* session = static_cast<const CApiSession*>(context);
    session->fn(master, masterLen, mix, mixLen, session->user, tag);
}

void MinusTrampoline(long source, char* frame, unsigned int len, void* context) {
    const CApiSession* session = static_cast<const CApiSession*>(context);
    if (session->minusFn != nullptr) {
        session->minusFn(source, frame, len, session->minusUser);
    }
}

int OpenMixer(carovel_mixer* m, const carovel_format* mix, size_t frameBytes, carovel_mix_fn fn,
              void* user, bool manual) {
    if (m == nullptr) {
        return CAROVEL_BAD_ARGUMENT;
    }
    return m->Record(Guarded([&]() -> int {
        if (mix == nullptr || fn == nullptr || frameBytes == 0 || frameBytes > kMaxFrameBytes) {
            return CAROVEL_BAD_ARGUMENT;
        }
        _Carovel::AudioFormat format;
        if (const int status = ToCpp(*mix, format); status != CAROVEL_OK) {
            return status;
        }
        auto session = std::make_unique<CApiSession>();
        session->fn = fn;
        session->user = user;
        session->minusFn = m->minusFn;
        session->minusUser = m->minusUser;
        const auto frame = static_cast<unsigned long>(frameBytes);
        const bool ok = manual ? m->mixer.OpenManual(format, frame, MixTrampoline, session.get())
                               : m->mixer.Open(format, frame, MixTrampoline, session.get());
        if (!ok) {
            return Code(m->mixer.LastStatus());
        }
        // The open waited for any callback of the previous session.
        m->session = std::move(session);
        return CAROVEL_OK;
    }));
}

void CopyStats(const _Carovel::SourceStats& in, carovel_source_stats& out) {
    out.source = in.sourceId;
    out.backlog_frames = in.backlogFrames;
    out.backlog_ms = in.backlogMs;
    out.frames_mixed = in.framesMixed;
    out.frames_cut = in.framesCut;
    out.dropouts = in.dropouts;
    out.trim_ppm = in.trimPpm;
    out.has_level = in.hasLevel ? 1 : 0;
    out.rms_dbfs = in.rmsDbfs;
    out.peak_dbfs = in.peakDbfs;
    out.clipped_samples = in.clippedSamples;
}

void CopyStats(const _Carovel::MixerStats& in, carovel_mixer_stats& out) {
    out.callback_exceptions = in.callbackExceptions;
    out.sources = in.sources;
    out.live_mode = in.liveMode ? 1 : 0;
    out.target_ms = in.targetMs;
    out.max_ms = in.maxMs;
    out.master_timeout_ms = in.masterTimeoutMs;
    out.catch_up_passes = in.catchUpPasses;
    out.passes_without_master = in.passesWithoutMaster;
    out.live_passes = in.livePasses;
    out.live_control_us_per_pass = in.liveControlUsPerPass;
    out.live_trim_us_per_pass = in.liveTrimUsPerPass;
}

// The most sources the statistics copy without allocating.
constexpr size_t kStackStats = 64;

unsigned long ClampToULong(size_t n) {
    return n > std::numeric_limits<unsigned long>::max() ? std::numeric_limits<unsigned long>::max()
                                                         : static_cast<unsigned long>(n);
}

// The checks shared by the sample utilities: the type, then the buffer.
int CheckSamples(const void* buf, size_t len, carovel_sample_type type) {
    if (BitsOf(type) == 0) {
        return CAROVEL_UNSUPPORTED_FORMAT;
    }
    if ((buf == nullptr && len > 0) || len > static_cast<size_t>(INT_MAX)) {
        return CAROVEL_BAD_ARGUMENT;
    }
    return CAROVEL_OK;
}

int ClampToInt(size_t n) {
    return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

}  // namespace

extern "C" {

const char* carovel_status_text(int status) {
    switch (status) {
        case CAROVEL_NO_SUCH_SOURCE:
            return "the mixer has no such source";
        case CAROVEL_INTERNAL_ERROR:
            return "unexpected internal error";
        default:
            break;
    }
    if (status < CAROVEL_OK || status > CAROVEL_NOT_HOST_DRIVEN) {
        return "unknown status";
    }
    return _Carovel::StatusText(static_cast<Status>(status));
}

const char* carovel_version_string(void) {
    return _Carovel::GetVersionString();
}

unsigned carovel_version_number(void) {
    return _Carovel::GetVersionNumber();
}

// ---- Mixer

carovel_mixer* carovel_mixer_create(void) {
    try {
        return new carovel_mixer;
    } catch (...) {
        return nullptr;
    }
}

void carovel_mixer_destroy(carovel_mixer* m) {
    try {
        delete m;
    } catch (...) {
        // The destructors below do not throw; nothing to report to.
    }
}

int carovel_mixer_open(carovel_mixer* m, const carovel_format* mix, size_t frame_bytes,
                       carovel_mix_fn fn, void* user) {
    return OpenMixer(m, mix, frame_bytes, fn, user, false);
}

int carovel_mixer_open_manual(carovel_mixer* m, const carovel_format* mix, size_t frame_bytes,
                              carovel_mix_fn fn, void* user) {
    return OpenMixer(m, mix, frame_bytes, fn, user, true);
}

int carovel_mixer_add(carovel_mixer* m, long source, const void* data, size_t len,
                      const carovel_format* fmt, void* tag) {
    if (m == nullptr) {
        return CAROVEL_BAD_ARGUMENT;
    }
    return m->Record(Guarded([&]() -> int {
        if (fmt == nullptr || len > static_cast<size_t>(INT_MAX) || (data == nullptr && len > 0)) {
            return CAROVEL_BAD_ARGUMENT;
        }
        _Carovel::AudioFormat format;
        if (const int status = ToCpp(*fmt, format); status != CAROVEL_OK) {
            return status;
        }
        const bool ok = m->mixer.AddFrame(source, static_cast<const char*>(data),
                                          static_cast<int>(len), format, tag);
        return ok ? CAROVEL_OK : Code(m->mixer.LastStatus());
    }));
}

int carovel_mixer_flush_source(carovel_mixer* m, long source, void* tag) {
    if (m == nullptr) {
        return CAROVEL_BAD_ARGUMENT;
    }
    return m->Record(
        Guarded([&]() -> int { return m->Result(m->mixer.FlushSource(source, tag)); }));
}

int carovel_mixer_mix_pending(carovel_mixer* m, int max_passes) {
    if (m == nullptr) {
        return 0;
    }
    int passes = 0;
    m->Record(Guarded([&]() -> int {
        passes = m->mixer.MixPending(max_passes);
        return Code(m->mixer.LastStatus());
    }));
    return passes;
}

void carovel_mixer_clear(carovel_mixer* m) {
    if (m != nullptr) {
        Guarded([&]() -> int {
            m->mixer.ClearTraceData();
            return CAROVEL_OK;
        });
    }
}

void carovel_mixer_notify(carovel_mixer* m) {
    if (m != nullptr) {
        Guarded([&]() -> int {
            m->mixer.NotifyToMixe();
            return CAROVEL_OK;
        });
    }
}

void carovel_mixer_close(carovel_mixer* m) {
    if (m != nullptr) {
        Guarded([&]() -> int {
            m->mixer.Close();
            return CAROVEL_OK;
        });
    }
}

int carovel_mixer_is_open(const carovel_mixer* m) {
    return m != nullptr && m->mixer.IsRun() ? 1 : 0;
}

int carovel_mixer_last_status(const carovel_mixer* m) {
    return m == nullptr ? CAROVEL_BAD_ARGUMENT : m->lastStatus.load(std::memory_order_relaxed);
}

int carovel_mixer_set_mix_minus(carovel_mixer* m, carovel_minus_fn fn, void* user,
                                int include_idle) {
    if (m == nullptr) {
        return CAROVEL_BAD_ARGUMENT;
    }
    return m->Record(Guarded([&]() -> int {
        // The trampoline is set whatever fn is, so that a null fn turns the
        // outputs off in the mixer rather than computing them for nobody.
        const bool ok = m->mixer.SetMixMinusCallback(fn != nullptr ? MinusTrampoline : nullptr,
                                                     include_idle != 0);
        if (!ok) {
            return Code(m->mixer.LastStatus());
        }
        m->minusFn = fn;
        m->minusUser = user;
        return CAROVEL_OK;
    }));
}

int carovel_mixer_set_limiter(carovel_mixer* m, int enabled, float threshold_dbfs,
                              float release_ms) {
    if (m == nullptr) {
        return CAROVEL_BAD_ARGUMENT;
    }
    return m->Record(Guarded(
        [&] { return m->Result(m->mixer.SetLimiter(enabled != 0, threshold_dbfs, release_ms)); }));
}

int carovel_mixer_set_source_gain(carovel_mixer* m, long source, float gain) {
    if (m == nullptr) {
        return CAROVEL_BAD_ARGUMENT;
    }
    return m->Record(Guarded([&]() -> int {
        // The mixer's own status may be another thread's by now: the gain's
        // checks are repeated here for the code.
        if (m->mixer.SetSourceGain(source, gain)) {
            return CAROVEL_OK;
        }
        if (!m->mixer.IsRun()) {
            return CAROVEL_NOT_OPEN;
        }
        if (!(gain >= 0.0f && gain <= 16.0f)) {
            return CAROVEL_BAD_ARGUMENT;
        }
        return CAROVEL_OUT_OF_MEMORY;
    }));
}

int carovel_mixer_set_live_mode(carovel_mixer* m, unsigned target_ms, unsigned max_ms,
                                unsigned master_timeout_ms) {
    if (m == nullptr) {
        return CAROVEL_BAD_ARGUMENT;
    }
    return m->Record(Guarded([&]() -> int {
        return m->Result(m->mixer.SetLiveMode(target_ms, max_ms, master_timeout_ms));
    }));
}

int carovel_mixer_set_resampler(carovel_mixer* m, int resampler) {
    if (m == nullptr) {
        return CAROVEL_BAD_ARGUMENT;
    }
    return m->Record(Guarded([&]() -> int {
        _Carovel::Resampler kind;
        if (!ToResampler(resampler, kind)) {
            return CAROVEL_BAD_ARGUMENT;
        }
        return m->Result(m->mixer.SetResampler(kind));
    }));
}

int carovel_mixer_get_source_stats(const carovel_mixer* m, long source, carovel_source_stats* out) {
    if (m == nullptr || out == nullptr) {
        return CAROVEL_BAD_ARGUMENT;
    }
    return Guarded([&]() -> int {
        _Carovel::SourceStats stats;
        if (!m->mixer.GetSourceStats(source, stats)) {
            return CAROVEL_NO_SUCH_SOURCE;
        }
        CopyStats(stats, *out);
        return CAROVEL_OK;
    });
}

size_t carovel_mixer_get_all_source_stats(const carovel_mixer* m, carovel_source_stats* out,
                                          size_t capacity, carovel_mixer_stats* mixer) {
    if (m == nullptr) {
        return 0;
    }
    if (out == nullptr) {
        capacity = 0;
    }
    size_t count = 0;
    Guarded([&]() -> int {
        // On the stack first; the heap only for more sources than it holds,
        // and only as many as there are (a large capacity asks for nothing).
        _Carovel::SourceStats onStack[kStackStats];
        const size_t stackRoom = capacity < kStackStats ? capacity : kStackStats;
        _Carovel::MixerStats whole;
        count = m->mixer.GetAllSourceStats(stackRoom > 0 ? onStack : nullptr,
                                           static_cast<unsigned>(stackRoom), &whole);
        for (size_t i = 0; i < count && i < stackRoom; ++i) {
            CopyStats(onStack[i], out[i]);
        }
        if (mixer != nullptr) {
            CopyStats(whole, *mixer);
        }
        if (count > stackRoom && capacity > stackRoom) {
            const size_t limit = std::numeric_limits<unsigned>::max();
            std::vector<_Carovel::SourceStats> onHeap(std::min({capacity, count, limit}));
            count = m->mixer.GetAllSourceStats(onHeap.data(), static_cast<unsigned>(onHeap.size()),
                                               &whole);
            for (size_t i = 0; i < count && i < onHeap.size(); ++i) {
                CopyStats(onHeap[i], out[i]);
            }
            if (mixer != nullptr) {
                CopyStats(whole, *mixer);
            }
        }
        return CAROVEL_OK;
    });
    return count;
}

// ---- Frame mixer

carovel_frame_mixer* carovel_frame_mixer_create(carovel_sample_type type) {
    _Carovel::SampleType cppType;
    if (!ToSampleType(type, cppType)) {
        return nullptr;
    }
    try {
        auto* w = new carovel_frame_mixer;
        w->mix.Init(cppType);
        return w;
    } catch (...) {
        return nullptr;
    }
}

void carovel_frame_mixer_destroy(carovel_frame_mixer* w) {
    try {
        delete w;
    } catch (...) {
        // The destructors below do not throw; nothing to report to.
    }
}

int carovel_frame_mixer_init(carovel_frame_mixer* w, carovel_sample_type type) {
    if (w == nullptr) {
        return CAROVEL_BAD_ARGUMENT;
    }
    return w->Record(Guarded([&]() -> int {
        _Carovel::SampleType cppType;
        if (!ToSampleType(type, cppType)) {
            return CAROVEL_UNSUPPORTED_FORMAT;
        }
        w->mix.Init(cppType);
        return CAROVEL_OK;
    }));
}

void carovel_frame_mixer_clear(carovel_frame_mixer* w) {
    if (w != nullptr) {
        Guarded([&]() -> int {
            w->mix.ClearBuffs();
            return CAROVEL_OK;
        });
    }
}

int carovel_frame_mixer_add(carovel_frame_mixer* w, long source, const void* data, size_t len,
                            void* tag) {
    if (w == nullptr) {
        return CAROVEL_BAD_ARGUMENT;
    }
    return w->Record(Guarded([&]() -> int {
        if (len > static_cast<size_t>(INT_MAX) || (data == nullptr && len > 0)) {
            return CAROVEL_BAD_ARGUMENT;
        }
        // Any thread may call the frame mixer at any time, so its shared
        // status may be another call's by now: with the arguments checked
        // here, a refusal can only be for memory.
        return w->mix.AddFrame(source, static_cast<const char*>(data), static_cast<int>(len), tag)
                   ? CAROVEL_OK
                   : CAROVEL_OUT_OF_MEMORY;
    }));
}

int carovel_frame_mixer_set_gain(carovel_frame_mixer* w, long source, float gain) {
    if (w == nullptr) {
        return CAROVEL_BAD_ARGUMENT;
    }
    return w->Record(Guarded([&]() -> int {
        if (!(gain >= 0.0f && gain <= 16.0f)) {
            return CAROVEL_BAD_ARGUMENT;  // NaN included
        }
        return w->mix.SetTrackGain(source, gain) ? CAROVEL_OK : CAROVEL_OUT_OF_MEMORY;
    }));
}

int carovel_frame_mixer_set_limiter(carovel_frame_mixer* w, int enabled, uint16_t channels,
                                    uint32_t rate, float threshold_dbfs, float release_ms) {
    if (w == nullptr) {
        return CAROVEL_BAD_ARGUMENT;
    }
    return w->Record(Guarded([&]() -> int {
        _Carovel::LimiterSettings settings;
        settings.channels = channels;
        settings.samplesPerSec = rate;
        settings.thresholdDbfs = threshold_dbfs;
        settings.releaseMs = release_ms;
        return w->mix.SetLimiter(enabled != 0, settings) ? CAROVEL_OK : CAROVEL_BAD_ARGUMENT;
    }));
}

int carovel_frame_mixer_mix(carovel_frame_mixer* w, void* master, size_t* master_len, void* mix,
                            size_t* mix_len, void** tag) {
    if (w == nullptr || master_len == nullptr || mix_len == nullptr) {
        return 0;
    }
    int took = 0;
    Guarded([&]() -> int {
        int masterBytes = master != nullptr ? ClampToInt(*master_len) : 0;
        int mixBytes = mix != nullptr ? ClampToInt(*mix_len) : 0;
        void* masterTag = nullptr;
        // A pass writes the master frame whenever it takes frames, so the
        // tag pointer tells whether it did.
        void* const unset = &masterTag;
        masterTag = unset;
        w->mix.GetMixedFrame(static_cast<char*>(master), masterBytes, static_cast<char*>(mix),
                             mixBytes, &masterTag);
        took = masterTag != unset ? 1 : 0;
        *master_len = static_cast<size_t>(masterBytes);
        *mix_len = static_cast<size_t>(mixBytes);
        if (tag != nullptr && took) {
            *tag = masterTag;
        }
        return CAROVEL_OK;
    });
    return took;
}

int carovel_frame_mixer_mix_minus(carovel_frame_mixer* w, void* master, size_t* master_len,
                                  void* mix, size_t* mix_len, void** tag, int include_idle,
                                  carovel_frame_minus_fn fn, void* user) {
    if (w == nullptr) {
        return CAROVEL_BAD_ARGUMENT;
    }
    return w->Record(Guarded([&]() -> int {
        if (master_len == nullptr || mix_len == nullptr || fn == nullptr ||
            *master_len > static_cast<size_t>(INT_MAX) || *mix_len > static_cast<size_t>(INT_MAX)) {
            return CAROVEL_BAD_ARGUMENT;
        }
        std::unique_ptr<CMixMinusFrames> own;
        CMixMinusFrames* outputs = &w->minus;
        const bool shared = !w->minusBusy.exchange(true, std::memory_order_acquire);
        if (!shared) {
            own = std::make_unique<CMixMinusFrames>();
            outputs = own.get();
        }
        struct Release {
            carovel_frame_mixer* w;
            bool shared;
            ~Release() {
                if (shared) {
                    w->minusBusy.store(false, std::memory_order_release);
                }
            }
        } release{w, shared};
        outputs->SetIncludeIdle(include_idle != 0);
        int masterBytes = master != nullptr ? static_cast<int>(*master_len) : 0;
        int mixBytes = mix != nullptr ? static_cast<int>(*mix_len) : 0;
        void* masterTag = nullptr;
        // As in carovel_frame_mixer_mix: the tag is written only by a pass
        // that takes frames.
        void* const unset = &masterTag;
        masterTag = unset;
        w->mix.GetMixedFrame(static_cast<char*>(master), masterBytes, static_cast<char*>(mix),
                             mixBytes, &masterTag, *outputs);
        *master_len = static_cast<size_t>(masterBytes);
        *mix_len = static_cast<size_t>(mixBytes);
        if (tag != nullptr && masterTag != unset) {
            *tag = masterTag;
        }
        if (outputs->LastStatus() != Status::kOk) {
            return Code(outputs->LastStatus());
        }
        const int count = outputs->Count();
        for (int i = 0; i < count; ++i) {
            fn(outputs->TrackID(i), outputs->Data(i), static_cast<size_t>(outputs->Length(i)),
               outputs->HadFrame(i) ? 1 : 0, user);
        }
        return CAROVEL_OK;
    }));
}

int carovel_frame_mixer_last_status(const carovel_frame_mixer* w) {
    return w == nullptr ? CAROVEL_BAD_ARGUMENT : w->lastStatus.load(std::memory_order_relaxed);
}

// ---- Sample utilities

int carovel_change_volume(void* buf, size_t len, carovel_sample_type type, float factor) {
    return Guarded([&]() -> int {
        if (const int status = CheckSamples(buf, len, type); status != CAROVEL_OK) {
            return status;
        }
        if (len > 0) {
            CMixer::ChangeVolume(static_cast<char*>(buf), static_cast<unsigned int>(len),
                                 BitsOf(type) / 8, factor);
        }
        return CAROVEL_OK;
    });
}

int carovel_copy_channel(void* buf, size_t len, carovel_sample_type type, int channel) {
    return Guarded([&]() -> int {
        if (const int status = CheckSamples(buf, len, type); status != CAROVEL_OK) {
            return status;
        }
        if (channel != CAROVEL_CHANNEL_LEFT && channel != CAROVEL_CHANNEL_RIGHT) {
            return CAROVEL_BAD_ARGUMENT;
        }
        if (len > 0) {
            CMixer::CopyChannel(static_cast<char*>(buf), static_cast<unsigned int>(len),
                                BitsOf(type) / 8,
                                channel == CAROVEL_CHANNEL_LEFT ? CH_LEFT : CH_RIGHT);
        }
        return CAROVEL_OK;
    });
}

// ---- Converter

carovel_converter* carovel_converter_create(void) {
    try {
        return new carovel_converter;
    } catch (...) {
        return nullptr;
    }
}

void carovel_converter_destroy(carovel_converter* c) {
    try {
        delete c;
    } catch (...) {
        // The destructors below do not throw; nothing to report to.
    }
}

int carovel_converter_open(carovel_converter* c, const carovel_format* from,
                           const carovel_format* to) {
    return carovel_converter_open_with(c, from, to, CAROVEL_RESAMPLER_LOW_LATENCY);
}

int carovel_converter_open_with(carovel_converter* c, const carovel_format* from,
                                const carovel_format* to, int resampler) {
    if (c == nullptr) {
        return CAROVEL_BAD_ARGUMENT;
    }
    return c->Record(Guarded([&]() -> int {
        _Carovel::Resampler kind;
        if (from == nullptr || to == nullptr || !ToResampler(resampler, kind)) {
            c->convert.Close();
            return CAROVEL_BAD_ARGUMENT;
        }
        _Carovel::AudioFormat src;
        _Carovel::AudioFormat dst;
        if (ToCpp(*from, src) != CAROVEL_OK || ToCpp(*to, dst) != CAROVEL_OK) {
            c->convert.Close();
            return CAROVEL_UNSUPPORTED_FORMAT;
        }
        if (!c->convert.Open(src, dst, kind)) {
            return Code(c->convert.LastStatus());
        }
        return CAROVEL_OK;
    }));
}

void carovel_converter_close(carovel_converter* c) {
    if (c != nullptr) {
        Guarded([&]() -> int {
            c->convert.Close();
            return CAROVEL_OK;
        });
    }
}

int carovel_converter_convert(carovel_converter* c, const void* src, size_t* src_len, void* dst,
                              size_t* dst_len) {
    if (c == nullptr) {
        return CAROVEL_BAD_ARGUMENT;
    }
    return c->Record(Guarded([&]() -> int {
        if (src_len == nullptr || dst_len == nullptr) {
            return CAROVEL_BAD_ARGUMENT;
        }
        // A step may use less than it is offered, so offering at most what
        // the C++ lengths hold loses nothing.
        unsigned long srcBytes = ClampToULong(*src_len);
        unsigned long dstBytes = ClampToULong(*dst_len);
        if (!c->convert.Convert(static_cast<const unsigned char*>(src), srcBytes,
                                static_cast<unsigned char*>(dst), dstBytes)) {
            return Code(c->convert.LastStatus());
        }
        *src_len = srcBytes;
        *dst_len = dstBytes;
        return CAROVEL_OK;
    }));
}

int carovel_converter_flush(carovel_converter* c, void* dst, size_t* dst_len) {
    if (c == nullptr) {
        return CAROVEL_BAD_ARGUMENT;
    }
    return c->Record(Guarded([&]() -> int {
        if (dst_len == nullptr) {
            return CAROVEL_BAD_ARGUMENT;
        }
        unsigned long dstBytes = ClampToULong(*dst_len);
        if (!c->convert.Flush(static_cast<unsigned char*>(dst), dstBytes)) {
            return Code(c->convert.LastStatus());
        }
        *dst_len = dstBytes;
        return CAROVEL_OK;
    }));
}

size_t carovel_converter_pending(const carovel_converter* c) {
    if (c == nullptr) {
        return 0;
    }
    return c->convert.PendingBytes();
}

int carovel_converter_last_status(const carovel_converter* c) {
    return c == nullptr ? CAROVEL_BAD_ARGUMENT : c->lastStatus;
}

}  // extern "C"
