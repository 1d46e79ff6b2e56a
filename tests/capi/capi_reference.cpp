// The C test's reference: the scenario run through the C++ classes, logged
// exactly as the C test logs its run through the C interface; and the C
// interface's frame mixer driven from two threads at once (C99 has none).
#include <carovel/mixer.h>
#include <carovel/wave_convert.h>
#include <carovel/wave_mix.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "capi_scenario.h"

namespace {

using _Carovel::CMixer;
using _Carovel::CMixMinusFrames;
using _Carovel::CWaveConvert;
using _Carovel::CWaveMix;

unsigned short Bits(carovel_sample_type type) {
    switch (type) {
        case CAROVEL_U8:
            return 8;
        case CAROVEL_S16:
            return 16;
        case CAROVEL_S24:
            return 24;
        default:
            return 32;
    }
}

void OnMix(char* master, unsigned int masterLen, char* mix, unsigned int mixLen, void* user,
           void* tag) {
    capi_log_mix(static_cast<capi_log*>(user), master, masterLen, mix, mixLen, tag);
}

void OnMinus(long source, char* frame, unsigned int len, void* user) {
    capi_log_minus(static_cast<capi_log*>(user), source, frame, len);
}

void LogStatus(capi_log* log, bool ok, const CMixer& mixer) {
    const unsigned char r = 'R';
    capi_log_put(log, &r, 1);
    capi_log_u64(log, ok ? 0u : static_cast<std::uint64_t>(mixer.LastStatus()));
}

_Carovel::Resampler ResamplerOf(int resampler) {
    return resampler == CAROVEL_RESAMPLER_FAST ? _Carovel::Resampler::kFast
                                               : _Carovel::Resampler::kLowLatency;
}

}  // namespace

extern "C" int capi_reference_run(const capi_scenario* s, capi_log* log) {
    CMixer mixer;
    if (s->mix_minus) {
        mixer.SetMixMinusCallback(OnMinus, s->include_idle != 0);
    }
    if (s->limiter) {
        mixer.SetLimiter(true, s->limiter_threshold_dbfs, 100.0f);
    }
    if (!mixer.SetResampler(ResamplerOf(s->resampler))) {
        return -1;
    }
    if (!mixer.OpenManual(s->mix.channels, static_cast<unsigned short>(s->mix.rate),
                          Bits(s->mix.type), static_cast<unsigned short>(s->frame_bytes), OnMix,
                          log)) {
        return -1;
    }
    for (std::size_t i = 0; i < s->count; ++i) {
        const capi_op& op = s->ops[i];
        switch (op.kind) {
            case CAPI_ADD:
                LogStatus(log,
                          mixer.AddFrame(op.source, reinterpret_cast<const char*>(op.data),
                                         static_cast<int>(op.len), op.fmt.channels,
                                         static_cast<unsigned short>(op.fmt.rate),
                                         Bits(op.fmt.type), op.tag),
                          mixer);
                break;
            case CAPI_FLUSH:
                LogStatus(log, mixer.FlushSource(op.source, op.tag), mixer);
                break;
            case CAPI_GAIN:
                LogStatus(log, mixer.SetSourceGain(op.source, op.gain), mixer);
                break;
            case CAPI_MIX: {
                const int passes = mixer.MixPending(op.max_passes);
                LogStatus(log, mixer.LastStatus() == _Carovel::Status::kOk, mixer);
                capi_log_u64(log, static_cast<std::uint64_t>(passes));
                break;
            }
        }
    }
    std::vector<_Carovel::SourceStats> stats(16);
    const unsigned n = mixer.GetAllSourceStats(stats.data(), 16);
    for (unsigned i = 0; i < n && i < 16; ++i) {
        const _Carovel::SourceStats& st = stats[i];
        capi_log_source(log, st.sourceId, st.backlogFrames, st.backlogMs, st.framesMixed,
                        st.dropouts, st.hasLevel ? 1 : 0, st.rmsDbfs, st.peakDbfs);
    }
    mixer.Close();
    return 0;
}

