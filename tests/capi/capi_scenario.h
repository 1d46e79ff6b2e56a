/* A mixing scenario that the C test runs through the C interface and
 * capi_reference.cpp through the C++ classes, each writing what it sees
 * (statuses, callbacks, statistics) to a log in the same layout, so that the
 * two logs must be equal byte for byte. */
#ifndef CAROVEL_TESTS_CAPI_CAPI_SCENARIO_H
#define CAROVEL_TESTS_CAPI_CAPI_SCENARIO_H

#include <carovel/carovel_c.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A growing byte log. failed is set when memory ran out. */
typedef struct capi_log {
    unsigned char* bytes;
    size_t len;
    size_t cap;
    int failed;
} capi_log;

void capi_log_put(capi_log* log, const void* data, size_t len);
void capi_log_u64(capi_log* log, uint64_t value);
void capi_log_f64(capi_log* log, double value);

/* What the callbacks log: 'M', the master frame's length and bytes, the
 * mix's length and bytes and the tag; 'N', the source, the output's length
 * and bytes. */
void capi_log_mix(capi_log* log, const void* master, size_t master_len, const void* mix,
                  size_t mix_len, void* tag);
void capi_log_minus(capi_log* log, long source, const void* frame, size_t len);

typedef enum capi_op_kind { CAPI_ADD, CAPI_FLUSH, CAPI_GAIN, CAPI_MIX } capi_op_kind;

/* One host call: feed data (CAPI_ADD), flush (CAPI_FLUSH), set a gain
 * (CAPI_GAIN) or run up to max_passes passes (CAPI_MIX). Each is logged as
 * 'R', its status and, for CAPI_MIX, the passes run. */
typedef struct capi_op {
    capi_op_kind kind;
    long source;
    const unsigned char* data;
    size_t len;
    carovel_format fmt;
    void* tag;
    float gain;
    int max_passes;
} capi_op;

typedef struct capi_scenario {
    carovel_format mix;
    size_t frame_bytes;
    int mix_minus;
    int include_idle;
    int limiter;
    float limiter_threshold_dbfs;
    /* A CAROVEL_RESAMPLER_ value. */
    int resampler;
    const capi_op* ops;
    size_t count;
} capi_scenario;

/* Logs every source's frames mixed, dropouts, level and backlog ('S'). */
void capi_log_source(capi_log* log, long source, uint64_t backlog_frames, double backlog_ms,
                     uint64_t frames_mixed, uint64_t dropouts, int has_level, double rms_dbfs,
                     double peak_dbfs);

/* Runs the scenario through CMixer (OpenManual, MixPending), logging it.
 * Returns 0, or -1 when the open failed. */
int capi_reference_run(const capi_scenario* s, capi_log* log);

/* The same for the converter: src through CWaveConvert (with the given
 * CAROVEL_RESAMPLER_ value) in steps of step bytes of input and room of room
 * bytes, then flushed; the output bytes go to log. */
int capi_reference_convert(const carovel_format* from, const carovel_format* to, int resampler,
                           const unsigned char* src, size_t len, size_t step, size_t room,
                           capi_log* log);

/* ---- The frame mixer's mix-minus passes */

typedef enum capi_frame_op_kind {
    CAPI_FRAME_ADD,
    CAPI_FRAME_GAIN,
    CAPI_FRAME_LIMITER,
    CAPI_FRAME_PASS
} capi_frame_op_kind;

/* One frame-mixer call: queue a frame (CAPI_FRAME_ADD), set a gain, turn
 * the limiter on or off (stereo at 16000 Hz, -6 dBFS, 20 ms), or run a pass
 * with mix-minus outputs with room for master_room and mix_room bytes
 * (CAPI_FRAME_PASS). The first three are logged as 'R' and their status; a
 * pass as 'P', its status, the master's length and bytes, the mix's length
 * and bytes and the tag, then each output as 'O', its source, had_frame,
 * length and bytes. */
typedef struct capi_frame_op {
    capi_frame_op_kind kind;
    long source;
    const unsigned char* data;
    size_t len;
    void* tag;
    float gain;
    int enabled;
    size_t master_room;
    size_t mix_room;
    int include_idle;
} capi_frame_op;

void capi_log_pass(capi_log* log, int status, const void* master, size_t master_len,
                   const void* mix, size_t mix_len, void* tag);
void capi_log_output(capi_log* log, long source, int had_frame, const void* frame, size_t len);

/* Runs ops on a CWaveMix for samples of type with a CMixMinusFrames,
 * logging them. Returns 0, or -1 when memory ran out. */
int capi_reference_frame_minus(carovel_sample_type type, const capi_frame_op* ops, size_t count,
                               capi_log* log);

/* CMixer::ChangeVolume and CMixer::CopyChannel on buf, for samples of
 * bytes_per_sample bytes. */
void capi_reference_change_volume(void* buf, size_t len, int bytes_per_sample, float factor);
void capi_reference_copy_channel(void* buf, size_t len, int bytes_per_sample, int channel);

/* Two threads feed one frame mixer (through the C interface) and run
 * mix-minus passes on it at once; every output must be its own pass's mix
 * less its source's frame. Returns the number of faults found. */
int capi_threaded_frame_minus(void);

#ifdef __cplusplus
}
#endif

#endif /* CAROVEL_TESTS_CAPI_CAPI_SCENARIO_H */
