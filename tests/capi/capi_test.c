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
    CHECK(carovel_frame_mixer_create(CAROVEL_F32) == NULL);
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
    CHECK_STATUS(carovel_frame_mixer_set_limiter(w, 1, 2, 48000, 3.0f, 100.0f),
                 CAROVEL_BAD_ARGUMENT);
    CHECK_STATUS(carovel_frame_mixer_set_limiter(w, 1, 2, 48000, -1.0f, 100.0f), CAROVEL_OK);
    CHECK_STATUS(carovel_frame_mixer_init(w, CAROVEL_F32), CAROVEL_UNSUPPORTED_FORMAT);
    CHECK_STATUS(carovel_frame_mixer_init(w, CAROVEL_S24), CAROVEL_OK);
    CHECK(carovel_frame_mixer_mix(w, master, NULL, mix, &mix_len, NULL) == 0);
    carovel_frame_mixer_destroy(w);
}

/* ---- The converter against CWaveConvert */

static void converter_test(int resampler) {
    const carovel_format from = {8000, 1, CAROVEL_U8};
    const carovel_format to = {44100, 2, CAROVEL_S16};
    const carovel_format f32 = {8000, 1, CAROVEL_F32};
    const carovel_format fast = {96000, 1, CAROVEL_S16};
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
    CHECK_STATUS(carovel_converter_open(c, &f32, &to), CAROVEL_UNSUPPORTED_FORMAT);
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

static void refusal_test(void) {
    const carovel_format s16 = {8000, 1, CAROVEL_S16};
    const carovel_format f32 = {8000, 1, CAROVEL_F32};
    const carovel_format fast = {96000, 1, CAROVEL_S16};
    const unsigned char block[4] = {0, 0, 0, 0};
    carovel_source_stats stats;
    carovel_mixer* m = carovel_mixer_create();
    CHECK(m != NULL);
    if (m == NULL) {
        return;
    }
    CHECK_STATUS(carovel_mixer_add(m, 0, block, sizeof block, &s16, NULL), CAROVEL_NOT_OPEN);
    CHECK_STATUS(carovel_mixer_last_status(m), CAROVEL_NOT_OPEN);
    CHECK_STATUS(carovel_mixer_open(m, &f32, 320, ignore_mix, NULL), CAROVEL_UNSUPPORTED_FORMAT);
    CHECK_STATUS(carovel_mixer_open(m, &fast, 320, ignore_mix, NULL), CAROVEL_UNSUPPORTED_FORMAT);
    CHECK_STATUS(carovel_mixer_open(m, &s16, 70000, ignore_mix, NULL), CAROVEL_BAD_ARGUMENT);
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
    CHECK_STATUS(carovel_mixer_add(m, 0, block, sizeof block, &f32, NULL),
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
    converter_test(CAROVEL_RESAMPLER_LOW_LATENCY);
    converter_test(CAROVEL_RESAMPLER_FAST);
    printf("capi_test: %s\n", g_failures == 0 ? "ok" : "FAILED");
    return g_failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