extern "C" int capi_reference_convert(const carovel_format* from, const carovel_format* to,
                                      int resampler, const unsigned char* src, size_t len,
                                      size_t step, size_t room, capi_log* log) {
    CWaveConvert convert;
    if (!convert.Open(from->channels, static_cast<unsigned short>(from->rate), Bits(from->type),
                      to->channels, static_cast<unsigned short>(to->rate), Bits(to->type),
                      ResamplerOf(resampler))) {
        return -1;
    }
    std::vector<unsigned char> out(room);
    std::size_t at = 0;
    for (;;) {
        const std::size_t offer = len - at < step ? len - at : step;
        unsigned long used = static_cast<unsigned long>(offer);
        unsigned long wrote = static_cast<unsigned long>(room);
        if (!convert.Convert(src + at, used, out.data(), wrote)) {
            return -1;
        }
        capi_log_put(log, out.data(), wrote);
        at += used;
        if (used == 0 && wrote == 0) {
            break;
        }
    }
    for (;;) {
        unsigned long wrote = static_cast<unsigned long>(room);
        if (!convert.Flush(out.data(), wrote)) {
            return -1;
        }
        capi_log_put(log, out.data(), wrote);
        if (wrote == 0) {
            break;
        }
    }
    return 0;
}

extern "C" int capi_reference_frame_minus(carovel_sample_type type, const capi_frame_op* ops,
                                          size_t count, capi_log* log) {
    CWaveMix mix;
    mix.Init(static_cast<unsigned short>(Bits(type) / 8));
    CMixMinusFrames minus;
    for (std::size_t i = 0; i < count; ++i) {
        const capi_frame_op& op = ops[i];
        const unsigned char r = 'R';
        switch (op.kind) {
            case CAPI_FRAME_ADD: {
                const bool ok = mix.AddFrame(op.source, reinterpret_cast<const char*>(op.data),
                                             static_cast<int>(op.len), op.tag);
                capi_log_put(log, &r, 1);
                capi_log_u64(log, ok ? 0u : static_cast<std::uint64_t>(mix.LastStatus()));
                break;
            }
            case CAPI_FRAME_GAIN: {
                const bool ok = mix.SetTrackGain(op.source, op.gain);
                capi_log_put(log, &r, 1);
                capi_log_u64(log, ok ? 0u : static_cast<std::uint64_t>(mix.LastStatus()));
                break;
            }
            case CAPI_FRAME_LIMITER: {
                _Carovel::LimiterSettings settings;
                settings.channels = 2;
                settings.samplesPerSec = 16000;
                settings.thresholdDbfs = -6.0f;
                settings.releaseMs = 20.0f;
                const bool ok = mix.SetLimiter(op.enabled != 0, settings);
                capi_log_put(log, &r, 1);
                capi_log_u64(log, ok ? 0u : static_cast<std::uint64_t>(mix.LastStatus()));
                break;
            }
            case CAPI_FRAME_PASS: {
                std::vector<char> master(op.master_room + 1);
                std::vector<char> out(op.mix_room + 1);
                int masterLen = static_cast<int>(op.master_room);
                int mixLen = static_cast<int>(op.mix_room);
                void* tag = nullptr;
                minus.SetIncludeIdle(op.include_idle != 0);
                mix.GetMixedFrame(master.data(), masterLen, out.data(), mixLen, &tag, minus);
                capi_log_pass(log, static_cast<int>(minus.LastStatus()), master.data(),
                              static_cast<size_t>(masterLen), out.data(),
                              static_cast<size_t>(mixLen), tag);
                for (int k = 0; k < minus.Count(); ++k) {
                    capi_log_output(log, minus.TrackID(k), minus.HadFrame(k) ? 1 : 0, minus.Data(k),
                                    static_cast<size_t>(minus.Length(k)));
                }
                break;
            }
        }
    }
    return log->failed ? -1 : 0;
}

