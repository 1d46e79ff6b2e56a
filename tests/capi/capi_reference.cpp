// The C test's reference: the scenario run through the C++ classes, logged
// exactly as the C test logs its run through the C interface.
#include <carovel/mixer.h>
#include <carovel/wave_convert.h>

#include <vector>

#include "capi_scenario.h"

namespace {

using _Carovel::CMixer;
using _Carovel::CWaveConvert;

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
