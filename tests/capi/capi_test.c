/* The C interface from C99: a mixing scenario run through carovel_c.h must
 * give exactly what the same calls on the C++ classes give (callbacks,
 * statuses, statistics); the frame mixer sums and clamps once; the converter
 * matches CWaveConvert; and every refusal gives its documented status.
 * Exit status 0 when all is right; otherwise it prints what was not. */
#include <carovel/carovel_c.h>
#include <limits.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "capi_scenario.h"

static int g_failures = 0;

#define CHECK(cond)                                                      \
    do {                                                                 \
        if (!(cond)) {                                                   \
            ++g_failures;                                                \
            printf("capi_test:%d: check failed: %s\n", __LINE__, #cond); \
        }                                                                \
    } while (0)

#define CHECK_STATUS(got, want)                                                          \
    do {                                                                                 \
        const int got_ = (got);                                                          \
        if (got_ != (want)) {                                                            \
            ++g_failures;                                                                \
            printf("capi_test:%d: %s gave %d (%s), expected %s\n", __LINE__, #got, got_, \
                   carovel_status_text(got_), #want);                                    \
        }                                                                                \
    } while (0)

/* ---- The log shared with capi_reference.cpp */

void capi_log_put(capi_log* log, const void* data, size_t len) {
    if (log->failed || len == 0) {
        return;
    }
    if (log->len + len > log->cap) {
        size_t cap = log->cap ? log->cap : 4096;
        unsigned char* grown;
        while (cap < log->len + len) {
            cap *= 2;
        }
        grown = (unsigned char*)realloc(log->bytes, cap);
        if (grown == NULL) {
            log->failed = 1;
            return;
        }
        log->bytes = grown;
        log->cap = cap;
    }
    memcpy(log->bytes + log->len, data, len);
    log->len += len;
}

void capi_log_u64(capi_log* log, uint64_t value) {
    capi_log_put(log, &value, sizeof value);
}

void capi_log_f64(capi_log* log, double value) {
    capi_log_put(log, &value, sizeof value);
}

void capi_log_mix(capi_log* log, const void* master, size_t master_len, const void* mix,
                  size_t mix_len, void* tag) {
    const unsigned char kind = 'M';
    capi_log_put(log, &kind, 1);
    capi_log_u64(log, master_len);
    capi_log_put(log, master, master_len);
    capi_log_u64(log, mix_len);
    capi_log_put(log, mix, mix_len);
    capi_log_u64(log, (uint64_t)(uintptr_t)tag);
}

void capi_log_minus(capi_log* log, long source, const void* frame, size_t len) {
    const unsigned char kind = 'N';
    capi_log_put(log, &kind, 1);
    capi_log_u64(log, (uint64_t)(int64_t)source);
    capi_log_u64(log, len);
    capi_log_put(log, frame, len);
}

void capi_log_source(capi_log* log, long source, uint64_t backlog_frames, double backlog_ms,
                     uint64_t frames_mixed, uint64_t dropouts, int has_level, double rms_dbfs,
                     double peak_dbfs) {
    const unsigned char kind = 'S';
    capi_log_put(log, &kind, 1);
    capi_log_u64(log, (uint64_t)(int64_t)source);
    capi_log_u64(log, backlog_frames);
    capi_log_f64(log, backlog_ms);
    capi_log_u64(log, frames_mixed);
    capi_log_u64(log, dropouts);
    capi_log_u64(log, (uint64_t)has_level);
    capi_log_f64(log, rms_dbfs);
    capi_log_f64(log, peak_dbfs);
}

void capi_log_pass(capi_log* log, int status, const void* master, size_t master_len,
                   const void* mix, size_t mix_len, void* tag) {
    const unsigned char kind = 'P';
    capi_log_put(log, &kind, 1);
    capi_log_u64(log, (uint64_t)status);
    capi_log_u64(log, master_len);
    capi_log_put(log, master, master_len);
    capi_log_u64(log, mix_len);
    capi_log_put(log, mix, mix_len);
    capi_log_u64(log, (uint64_t)(uintptr_t)tag);
}

void capi_log_output(capi_log* log, long source, int had_frame, const void* frame, size_t len) {
    const unsigned char kind = 'O';
    capi_log_put(log, &kind, 1);
    capi_log_u64(log, (uint64_t)(int64_t)source);
    capi_log_u64(log, (uint64_t)had_frame);
    capi_log_u64(log, len);
    capi_log_put(log, frame, len);
}

/* ---- The scenario through the C interface */

static void on_mix(const void* master, size_t master_len, const void* mix, size_t mix_len,
                   void* user, void* tag) {
    capi_log_mix((capi_log*)user, master, master_len, mix, mix_len, tag);
}

static void on_minus(long source, const void* frame, size_t len, void* user) {
    capi_log_minus((capi_log*)user, source, frame, len);
}

static void log_status(capi_log* log, int status) {
    const unsigned char kind = 'R';
    capi_log_put(log, &kind, 1);
    capi_log_u64(log, (uint64_t)status);
}

static int run_c(const capi_scenario* s, capi_log* log) {
    carovel_source_stats stats[16];
    carovel_mixer_stats whole;
    size_t i;
    size_t n;
    carovel_mixer* m = carovel_mixer_create();
    if (m == NULL) {
        return -1;
    }
    if (s->mix_minus) {
        CHECK_STATUS(carovel_mixer_set_mix_minus(m, on_minus, log, s->include_idle), CAROVEL_OK);
    }
    if (s->limiter) {
        CHECK_STATUS(carovel_mixer_set_limiter(m, 1, s->limiter_threshold_dbfs, 100.0f),
                     CAROVEL_OK);
    }
    CHECK_STATUS(carovel_mixer_set_resampler(m, s->resampler), CAROVEL_OK);
    if (carovel_mixer_open_manual(m, &s->mix, s->frame_bytes, on_mix, log) != CAROVEL_OK) {
        carovel_mixer_destroy(m);
        return -1;
    }
    CHECK(carovel_mixer_is_open(m) == 1);
    for (i = 0; i < s->count; ++i) {
        const capi_op* op = &s->ops[i];
        int status = CAROVEL_OK;
        int passes = 0;
        switch (op->kind) {
            case CAPI_ADD:
                status = carovel_mixer_add(m, op->source, op->data, op->len, &op->fmt, op->tag);
                break;
            case CAPI_FLUSH:
                status = carovel_mixer_flush_source(m, op->source, op->tag);
                break;
            case CAPI_GAIN:
                status = carovel_mixer_set_source_gain(m, op->source, op->gain);
                break;
            case CAPI_MIX:
                passes = carovel_mixer_mix_pending(m, op->max_passes);
                status = carovel_mixer_last_status(m);
                break;
        }
        CHECK(carovel_mixer_last_status(m) == status);
        log_status(log, status);
        if (op->kind == CAPI_MIX) {
            capi_log_u64(log, (uint64_t)passes);
        }
    }
    n = carovel_mixer_get_all_source_stats(m, stats, 16, &whole);
    CHECK(whole.sources == n);
    CHECK(whole.live_mode == 0);
    for (i = 0; i < n && i < 16; ++i) {
        carovel_source_stats one;
        const carovel_source_stats* st = &stats[i];
        capi_log_source(log, st->source, st->backlog_frames, st->backlog_ms, st->frames_mixed,
                        st->dropouts, st->has_level, st->rms_dbfs, st->peak_dbfs);
        CHECK_STATUS(carovel_mixer_get_source_stats(m, st->source, &one), CAROVEL_OK);
        CHECK(one.source == st->source && one.frames_mixed == st->frames_mixed);
    }
    carovel_mixer_close(m);
    CHECK(carovel_mixer_is_open(m) == 0);
    carovel_mixer_destroy(m);
    return 0;
}

/* ---- Test audio */

static uint32_t g_seed = 12345u;

static int next_random(int range) {
    g_seed = g_seed * 1664525u + 1013904223u;
    return (int)((g_seed >> 8) % (uint32_t)(2 * range + 1)) - range;
}

/* count samples of type, values within +-range (in the type's own units),
 * little-endian. The caller frees the block. */
static unsigned char* make_samples(carovel_sample_type type, size_t count, int range) {
    const size_t width = type == CAROVEL_U8    ? 1
                         : type == CAROVEL_S16 ? 2
                         : type == CAROVEL_S24 ? 3
                                               : 4;
    unsigned char* out = (unsigned char*)malloc(count * width);
    size_t i;
    size_t b;
    if (out == NULL) {
        return NULL;
    }
    for (i = 0; i < count; ++i) {
        const long v = type == CAROVEL_U8
                           ? 128 + next_random(range)
                           : (long)next_random(range) * (type == CAROVEL_S32 ? 65536 : 1);
        const uint32_t bits = (uint32_t)v;
        for (b = 0; b < width; ++b) {
            out[i * width + b] = (unsigned char)(bits >> (8 * b));
        }
    }
    return out;
}

static int g_tags[8];

/* Four sources in four formats, fed in uneven pieces, with a gain, a
 * failing call of each kind the C++ classes refuse, and passes between. */
static void scenario_test(int mix_minus, int limiter, int resampler) {
    const carovel_format mix = {16000, 2, CAROVEL_S16};
    const carovel_format u8_mono_8k = {8000, 1, CAROVEL_U8};
    const carovel_format s24_stereo = {16000, 2, CAROVEL_S24};
    const carovel_format s32_mono_22k = {22050, 1, CAROVEL_S32};
    const carovel_format no_channels = {8000, 0, CAROVEL_U8};
    unsigned char* master = make_samples(CAROVEL_S16, 2 * 2400, 20000);
    unsigned char* voice = make_samples(CAROVEL_U8, 1200, 100);
    unsigned char* music = make_samples(CAROVEL_S24, 2 * 2000, 4000000);
    unsigned char* noise = make_samples(CAROVEL_S32, 3000, 15000);
    capi_op ops[24];
    size_t n = 0;
    capi_scenario s;
    capi_log c_log = {NULL, 0, 0, 0};
    capi_log cpp_log = {NULL, 0, 0, 0};
    memset(ops, 0, sizeof ops);
    if (master == NULL || voice == NULL || music == NULL || noise == NULL) {
        CHECK(!"out of memory");
        free(master);
        free(voice);
        free(music);
        free(noise);
        return;
    }
#define ADD(src, bytes, length, format, tagp)                                                     \
    (ops[n].kind = CAPI_ADD, ops[n].source = (src), ops[n].data = (bytes), ops[n].len = (length), \
     ops[n].fmt = (format), ops[n].tag = (tagp), ++n)
#define FLUSH(src, tagp) (ops[n].kind = CAPI_FLUSH, ops[n].source = (src), ops[n].tag = (tagp), ++n)
#define GAIN(src, g) (ops[n].kind = CAPI_GAIN, ops[n].source = (src), ops[n].gain = (g), ++n)
#define MIX(passes) (ops[n].kind = CAPI_MIX, ops[n].max_passes = (passes), ++n)
    ADD(0, master, 1000, mix, &g_tags[0]);
    ADD(3, voice, 700, u8_mono_8k, &g_tags[1]);
    ADD(5, music, 5000, s24_stereo, NULL);
    GAIN(5, 0.5f);
    MIX(3);
    ADD(0, master + 1000, 3333, mix, &g_tags[2]);
    ADD(9, noise, 3000 * 4, s32_mono_22k, NULL);
    ADD(3, voice + 700, 500, u8_mono_8k, &g_tags[3]);
    ADD(5, music + 5000, 7000, s24_stereo, NULL);
    ADD(7, NULL, 10, mix, NULL);          /* null data: bad argument */
    ADD(7, voice, 10, no_channels, NULL); /* no channels: unsupported */
    GAIN(3, 17.0f);                       /* out of range */
    ADD(0, master + 4333, 9600 - 4333, mix, &g_tags[4]);
    MIX(1000);
    FLUSH(0, &g_tags[5]);
    FLUSH(3, NULL);
    FLUSH(5, NULL);
    FLUSH(9, NULL);
    FLUSH(42, NULL); /* unknown: fine */
    MIX(0);
    MIX(1000);
    MIX(1000); /* nothing left */
#undef ADD
#undef FLUSH
#undef GAIN
#undef MIX
    s.mix = mix;
    s.frame_bytes = 640; /* 10 ms */
    s.mix_minus = mix_minus;
    s.include_idle = mix_minus;
    s.limiter = limiter;
    s.limiter_threshold_dbfs = -6.0f;
    s.resampler = resampler;
    s.ops = ops;
    s.count = n;

    CHECK(run_c(&s, &c_log) == 0);
    CHECK(capi_reference_run(&s, &cpp_log) == 0);
    CHECK(!c_log.failed && !cpp_log.failed);
    /* Far more than statuses: the passes wrote their frames. */
    CHECK(c_log.len > 9600 * 2);
    if (c_log.len != cpp_log.len || memcmp(c_log.bytes, cpp_log.bytes, c_log.len) != 0) {
        size_t at = 0;
        while (at < c_log.len && at < cpp_log.len && c_log.bytes[at] == cpp_log.bytes[at]) {
            ++at;
        }
        ++g_failures;
        printf(
            "capi_test: scenario (mix-minus %d, limiter %d, resampler %d): the C interface's "
            "log (%lu bytes) differs from the C++ classes' (%lu bytes) from byte %lu on\n",
            mix_minus, limiter, resampler, (unsigned long)c_log.len, (unsigned long)cpp_log.len,
            (unsigned long)at);
    }
    free(c_log.bytes);
    free(cpp_log.bytes);
    free(master);
    free(voice);
    free(music);
    free(noise);
}

/* ---- The frame mixer: one sum, clamped once */

static int16_t get16(const unsigned char* p) {
    return (int16_t)(uint16_t)(p[0] | (p[1] << 8));
}

static void put16(unsigned char* p, int v) {
    p[0] = (unsigned char)((unsigned)v & 0xffu);
    p[1] = (unsigned char)(((unsigned)v >> 8) & 0xffu);
}

static void frame_mixer_test(void) {
    enum { kSamples = 64 };
    unsigned char a[kSamples * 2];
    unsigned char b[kSamples * 2];
    unsigned char c[kSamples * 2];
    unsigned char master[kSamples * 2];
    unsigned char mix[kSamples * 2];
    size_t master_len = sizeof master;
    size_t mix_len = sizeof mix;
    void* tag = NULL;
    int i;
    carovel_frame_mixer* w = carovel_frame_mixer_create(CAROVEL_S16);
    CHECK(w != NULL);
    if (w == NULL) {
        return;
    }
    CHECK(carovel_frame_mixer_create((carovel_sample_type)7) == NULL);
    for (i = 0; i < kSamples; ++i) {
        put16(a + 2 * i, next_random(30000));
        put16(b + 2 * i, next_random(30000));
        put16(c + 2 * i, next_random(30000));
    }
    CHECK_STATUS(carovel_frame_mixer_add(w, 1, a, sizeof a, NULL), CAROVEL_OK);
    CHECK_STATUS(carovel_frame_mixer_add(w, 2, b, sizeof b, NULL), CAROVEL_OK);
    /* No master yet: no pass. */
    CHECK(carovel_frame_mixer_mix(w, master, &master_len, mix, &mix_len, &tag) == 0);
    CHECK(master_len == 0 && mix_len == 0);
    CHECK_STATUS(carovel_frame_mixer_add(w, 0, c, sizeof c, &g_tags[6]), CAROVEL_OK);
    master_len = sizeof master;
    mix_len = sizeof mix;
    CHECK(carovel_frame_mixer_mix(w, master, &master_len, mix, &mix_len, &tag) == 1);
    CHECK(master_len == sizeof c && mix_len == sizeof mix && tag == &g_tags[6]);
    CHECK(memcmp(master, c, sizeof c) == 0);
    for (i = 0; i < kSamples; ++i) {
        long sum = (long)get16(a + 2 * i) + get16(b + 2 * i) + get16(c + 2 * i);
        sum = sum > 32767 ? 32767 : sum < -32768 ? -32768 : sum;
        if (get16(mix + 2 * i) != sum) {
            ++g_failures;
            printf("capi_test: frame mixer sample %d: %d, expected %ld\n", i, get16(mix + 2 * i),
                   sum);
            break;
        }
    }
    CHECK_STATUS(carovel_frame_mixer_add(w, 0, NULL, 4, NULL), CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_frame_mixer_last_status(w), CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_frame_mixer_set_gain(w, 1, -1.0f), CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_frame_mixer_set_gain(w, 1, 16.5f), CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_frame_mixer_set_gain(w, 1, NAN), CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_frame_mixer_set_limiter(w, 1, 2, 48000, 3.0f, 100.0f),
                 CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_frame_mixer_set_limiter(w, 1, 2, 48000, -1.0f, 100.0f), CAROVEL_OK);
    CHECK_STATUS(carovel_frame_mixer_init(w, (carovel_sample_type)7), CAROVEL_UNSUPPORTED_FORMAT);
    CHECK_STATUS(carovel_frame_mixer_init(w, CAROVEL_S24), CAROVEL_OK);
    CHECK(carovel_frame_mixer_mix(w, master, NULL, mix, &mix_len, NULL) == 0);
    carovel_frame_mixer_destroy(w);
}

/* ---- The frame mixer's mix-minus passes against CWaveMix with CMixMinusFrames */

static size_t width_of(carovel_sample_type type) {
    return type == CAROVEL_U8 ? 1 : type == CAROVEL_S16 ? 2 : type == CAROVEL_S24 ? 3 : 4;
}

/* count samples of type spread over most of its range, so that sums clamp. */
static unsigned char* make_loud(carovel_sample_type type, size_t count) {
    return make_samples(type, count,
                        type == CAROVEL_U8    ? 120
                        : type == CAROVEL_S16 ? 30000
                        : type == CAROVEL_S24 ? 8000000
                                              : 30000);
}

/* What a run's outputs were: the log and counts of each kind. */
typedef struct minus_sink {
    capi_log* log;
    int outputs;
    int idle_outputs;
} minus_sink;

static void on_frame_minus(long source, const void* frame, size_t len, int had_frame, void* user) {
    minus_sink* sink = (minus_sink*)user;
    capi_log_output(sink->log, source, had_frame, frame, len);
    ++sink->outputs;
    if (!had_frame) {
        ++sink->idle_outputs;
    }
}

static int run_frame_minus_c(carovel_sample_type type, const capi_frame_op* ops, size_t count,
                             minus_sink* sink) {
    size_t i;
    carovel_frame_mixer* w = carovel_frame_mixer_create(type);
    if (w == NULL) {
        return -1;
    }
    for (i = 0; i < count; ++i) {
        const capi_frame_op* op = &ops[i];
        int status = CAROVEL_OK;
        switch (op->kind) {
            case CAPI_FRAME_ADD:
                status = carovel_frame_mixer_add(w, op->source, op->data, op->len, op->tag);
                break;
            case CAPI_FRAME_GAIN:
                status = carovel_frame_mixer_set_gain(w, op->source, op->gain);
                break;
            case CAPI_FRAME_LIMITER:
                status = carovel_frame_mixer_set_limiter(w, op->enabled, 2, 16000, -6.0f, 20.0f);
                break;
            case CAPI_FRAME_PASS: {
                unsigned char* master = (unsigned char*)malloc(op->master_room + 1);
                unsigned char* mix = (unsigned char*)malloc(op->mix_room + 1);
                size_t master_len = op->master_room;
                size_t mix_len = op->mix_room;
                void* tag = NULL;
                if (master == NULL || mix == NULL) {
                    free(master);
                    free(mix);
                    carovel_frame_mixer_destroy(w);
                    return -1;
                }
                /* The pass's entry goes before its outputs, as in the
                 * reference's log. */
                {
                    capi_log outputs = {NULL, 0, 0, 0};
                    capi_log* whole = sink->log;
                    sink->log = &outputs;
                    status =
                        carovel_frame_mixer_mix_minus(w, master, &master_len, mix, &mix_len, &tag,
                                                      op->include_idle, on_frame_minus, sink);
                    sink->log = whole;
                    capi_log_pass(whole, status, master, master_len, mix, mix_len, tag);
                    capi_log_put(whole, outputs.bytes, outputs.len);
                    whole->failed |= outputs.failed;
                    free(outputs.bytes);
                }
                CHECK_STATUS(carovel_frame_mixer_last_status(w), status);
                free(master);
                free(mix);
                continue;
            }
        }
        CHECK_STATUS(carovel_frame_mixer_last_status(w), status);
        log_status(sink->log, status);
    }
    carovel_frame_mixer_destroy(w);
    return 0;
}

/* Four sources with frames of uneven lengths (a partial sample among
 * them), a source present only through its gain, gains of 0.5, 0 and 2.5,
 * passes without the master, with the mix or the master cut short, without
 * room for the mix, with and without idle outputs, an empty master frame,
 * the limiter on and off, and a refused frame: every status, master, mix,
 * tag and output equal to CWaveMix's with CMixMinusFrames. */
static void frame_minus_test(carovel_sample_type type) {
    const size_t width = width_of(type);
    const size_t frame = 32 * width;
    unsigned char* pool = make_loud(type, 32 * 64);
    capi_frame_op ops[64];
    size_t n = 0;
    size_t at = 0;
    int k;
    capi_log c_log = {NULL, 0, 0, 0};
    capi_log cpp_log = {NULL, 0, 0, 0};
    minus_sink sink;
    memset(ops, 0, sizeof ops);
    if (pool == NULL) {
        CHECK(!"out of memory");
        return;
    }
#define NEXT(length) (at += (length), pool + at - (length))
#define ADD(src, length, tagp)                                                   \
    (ops[n].kind = CAPI_FRAME_ADD, ops[n].source = (src), ops[n].len = (length), \
     ops[n].data = NEXT(length), ops[n].tag = (tagp), ++n)
#define GAIN(src, g) (ops[n].kind = CAPI_FRAME_GAIN, ops[n].source = (src), ops[n].gain = (g), ++n)
#define LIMITER(on) (ops[n].kind = CAPI_FRAME_LIMITER, ops[n].enabled = (on), ++n)
#define PASS(master_bytes, mix_bytes, idle)                              \
    (ops[n].kind = CAPI_FRAME_PASS, ops[n].master_room = (master_bytes), \
     ops[n].mix_room = (mix_bytes), ops[n].include_idle = (idle), ++n)
    ADD(1, frame, NULL);
    ADD(2, frame, NULL);
    PASS(frame, frame, 1); /* no master: nothing */
    GAIN(4, 1.0f);         /* present, never fed */
    GAIN(2, 0.5f);
    ADD(0, frame, &g_tags[0]);
    ADD(3, frame / 2 + 1, NULL); /* shorter, with a partial sample */
    PASS(frame, frame, 1);
    ADD(0, frame, &g_tags[1]);
    ADD(1, 2 * frame, NULL); /* longer than the room */
    PASS(frame, frame, 0);
    ADD(0, frame, &g_tags[2]);
    ADD(2, frame, NULL);
    PASS(frame / 2, 3 * frame, 1); /* the master cut short */
    ADD(0, frame, &g_tags[3]);
    ADD(3, frame, NULL);
    GAIN(3, 0.0f);
    PASS(frame, 0, 1); /* no room for the mix: no outputs */
    GAIN(3, 2.5f);
    LIMITER(1);
    for (k = 0; k < 3; ++k) {
        ADD(0, frame, &g_tags[4]);
        ADD(1, frame, NULL);
        ADD(2, frame, NULL);
        ADD(3, frame, NULL);
        PASS(frame, frame, 1);
    }
    ADD(0, frame, &g_tags[5]); /* alone, limited */
    PASS(frame, frame, 1);
    LIMITER(0);
    ADD(0, 0, &g_tags[6]); /* an empty master frame */
    ADD(1, frame, NULL);
    PASS(frame, frame, 1);
    ops[n].kind = CAPI_FRAME_ADD; /* null data: refused */
    ops[n].source = 5;
    ops[n].len = 4;
    ++n;
    PASS(frame, frame, 1); /* nothing queued for the master */
#undef NEXT
#undef ADD
#undef GAIN
#undef LIMITER
#undef PASS
    CHECK(n <= sizeof ops / sizeof ops[0] && at <= 32 * 64 * width);

    sink.log = &c_log;
    sink.outputs = 0;
    sink.idle_outputs = 0;
    CHECK(run_frame_minus_c(type, ops, n, &sink) == 0);
    CHECK(capi_reference_frame_minus(type, ops, n, &cpp_log) == 0);
    CHECK(!c_log.failed && !cpp_log.failed);
    /* Outputs of sources with and without frames were compared. */
    CHECK(sink.outputs > 20 && sink.idle_outputs >= 4);
    if (c_log.len != cpp_log.len || memcmp(c_log.bytes, cpp_log.bytes, c_log.len) != 0) {
        size_t same = 0;
        while (same < c_log.len && same < cpp_log.len && c_log.bytes[same] == cpp_log.bytes[same]) {
            ++same;
        }
        ++g_failures;
        printf(
            "capi_test: frame mixer mix-minus (%lu-byte samples): the C interface's log (%lu "
            "bytes) differs from CWaveMix's (%lu bytes) from byte %lu on\n",
            (unsigned long)width, (unsigned long)c_log.len, (unsigned long)cpp_log.len,
            (unsigned long)same);
    }
    free(c_log.bytes);
    free(cpp_log.bytes);
    free(pool);
}

/* A pass run from inside another pass's output callback uses storage of its
 * own: both passes' outputs equal two passes in a row on CWaveMix. */
typedef struct nested_run {
    carovel_frame_mixer* w;
    capi_log* outer;
    capi_log* inner;
    int started;
    int inner_status;
} nested_run;

static void on_inner_minus(long source, const void* frame, size_t len, int had_frame, void* user) {
    capi_log_output((capi_log*)user, source, had_frame, frame, len);
}

static void on_outer_minus(long source, const void* frame, size_t len, int had_frame, void* user) {
    nested_run* run = (nested_run*)user;
    if (!run->started) {
        unsigned char master[256];
        unsigned char mix[256];
        size_t master_len = sizeof master;
        size_t mix_len = sizeof mix;
        void* tag = NULL;
        run->started = 1;
        run->inner_status = carovel_frame_mixer_mix_minus(
            run->w, master, &master_len, mix, &mix_len, &tag, 1, on_inner_minus, run->inner);
        capi_log_pass(run->inner, run->inner_status, master, master_len, mix, mix_len, tag);
    }
    capi_log_output(run->outer, source, had_frame, frame, len);
}

static void frame_minus_nested_test(void) {
    enum { kFrame = 128 };
    unsigned char* pool = make_loud(CAROVEL_S16, 6 * kFrame / 2);
    capi_frame_op ops[7];
    capi_log c_outer = {NULL, 0, 0, 0};
    capi_log c_inner = {NULL, 0, 0, 0};
    capi_log cpp_log = {NULL, 0, 0, 0};
    capi_log cpp_outer = {NULL, 0, 0, 0};
    unsigned char master[256];
    unsigned char mix[256];
    size_t master_len = sizeof master;
    size_t mix_len = sizeof mix;
    void* tag = NULL;
    nested_run run;
    int i;
    carovel_frame_mixer* w = carovel_frame_mixer_create(CAROVEL_S16);
    CHECK(w != NULL && pool != NULL);
    if (w == NULL || pool == NULL) {
        carovel_frame_mixer_destroy(w);
        free(pool);
        return;
    }
    memset(ops, 0, sizeof ops);
    for (i = 0; i < 6; ++i) {
        /* Sources 0, 1 and 2, two frames each. */
        ops[i].kind = CAPI_FRAME_ADD;
        ops[i].source = i % 3;
        ops[i].data = pool + i * kFrame;
        ops[i].len = kFrame;
        ops[i].tag = &g_tags[i];
        CHECK_STATUS(carovel_frame_mixer_add(w, ops[i].source, ops[i].data, ops[i].len, ops[i].tag),
                     CAROVEL_OK);
    }
    run.w = w;
    run.outer = &c_outer;
    run.inner = &c_inner;
    run.started = 0;
    run.inner_status = -1;
    CHECK_STATUS(carovel_frame_mixer_mix_minus(w, master, &master_len, mix, &mix_len, &tag, 1,
                                               on_outer_minus, &run),
                 CAROVEL_OK);
    CHECK_STATUS(run.inner_status, CAROVEL_OK);
    capi_log_pass(&c_outer, CAROVEL_OK, master, master_len, mix, mix_len, tag);
    carovel_frame_mixer_destroy(w);

    /* CWaveMix: the outer pass, then the inner one. The C++ log puts each
     * pass's entry before its outputs; rebuild the C side the same way. */
    ops[6].kind = CAPI_FRAME_PASS;
    ops[6].master_room = sizeof master;
    ops[6].mix_room = sizeof mix;
    ops[6].include_idle = 1;
    {
        capi_frame_op passes[8];
        memcpy(passes, ops, sizeof ops);
        passes[7] = ops[6];
        CHECK(capi_reference_frame_minus(CAROVEL_S16, passes, 8, &cpp_log) == 0);
    }
    {
        /* C: statuses of the six adds, then outer pass (entry at the end of
         * c_outer), then inner pass (entry at the end of c_inner). */
        size_t outputs_len = c_outer.len;
        size_t entry_len = 1 + 8 + 8 + kFrame + 8 + kFrame + 8;
        size_t inner_outputs = c_inner.len - entry_len;
        for (i = 0; i < 6; ++i) {
            log_status(&cpp_outer, CAROVEL_OK);
        }
        CHECK(outputs_len > entry_len && c_inner.len > entry_len);
        if (outputs_len > entry_len && c_inner.len > entry_len) {
            capi_log_put(&cpp_outer, c_outer.bytes + outputs_len - entry_len, entry_len);
            capi_log_put(&cpp_outer, c_outer.bytes, outputs_len - entry_len);
            capi_log_put(&cpp_outer, c_inner.bytes + inner_outputs, entry_len);
            capi_log_put(&cpp_outer, c_inner.bytes, inner_outputs);
        }
        CHECK(!cpp_outer.failed && !cpp_log.failed);
        CHECK(cpp_outer.len == cpp_log.len &&
              memcmp(cpp_outer.bytes, cpp_log.bytes, cpp_log.len) == 0);
    }
    free(c_outer.bytes);
    free(c_inner.bytes);
    free(cpp_log.bytes);
    free(cpp_outer.bytes);
    free(pool);
}

static void count_minus(long source, const void* frame, size_t len, int had_frame, void* user) {
    (void)source;
    (void)frame;
    (void)len;
    (void)had_frame;
    ++*(int*)user;
}

static void frame_minus_refusal_test(void) {
    unsigned char frame[64];
    unsigned char master[64];
    unsigned char mix[64];
    size_t master_len = sizeof master;
    size_t mix_len = sizeof mix;
    void* tag = NULL;
    int calls = 0;
    carovel_frame_mixer* w = carovel_frame_mixer_create(CAROVEL_S16);
    CHECK(w != NULL);
    if (w == NULL) {
        return;
    }
    memset(frame, 0x11, sizeof frame);
    CHECK_STATUS(carovel_frame_mixer_mix_minus(NULL, master, &master_len, mix, &mix_len, &tag, 0,
                                               count_minus, &calls),
                 CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_frame_mixer_add(w, 0, frame, sizeof frame, &g_tags[7]), CAROVEL_OK);
    CHECK_STATUS(carovel_frame_mixer_add(w, 1, frame, sizeof frame, NULL), CAROVEL_OK);
    /* Each refusal runs no pass: the frames stay queued for the last call. */
    CHECK_STATUS(
        carovel_frame_mixer_mix_minus(w, master, NULL, mix, &mix_len, &tag, 0, count_minus, &calls),
        CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_frame_mixer_mix_minus(w, master, &master_len, mix, NULL, &tag, 0,
                                               count_minus, &calls),
                 CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(
        carovel_frame_mixer_mix_minus(w, master, &master_len, mix, &mix_len, &tag, 0, NULL, &calls),
        CAROVEL_BAD_ARGUMENT);
    master_len = (size_t)INT_MAX + 1u;
    CHECK_STATUS(carovel_frame_mixer_mix_minus(w, master, &master_len, mix, &mix_len, &tag, 0,
                                               count_minus, &calls),
                 CAROVEL_BAD_ARGUMENT);
    CHECK(master_len == (size_t)INT_MAX + 1u && mix_len == sizeof mix);
    CHECK_STATUS(carovel_frame_mixer_last_status(w), CAROVEL_BAD_ARGUMENT);
    master_len = sizeof master;
    mix_len = SIZE_MAX;
    CHECK_STATUS(carovel_frame_mixer_mix_minus(w, NULL, &master_len, NULL, &mix_len, &tag, 0,
                                               count_minus, &calls),
                 CAROVEL_BAD_ARGUMENT);
    CHECK(master_len == sizeof master && mix_len == SIZE_MAX && tag == NULL && calls == 0);
    /* A null master buffer has no room; the pass runs all the same. */
    mix_len = sizeof mix;
    CHECK_STATUS(carovel_frame_mixer_mix_minus(w, NULL, &master_len, mix, &mix_len, &tag, 0,
                                               count_minus, &calls),
                 CAROVEL_OK);
    CHECK_STATUS(carovel_frame_mixer_last_status(w), CAROVEL_OK);
    CHECK(master_len == 0 && mix_len == sizeof mix && tag == &g_tags[7] && calls == 2);
    /* Nothing queued: OK, no pass, no output, tag left alone. */
    master_len = sizeof master;
    CHECK_STATUS(carovel_frame_mixer_mix_minus(w, master, &master_len, mix, &mix_len, NULL, 1,
                                               count_minus, &calls),
                 CAROVEL_OK);
    CHECK(master_len == 0 && mix_len == 0 && calls == 2);
    carovel_frame_mixer_destroy(w);
}

/* ---- The sample utilities against CMixer::ChangeVolume and CopyChannel */

static void sample_utils_test(void) {
    static const carovel_sample_type types[4] = {CAROVEL_U8, CAROVEL_S16, CAROVEL_S24, CAROVEL_S32};
    const float factors[11] = {
        0.0f,      0.5f, 1.0f, 1.7f, 3.0f, -1.0f, -0.3f, 3e9f, (float)INFINITY, -(float)INFINITY,
        (float)NAN};
    unsigned char original[4 * 97];
    unsigned char c_side[4 * 97];
    unsigned char cpp_side[4 * 97];
    const unsigned char block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    unsigned char kept[8];
    int t;
    size_t f;
    int changed = 0;
    int channel;
    for (t = 0; t < 4; ++t) {
        const size_t width = width_of(types[t]);
        /* Whole samples and pairs, an odd count (a lone last sample) and a
         * partial sample at the end. */
        const size_t lengths[5] = {0, width, 96 * width, 97 * width, 96 * width + width - 1};
        size_t l;
        for (l = 0; l < 5; ++l) {
            const size_t len = lengths[l];
            unsigned char* samples = make_loud(types[t], 97);
            CHECK(samples != NULL);
            if (samples == NULL) {
                return;
            }
            memcpy(original, samples, 97 * width);
            free(samples);
            for (f = 0; f < sizeof factors / sizeof factors[0]; ++f) {
                memcpy(c_side, original, sizeof c_side);
                memcpy(cpp_side, original, sizeof cpp_side);
                CHECK_STATUS(carovel_change_volume(c_side, len, types[t], factors[f]), CAROVEL_OK);
                capi_reference_change_volume(cpp_side, len, (int)width, factors[f]);
                if (memcmp(c_side, cpp_side, sizeof c_side) != 0) {
                    ++g_failures;
                    printf(
                        "capi_test: carovel_change_volume(%lu bytes, %lu-byte samples, %g) "
                        "differs from CMixer::ChangeVolume\n",
                        (unsigned long)len, (unsigned long)width, (double)factors[f]);
                }
                changed += memcmp(c_side, original, sizeof c_side) != 0;
            }
            for (channel = 0; channel < 2; ++channel) {
                size_t pair;
                memcpy(c_side, original, sizeof c_side);
                memcpy(cpp_side, original, sizeof cpp_side);
                CHECK_STATUS(carovel_copy_channel(
                                 c_side, len, types[t],
                                 channel == 0 ? CAROVEL_CHANNEL_LEFT : CAROVEL_CHANNEL_RIGHT),
                             CAROVEL_OK);
                capi_reference_copy_channel(cpp_side, len, (int)width, channel);
                CHECK(memcmp(c_side, cpp_side, sizeof c_side) == 0);
                /* Every whole pair now holds the chosen channel twice. */
                for (pair = 0; pair < len / (2 * width); ++pair) {
                    const unsigned char* p = c_side + pair * 2 * width;
                    CHECK(memcmp(p, p + width, width) == 0 &&
                          memcmp(p + channel * width, original + pair * 2 * width + channel * width,
                                 width) == 0);
                }
                CHECK(memcmp(c_side + len / (2 * width) * 2 * width,
                             original + len / (2 * width) * 2 * width,
                             sizeof c_side - len / (2 * width) * 2 * width) == 0);
                changed += memcmp(c_side, original, sizeof c_side) != 0;
            }
        }
    }
    /* The comparisons were of buffers that the calls changed. */
    CHECK(changed > 100);

    /* Refusals leave the buffer untouched. */
    memcpy(kept, block, sizeof kept);
    CHECK_STATUS(carovel_change_volume(kept, sizeof kept, CAROVEL_F32, 0.5f),
                 CAROVEL_UNSUPPORTED_FORMAT);
    CHECK_STATUS(carovel_change_volume(kept, sizeof kept, (carovel_sample_type)7, 0.5f),
                 CAROVEL_UNSUPPORTED_FORMAT);
    CHECK_STATUS(carovel_change_volume(NULL, 4, CAROVEL_S16, 0.5f), CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_change_volume(kept, (size_t)INT_MAX + 1u, CAROVEL_S16, 0.5f),
                 CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_change_volume(kept, SIZE_MAX, CAROVEL_U8, 0.5f), CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_change_volume(NULL, 0, CAROVEL_S16, 0.5f), CAROVEL_OK);
    CHECK_STATUS(carovel_change_volume(kept, 0, CAROVEL_S24, 0.5f), CAROVEL_OK);
    CHECK_STATUS(carovel_copy_channel(kept, sizeof kept, CAROVEL_S16, 2), CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_copy_channel(kept, sizeof kept, CAROVEL_S16, -1), CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_copy_channel(kept, sizeof kept, CAROVEL_F32, 0),
                 CAROVEL_UNSUPPORTED_FORMAT);
    CHECK_STATUS(carovel_copy_channel(kept, sizeof kept, (carovel_sample_type)7, 1),
                 CAROVEL_UNSUPPORTED_FORMAT);
    CHECK_STATUS(carovel_copy_channel(NULL, 8, CAROVEL_U8, 0), CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_copy_channel(kept, (size_t)INT_MAX + 1u, CAROVEL_S32, 1),
                 CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_copy_channel(NULL, 0, CAROVEL_S32, 1), CAROVEL_OK);
    CHECK(memcmp(kept, block, sizeof kept) == 0);
}

/* ---- The converter against CWaveConvert */

static void converter_test(int resampler) {
    const carovel_format from = {8000, 1, CAROVEL_U8};
    const carovel_format to = {44100, 2, CAROVEL_S16};
    const carovel_format odd = {8000, 1, (carovel_sample_type)7};
    const carovel_format fast = {CAROVEL_MAX_RATE + 1, 1, CAROVEL_S16};
    const size_t len = 4000;
    const size_t step = 333;
    unsigned char out[1000];
    unsigned char* src = make_samples(CAROVEL_U8, len, 120);
    capi_log c_log = {NULL, 0, 0, 0};
    capi_log cpp_log = {NULL, 0, 0, 0};
    size_t at = 0;
    size_t expected;
    carovel_converter* c = carovel_converter_create();
    CHECK(c != NULL && src != NULL);
    if (c == NULL || src == NULL) {
        free(src);
        carovel_converter_destroy(c);
        return;
    }
    {
        size_t used = 1;
        size_t wrote = sizeof out;
        CHECK_STATUS(carovel_converter_convert(c, src, &used, out, &wrote), CAROVEL_NOT_OPEN);
        CHECK(used == 1 && wrote == sizeof out);
    }
    CHECK_STATUS(carovel_converter_open(c, &odd, &to), CAROVEL_UNSUPPORTED_FORMAT);
    CHECK_STATUS(carovel_converter_open(c, &from, &fast), CAROVEL_UNSUPPORTED_FORMAT);
    CHECK_STATUS(carovel_converter_last_status(c), CAROVEL_UNSUPPORTED_FORMAT);
    CHECK_STATUS(carovel_converter_open_with(c, &from, &to, 2), CAROVEL_BAD_ARGUMENT);
    CHECK(carovel_converter_pending(c) == 0);
    CHECK_STATUS(carovel_converter_open(c, &from, &to), CAROVEL_OK);
    CHECK_STATUS(carovel_converter_open_with(c, &from, &to, resampler), CAROVEL_OK);
    for (;;) {
        size_t used = len - at < step ? len - at : step;
        size_t wrote = sizeof out;
        CHECK_STATUS(carovel_converter_convert(c, src + at, &used, out, &wrote), CAROVEL_OK);
        capi_log_put(&c_log, out, wrote);
        at += used;
        if (used == 0 && wrote == 0) {
            break;
        }
    }
    CHECK(carovel_converter_pending(c) > 0);
    for (;;) {
        size_t wrote = sizeof out;
        CHECK_STATUS(carovel_converter_flush(c, out, &wrote), CAROVEL_OK);
        capi_log_put(&c_log, out, wrote);
        if (wrote == 0) {
            break;
        }
    }
    CHECK(capi_reference_convert(&from, &to, resampler, src, len, step, sizeof out, &cpp_log) == 0);
    /* The whole stream: ceil(4000 * 44100 / 8000) stereo 16-bit blocks. */
    expected = (len * 44100 + 7999) / 8000 * 4;
    CHECK(c_log.len == expected);
    CHECK(c_log.len == cpp_log.len && memcmp(c_log.bytes, cpp_log.bytes, c_log.len) == 0);
    carovel_converter_close(c);
    CHECK(carovel_converter_pending(c) == 0);
    carovel_converter_destroy(c);
    free(src);
    free(c_log.bytes);
    free(cpp_log.bytes);
}

/* ---- Float and high rates */

typedef struct float_sink {
    float samples[4 * 480];
    size_t count;
    int passes;
} float_sink;

static void on_float_mix(const void* master, size_t master_len, const void* mix, size_t mix_len,
                         void* user, void* tag) {
    float_sink* sink = (float_sink*)user;
    size_t n = mix_len / sizeof(float);
    (void)master;
    (void)master_len;
    (void)tag;
    if (sink->count + n > sizeof sink->samples / sizeof sink->samples[0]) {
        n = sizeof sink->samples / sizeof sink->samples[0] - sink->count;
    }
    memcpy(sink->samples + sink->count, mix, n * sizeof(float));
    sink->count += n;
    ++sink->passes;
}

/* A float mix at 96 kHz keeps the sum beyond full scale: 1.5 + 0.75 from two
 * float sources, and a 16-bit source at 192 kHz of half scale converted into
 * it, 2.75 away from the stream's ends. Frames of 5 ms (480 samples). */
static void float_mix_test(void) {
    const carovel_format mixing = {96000, 1, CAROVEL_F32};
    const carovel_format high = {192000, 1, CAROVEL_S16};
    float loud[4 * 480];
    float quiet[4 * 480];
    unsigned char* half = (unsigned char*)malloc(2 * 4 * 960);
    float_sink sink;
    size_t i;
    int wrong = 0;
    carovel_mixer* m = carovel_mixer_create();
    memset(&sink, 0, sizeof sink);
    CHECK(m != NULL && half != NULL);
    if (m == NULL || half == NULL) {
        free(half);
        carovel_mixer_destroy(m);
        return;
    }
    for (i = 0; i < 4 * 480; ++i) {
        loud[i] = 1.5f;
        quiet[i] = 0.75f;
    }
    for (i = 0; i < 4 * 960; ++i) {
        put16(half + 2 * i, 16384);
    }
    CHECK_STATUS(carovel_mixer_open_manual(m, &mixing, 480 * sizeof(float), on_float_mix, &sink),
                 CAROVEL_OK);
    CHECK_STATUS(carovel_mixer_add(m, 1, quiet, sizeof quiet, &mixing, NULL), CAROVEL_OK);
    CHECK_STATUS(carovel_mixer_add(m, 2, half, 2 * 4 * 960, &high, NULL), CAROVEL_OK);
    CHECK_STATUS(carovel_mixer_flush_source(m, 2, NULL), CAROVEL_OK);
    CHECK_STATUS(carovel_mixer_add(m, 0, loud, sizeof loud, &mixing, NULL), CAROVEL_OK);
    CHECK(carovel_mixer_mix_pending(m, 100) == 4);
    CHECK(sink.passes == 4 && sink.count == 4 * 480);
    for (i = 480; i < 3 * 480; ++i) {
        const float off = sink.samples[i] - 2.75f;
        if (off > 0.01f || off < -0.01f) {
            ++wrong;
        }
    }
    CHECK(wrong == 0);
    carovel_mixer_destroy(m);
    free(half);
}

/* ---- Refusals, statuses and the version */

static void ignore_mix(const void* master, size_t master_len, const void* mix, size_t mix_len,
                       void* user, void* tag) {
    (void)master;
    (void)master_len;
    (void)mix;
    (void)mix_len;
    (void)user;
    (void)tag;
}

/* A float source beyond full scale into a 16-bit mix: clamped, and every
 * clamped sample counted in its statistics. */
static void clipped_count_test(void) {
    const carovel_format mixing = {8000, 1, CAROVEL_S16};
    const carovel_format floats = {8000, 1, CAROVEL_F32};
    float loud[80];
    unsigned char silence[160];
    carovel_source_stats st;
    carovel_mixer_stats whole;
    size_t i;
    carovel_mixer* m = carovel_mixer_create();
    CHECK(m != NULL);
    if (m == NULL) {
        return;
    }
    for (i = 0; i < 80; ++i) {
        loud[i] = i < 7 ? 1.5f : (i < 10 ? -2.0f : 0.5f);
    }
    memset(silence, 0, sizeof silence);
    CHECK_STATUS(carovel_mixer_open_manual(m, &mixing, sizeof silence, ignore_mix, NULL),
                 CAROVEL_OK);
    CHECK_STATUS(carovel_mixer_add(m, 1, loud, sizeof loud, &floats, NULL), CAROVEL_OK);
    CHECK_STATUS(carovel_mixer_add(m, 0, silence, sizeof silence, &mixing, NULL), CAROVEL_OK);
    CHECK(carovel_mixer_mix_pending(m, 10) == 1);
    CHECK_STATUS(carovel_mixer_get_source_stats(m, 1, &st), CAROVEL_OK);
    CHECK(st.clipped_samples == 10);
    CHECK_STATUS(carovel_mixer_get_source_stats(m, 0, &st), CAROVEL_OK);
    CHECK(st.clipped_samples == 0);
    CHECK(carovel_mixer_get_all_source_stats(m, NULL, 0, &whole) == 2);
    CHECK(whole.live_mode == 0 && whole.live_passes == 0);
    carovel_mixer_destroy(m);
}

/* More sources than the stack holds, asked for with a capacity far beyond
 * them: every source is reported (the capacity is what out may hold, not
 * what the call allocates). */
static void many_stats_test(void) {
    const carovel_format s16 = {8000, 1, CAROVEL_S16};
    static carovel_source_stats stats[100];
    carovel_mixer_stats whole;
    const char frame[4] = {0};
    long id;
    size_t i;
    carovel_mixer* m = carovel_mixer_create();
    CHECK(m != NULL);
    CHECK_STATUS(carovel_mixer_open_manual(m, &s16, sizeof frame, ignore_mix, NULL), CAROVEL_OK);
    for (id = 0; id < 70; ++id) {
        CHECK_STATUS(carovel_mixer_add(m, id, frame, sizeof frame, &s16, NULL), CAROVEL_OK);
    }
    CHECK(carovel_mixer_get_all_source_stats(m, stats, (size_t)1 << 40, &whole) == 70);
    CHECK(whole.sources == 70);
    for (i = 0; i < 70; ++i) {
        CHECK(stats[i].source == (long)i);
    }
    carovel_mixer_destroy(m);
}

static void refusal_test(void) {
    const carovel_format s16 = {8000, 1, CAROVEL_S16};
    const carovel_format odd = {8000, 1, (carovel_sample_type)7};
    const carovel_format fast = {CAROVEL_MAX_RATE + 1, 1, CAROVEL_S16};
    const unsigned char block[4] = {0, 0, 0, 0};
    carovel_source_stats stats;
    carovel_mixer* m = carovel_mixer_create();
    CHECK(m != NULL);
    if (m == NULL) {
        return;
    }
    CHECK_STATUS(carovel_mixer_add(m, 0, block, sizeof block, &s16, NULL), CAROVEL_NOT_OPEN);
    CHECK_STATUS(carovel_mixer_last_status(m), CAROVEL_NOT_OPEN);
    CHECK_STATUS(carovel_mixer_open(m, &odd, 320, ignore_mix, NULL), CAROVEL_UNSUPPORTED_FORMAT);
    CHECK_STATUS(carovel_mixer_open(m, &fast, 320, ignore_mix, NULL), CAROVEL_UNSUPPORTED_FORMAT);
    CHECK_STATUS(carovel_mixer_open(m, &s16, ((size_t)1 << 30) + 2, ignore_mix, NULL),
                 CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_mixer_open(m, &s16, 321, ignore_mix, NULL), CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_mixer_open(m, &s16, 320, NULL, NULL), CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_mixer_open(m, NULL, 320, ignore_mix, NULL), CAROVEL_BAD_ARGUMENT);
    CHECK(carovel_mixer_is_open(m) == 0);

    /* Live mode needs the output thread. */
    CHECK_STATUS(carovel_mixer_set_live_mode(m, 60, 500, 0), CAROVEL_OK);
    CHECK_STATUS(carovel_mixer_open_manual(m, &s16, 320, ignore_mix, NULL), CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_mixer_set_live_mode(m, 500, 60, 0), CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_mixer_set_live_mode(m, 0, 0, 0), CAROVEL_OK);
    CHECK_STATUS(carovel_mixer_set_resampler(m, -1), CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_mixer_set_resampler(m, CAROVEL_RESAMPLER_LOW_LATENCY), CAROVEL_OK);

    /* Opened with its thread: no host-driven passes, no second open. */
    CHECK_STATUS(carovel_mixer_open(m, &s16, 320, ignore_mix, NULL), CAROVEL_OK);
    CHECK(carovel_mixer_is_open(m) == 1);
    CHECK_STATUS(carovel_mixer_open(m, &s16, 320, ignore_mix, NULL), CAROVEL_ALREADY_OPEN);
    CHECK(carovel_mixer_mix_pending(m, 5) == 0);
    CHECK_STATUS(carovel_mixer_last_status(m), CAROVEL_NOT_HOST_DRIVEN);
    CHECK_STATUS(carovel_mixer_set_live_mode(m, 60, 500, 0), CAROVEL_ALREADY_OPEN);
    CHECK_STATUS(carovel_mixer_set_resampler(m, CAROVEL_RESAMPLER_FAST), CAROVEL_ALREADY_OPEN);
    CHECK_STATUS(carovel_mixer_set_mix_minus(m, NULL, NULL, 0), CAROVEL_ALREADY_OPEN);
    carovel_mixer_notify(m);
    carovel_mixer_close(m);
    CHECK(carovel_mixer_is_open(m) == 0);

    CHECK_STATUS(carovel_mixer_open_manual(m, &s16, 320, ignore_mix, NULL), CAROVEL_OK);
    CHECK_STATUS(carovel_mixer_add(m, 0, block, sizeof block, &odd, NULL),
                 CAROVEL_UNSUPPORTED_FORMAT);
    CHECK_STATUS(carovel_mixer_add(m, 0, block, sizeof block, &fast, NULL),
                 CAROVEL_UNSUPPORTED_FORMAT);
    CHECK_STATUS(carovel_mixer_add(m, 0, block, SIZE_MAX, &s16, NULL), CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_mixer_add(m, 0, block, sizeof block, NULL, NULL), CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_mixer_add(m, 0, block, 0, &s16, NULL), CAROVEL_OK);
    CHECK_STATUS(carovel_mixer_set_source_gain(m, 1, (float)NAN), CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_mixer_set_source_gain(m, 1, 2.0f), CAROVEL_OK);
    CHECK_STATUS(carovel_mixer_set_limiter(m, 1, 5.0f, 100.0f), CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_mixer_set_limiter(m, 1, -3.0f, 50.0f), CAROVEL_OK);
    CHECK_STATUS(carovel_mixer_get_source_stats(m, 77, &stats), CAROVEL_NO_SUCH_SOURCE);
    CHECK_STATUS(carovel_mixer_get_source_stats(m, 77, NULL), CAROVEL_BAD_ARGUMENT);
    CHECK(carovel_mixer_mix_pending(m, 5) == 0);
    CHECK_STATUS(carovel_mixer_last_status(m), CAROVEL_OK);
    carovel_mixer_clear(m);
    carovel_mixer_destroy(m); /* open: closes first */

    /* Null handles. */
    CHECK_STATUS(carovel_mixer_add(NULL, 0, block, sizeof block, &s16, NULL), CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_mixer_open(NULL, &s16, 320, ignore_mix, NULL), CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_mixer_last_status(NULL), CAROVEL_BAD_ARGUMENT);
    CHECK(carovel_mixer_mix_pending(NULL, 1) == 0);
    CHECK(carovel_mixer_get_all_source_stats(NULL, NULL, 0, NULL) == 0);
    CHECK(carovel_mixer_is_open(NULL) == 0);
    carovel_mixer_close(NULL);
    carovel_mixer_destroy(NULL);
    carovel_frame_mixer_destroy(NULL);
    carovel_converter_destroy(NULL);

    CHECK(strcmp(carovel_status_text(CAROVEL_OK), "ok") == 0);
    CHECK(strcmp(carovel_status_text(CAROVEL_OUT_OF_MEMORY), "out of memory") == 0);
    CHECK(strcmp(carovel_status_text(CAROVEL_NO_SUCH_SOURCE), "the mixer has no such source") == 0);
    CHECK(strcmp(carovel_status_text(-5), "unknown status") == 0);
    CHECK(strcmp(carovel_status_text(12345), "unknown status") == 0);
    CHECK(strcmp(carovel_version_string(), CAROVEL_VERSION_STRING) == 0);
    CHECK(carovel_version_number() == CAROVEL_VERSION_NUMBER);
}

int main(void) {
    refusal_test();
    scenario_test(1, 0, CAROVEL_RESAMPLER_LOW_LATENCY);
    scenario_test(0, 1, CAROVEL_RESAMPLER_LOW_LATENCY);
    scenario_test(0, 0, CAROVEL_RESAMPLER_FAST);
    frame_mixer_test();
    float_mix_test();
    clipped_count_test();
    many_stats_test();
    frame_minus_test(CAROVEL_U8);
    frame_minus_test(CAROVEL_S16);
    frame_minus_test(CAROVEL_S24);
    frame_minus_test(CAROVEL_S32);
    frame_minus_nested_test();
    frame_minus_refusal_test();
    CHECK(capi_threaded_frame_minus() == 0);
    sample_utils_test();
    converter_test(CAROVEL_RESAMPLER_LOW_LATENCY);
    converter_test(CAROVEL_RESAMPLER_FAST);
    printf("capi_test: %s\n", g_failures == 0 ? "ok" : "FAILED");
    return g_failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