extern "C" void capi_reference_change_volume(void* buf, size_t len, int bytes_per_sample,
                                             float factor) {
    CMixer::ChangeVolume(static_cast<char*>(buf), static_cast<unsigned int>(len), bytes_per_sample,
                         factor);
}

extern "C" void capi_reference_copy_channel(void* buf, size_t len, int bytes_per_sample,
                                            int channel) {
    CMixer::CopyChannel(static_cast<char*>(buf), static_cast<unsigned int>(len), bytes_per_sample,
                        channel == 0 ? CH_LEFT : CH_RIGHT);
}

namespace {

// One pass's outputs as its callback received them.
struct PassOutputs {
    std::vector<long> sources;
    std::vector<int> hadFrame;
    std::vector<std::vector<unsigned char>> frames;
};

void CollectOutput(long source, const void* frame, size_t len, int had_frame, void* user) {
    auto* outputs = static_cast<PassOutputs*>(user);
    const auto* bytes = static_cast<const unsigned char*>(frame);
    outputs->sources.push_back(source);
    outputs->hadFrame.push_back(had_frame);
    outputs->frames.emplace_back(bytes, bytes + len);
}

std::int16_t Get16(const unsigned char* p) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
}

}  // namespace

extern "C" int capi_threaded_frame_minus(void) {
    constexpr int kPasses = 300;
    constexpr int kSamples = 32;
    carovel_frame_mixer* w = carovel_frame_mixer_create(CAROVEL_S16);
    if (w == nullptr) {
        return 1;
    }
    // Source s's frames hold the value 1, 10 or 100 throughout, so every
    // output of a pass must be its mix less the source's own value when it
    // had a frame, whichever frames the pass took.
    const std::int16_t values[3] = {100, 10, 1};
    std::atomic<int> failures{0};
    std::atomic<int> outputs{0};
    auto run = [&](long own) {
        std::vector<unsigned char> frame(2 * kSamples);
        unsigned char master[2 * kSamples];
        unsigned char mix[2 * kSamples];
        for (int pass = 0; pass < kPasses; ++pass) {
            for (long source : {0L, own}) {
                for (int i = 0; i < kSamples; ++i) {
                    frame[2 * i] = static_cast<unsigned char>(values[source] & 0xff);
                    frame[2 * i + 1] = static_cast<unsigned char>((values[source] >> 8) & 0xff);
                }
                if (carovel_frame_mixer_add(w, source, frame.data(), frame.size(), nullptr) !=
                    CAROVEL_OK) {
                    ++failures;
                }
            }
            PassOutputs got;
            size_t masterLen = sizeof master;
            size_t mixLen = sizeof mix;
            if (carovel_frame_mixer_mix_minus(w, master, &masterLen, mix, &mixLen, nullptr, 1,
                                              CollectOutput, &got) != CAROVEL_OK) {
                ++failures;
                continue;
            }
            outputs += static_cast<int>(got.sources.size());
            for (std::size_t k = 0; k < got.sources.size(); ++k) {
                const long source = got.sources[k];
                if (source < 0 || source > 2 || got.frames[k].size() != mixLen) {
                    ++failures;
                    continue;
                }
                const int own = got.hadFrame[k] ? values[source] : 0;
                for (std::size_t at = 0; at + 1 < mixLen; at += 2) {
                    if (Get16(got.frames[k].data() + at) != Get16(mix + at) - own) {
                        ++failures;
                        break;
                    }
                }
            }
        }
    };
    std::thread first(run, 1L);
    std::thread second(run, 2L);
    first.join();
    second.join();
    carovel_frame_mixer_destroy(w);
    // Some passes found frames and gave outputs.
    return failures.load() + (outputs.load() > kPasses ? 0 : 1);
}
