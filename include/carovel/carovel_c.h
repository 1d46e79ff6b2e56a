/* carovel's C interface: the mixer, the frame mixer, the converter and the
 * sample utilities for hosts written in C or in any language that calls C
 * (Go's cgo, Rust, ctypes, MSVC-built Windows programs). It is exported by the same shared library
 * (libcarovel.so, carovel.dll) as the C++ classes and is a thin layer over
 * them; carovel/mixer.h, carovel/wave_mix.h and carovel/wave_convert.h
 * describe the behaviour in full, this header what differs.
 *
 * The header is C99 and C++ alike. No C++ type or exception crosses it: every
 * entry point catches what the layer below may throw and reports it as a
 * status.
 *
 * Conventions:
 *  - Objects are opaque handles, made by ..._create and freed by ..._destroy.
 *    A null handle is refused (CAROVEL_BAD_ARGUMENT, or nothing happens for
 *    calls returning void or a count).
 *  - Functions returning int return 0 (CAROVEL_OK) on success and a status
 *    code otherwise, unless their comment says what they return instead. The
 *    handle's ..._last_status gives the status of the last such call on it.
 *  - Lengths are in bytes. PCM is interleaved and little-endian: CAROVEL_U8
 *    is unsigned with silence at 128, CAROVEL_S16, CAROVEL_S24 (3 bytes a
 *    sample) and CAROVEL_S32 are signed, CAROVEL_F32 is 32-bit IEEE float
 *    with full scale at 1.0 (a float mix keeps samples beyond it).
 *  - Source 0 is the master: a mixing pass takes frames only when source 0
 *    has one queued.
 *
 * Rates run from 1 to CAROVEL_MAX_RATE samples per second; a rate above it
 * or a type outside carovel_sample_type is CAROVEL_UNSUPPORTED_FORMAT
 * wherever a format is given; the other limits are those of the C++ calls
 * (e.g. a zero rate or channel count is a bad argument to an open call and
 * an unsupported format of a block fed).
 *
 * Minimal host (host-driven passes, no thread of the library's):
 *
 *   static void on_mix(const void* master, size_t master_len, const void* mix,
 *                      size_t mix_len, void* user, void* tag) {
 *       fwrite(mix, 1, mix_len, (FILE*)user);
 *   }
 *   ...
 *   carovel_format fmt = {48000, 2, CAROVEL_S16};
 *   carovel_mixer* m = carovel_mixer_create();
 *   carovel_mixer_open_manual(m, &fmt, 3840, on_mix, out);   20 ms frames
 *   carovel_mixer_add(m, 0, voice, voice_len, &fmt, NULL);
 *   carovel_mixer_add(m, 1, music, music_len, &music_fmt, NULL);
 *   carovel_mixer_flush_source(m, 0, NULL);
 *   carovel_mixer_flush_source(m, 1, NULL);
 *   carovel_mixer_mix_pending(m, 1000000);
 *   carovel_mixer_destroy(m);
 */
#ifndef CAROVEL_CAROVEL_C_H
#define CAROVEL_CAROVEL_C_H

#include <stddef.h>
#include <stdint.h>

#include "carovel/export.h"
#include "carovel/version.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Status codes ------------------------------------------------------ */

/* The values of _Carovel::Status (carovel/status.h), one for one, followed
 * by the two this layer adds. */
enum {
    CAROVEL_OK = 0,
    /* The object is not open. */
    CAROVEL_NOT_OPEN = 1,
    /* Open on a mixer that is already open; a setting that is only taken
     * while the mixer is closed. */
    CAROVEL_ALREADY_OPEN = 2,
    /* An argument out of its documented range (null handle or pointer, a
     * length above INT_MAX, a frame length above 2^30 or not a whole number
     * of sample blocks, a gain or limiter setting out of range, ...). */
    CAROVEL_BAD_ARGUMENT = 3,
    /* A PCM format this version cannot convert or mix (see above). */
    CAROVEL_UNSUPPORTED_FORMAT = 4,
    CAROVEL_OUT_OF_MEMORY = 5,
    /* The converter stopped consuming input although whole sample blocks
     * were offered. */
    CAROVEL_NO_PROGRESS = 6,
    /* The call is not allowed from inside the mixer's callbacks. */
    CAROVEL_INSIDE_CALLBACK = 7,
    /* The mixer's output thread could not be started. */
    CAROVEL_THREAD_START_FAILED = 8,
    /* carovel_mixer_mix_pending on a mixer opened with carovel_mixer_open,
     * whose output thread runs the passes. */
    CAROVEL_NOT_HOST_DRIVEN = 9,
    /* carovel_mixer_get_source_stats: the mixer has no such source. */
    CAROVEL_NO_SUCH_SOURCE = 1000,
    /* The library failed in a way its documentation does not foresee (an
     * unexpected exception inside it). Not expected to happen. */
    CAROVEL_INTERNAL_ERROR = 1001
};

/* A short English description of a status, e.g. "out of memory". Never
 * null; an unknown value gives "unknown status". */
CAROVEL_API const char* carovel_status_text(int status);

/* ---- Version ------------------------------------------------------------ */

/* The version of the library the program runs with, "major.minor.patch"
 * (CAROVEL_VERSION_STRING in carovel/version.h is the version it was compiled
 * against), and the same as major * 10000 + minor * 100 + patch. */
CAROVEL_API const char* carovel_version_string(void);
CAROVEL_API unsigned carovel_version_number(void);

/* ---- PCM formats -------------------------------------------------------- */

/* The highest rate any call takes, in samples per second. */
#define CAROVEL_MAX_RATE 768000u

typedef enum carovel_sample_type {
    CAROVEL_U8,  /* 8-bit unsigned, silence at 128 */
    CAROVEL_S16, /* 16-bit signed */
    CAROVEL_S24, /* 24-bit signed in 3 bytes */
    CAROVEL_S32, /* 32-bit signed */
    CAROVEL_F32  /* 32-bit float, full scale 1.0 */
} carovel_sample_type;

/* A PCM format: sample blocks per second, channels per block and the type of
 * each sample. */
typedef struct carovel_format {
    uint32_t rate;
    uint16_t channels;
    carovel_sample_type type;
} carovel_format;

/* ---- Mixer (_Carovel::CMixer) ------------------------------------------- */

typedef struct carovel_mixer carovel_mixer;

/* Receives every mixing result: the master frame (source 0's) and the mix of
 * all sources, the user pointer given to the open call and the tag that came
 * with the master frame. Both buffers belong to the mixer and are valid only
 * during the call. In live mode, passes without the master give a master
 * frame of length 0 and a null tag. Runs on the mixer's output thread
 * (carovel_mixer_open) or inside carovel_mixer_mix_pending
 * (carovel_mixer_open_manual). */
typedef void (*carovel_mix_fn)(const void* master, size_t master_len, const void* mix,
                               size_t mix_len, void* user, void* tag);

/* Receives one mix-minus output: for a source, the mix of every other source
 * of the pass. Called once per source per pass, right after the
 * carovel_mix_fn of the same pass and on the same thread. The buffer belongs
 * to the mixer and is valid only during the call. */
typedef void (*carovel_minus_fn)(long source, const void* frame, size_t len, void* user);

/* A new closed mixer, or null when memory runs out. */
CAROVEL_API carovel_mixer* carovel_mixer_create(void);
/* Closes the mixer when it is open, waits for its output thread to end and
 * frees it. May be called from inside the mix callback of a mixer opened
 * with carovel_mixer_open when no other thread is inside a call on it; never
 * from inside carovel_mixer_mix_pending. A null handle does nothing. */
CAROVEL_API void carovel_mixer_destroy(carovel_mixer* m);

/* Opens the mixer with the mixing format mix and frames of frame_bytes (a
 * whole number of sample blocks, at most 2^30), and starts the output
 * thread, which runs a pass every frame period and calls fn with user.
 * Fails, changing nothing, with CAROVEL_ALREADY_OPEN, CAROVEL_BAD_ARGUMENT
 * (null mix or fn, frame_bytes 0, above 2^30 or not a whole number of
 * sample blocks, live-mode settings that do not fit the frames),
 * CAROVEL_UNSUPPORTED_FORMAT, CAROVEL_INSIDE_CALLBACK,
 * CAROVEL_THREAD_START_FAILED or CAROVEL_OUT_OF_MEMORY. */
CAROVEL_API int carovel_mixer_open(carovel_mixer* m, const carovel_format* mix, size_t frame_bytes,
                                   carovel_mix_fn fn, void* user);
/* Opens the mixer for host-driven passes: as carovel_mixer_open, but no
 * thread starts; carovel_mixer_mix_pending runs the passes and the callbacks
 * on the caller's thread. Live mode needs the output thread: with live mode
 * set, this fails with CAROVEL_BAD_ARGUMENT. */
CAROVEL_API int carovel_mixer_open_manual(carovel_mixer* m, const carovel_format* mix,
                                          size_t frame_bytes, carovel_mix_fn fn, void* user);

/* Feeds len bytes of source's audio in format fmt (converted when it is not
 * the mixing format), copying them; tag comes back with the master frame it
 * ends up in. A frame completed by bytes of several calls carries the tag of
 * the call that completed it. len 0 is accepted and queues nothing. Fails,
 * keeping everything accepted before, with CAROVEL_NOT_OPEN,
 * CAROVEL_BAD_ARGUMENT (null fmt, null data with len above 0, len above
 * INT_MAX), CAROVEL_UNSUPPORTED_FORMAT, CAROVEL_NO_PROGRESS or
 * CAROVEL_OUT_OF_MEMORY (then the bytes already converted stay staged; do
 * not feed the block again). */
CAROVEL_API int carovel_mixer_add(carovel_mixer* m, long source, const void* data, size_t len,
                                  const carovel_format* fmt, void* tag);
/* Ends source's stream so that every byte it was fed is mixed: what its
 * converter holds back is converted, and its last partial frame is padded
 * with silence and queued with tag. Succeeds for a source with nothing
 * pending or unknown to the mixer. Fails with CAROVEL_NOT_OPEN,
 * CAROVEL_INSIDE_CALLBACK or CAROVEL_OUT_OF_MEMORY. */
CAROVEL_API int carovel_mixer_flush_source(carovel_mixer* m, long source, void* tag);
/* Runs passes of a mixer opened with carovel_mixer_open_manual while source
 * 0 has a frame queued, at most max_passes, calling the callbacks of each
 * pass before the next. Returns the number of passes run: 0 when max_passes
 * is below 1 or nothing is queued, and 0 with the last status
 * CAROVEL_NOT_OPEN, CAROVEL_NOT_HOST_DRIVEN or CAROVEL_INSIDE_CALLBACK when
 * it cannot run passes. */
CAROVEL_API int carovel_mixer_mix_pending(carovel_mixer* m, int max_passes);
/* Discards every source's staged partial frame and every queued frame. A
 * source with a gain of its own (carovel_mixer_set_source_gain) keeps it. */
CAROVEL_API void carovel_mixer_clear(carovel_mixer* m);
/* Starts the next pass of the output thread at once instead of at the end
 * of the period. Any thread, any time; nothing in host-driven mode. */
CAROVEL_API void carovel_mixer_notify(carovel_mixer* m);
/* Stops the output thread (returning within about 200 ms), forgets the
 * callbacks and drops every source's intake state. May be called from
 * inside the callbacks. The mixer may be opened again. Called from another
 * thread, it may return while a callback is still running (a slow one, or
 * the mix-minus outputs of a pass whose mix was already delivered, which
 * follow it): keep what the callbacks' user pointers point to until the
 * next successful open or carovel_mixer_destroy, which wait for them. */
CAROVEL_API void carovel_mixer_close(carovel_mixer* m);
/* 1 while the mixer is open, else 0. Any thread, any time. */
CAROVEL_API int carovel_mixer_is_open(const carovel_mixer* m);
/* The status of the last call on m that returns a status (or of
 * carovel_mixer_mix_pending): CAROVEL_OK after a success. The statistics
 * calls leave it alone. With calls from several threads, that of the call
 * that finished last. CAROVEL_BAD_ARGUMENT for a null handle. */
CAROVEL_API int carovel_mixer_last_status(const carovel_mixer* m);

/* Threading: carovel_mixer_add, _flush_source, _clear, _open, _open_manual,
 * _mix_pending, _set_mix_minus, _set_limiter, _set_live_mode, _set_resampler
 * and _close must not overlap each other; _notify, _is_open,
 * _set_source_gain, _last_status and the statistics calls may come from any
 * thread at any time. From inside
 * the callbacks a host may call _close, _notify, _set_source_gain and the
 * statistics calls; see carovel/mixer.h for the rest. */

/* Mix-minus outputs: from the next open on, every source receives fn calls
 * with the mix of all the other sources of each pass, with user. With
 * include_idle nonzero, sources present without a frame in a pass receive
 * the full mix too. A null fn turns the outputs off (the default). Fails
 * with CAROVEL_ALREADY_OPEN while the mixer is open. */
CAROVEL_API int carovel_mixer_set_mix_minus(carovel_mixer* m, carovel_minus_fn fn, void* user,
                                            int include_idle);
/* Limits the mix and every mix-minus output (enabled nonzero) instead of
 * clamping them: threshold_dbfs -60..0, release_ms 1..10000 (the usual
 * values are -1 and 100). Takes effect at once when open and stays for later
 * opens. Fails, changing nothing, with CAROVEL_BAD_ARGUMENT for settings out
 * of range. */
CAROVEL_API int carovel_mixer_set_limiter(carovel_mixer* m, int enabled, float threshold_dbfs,
                                          float release_ms);
/* Sets source's gain in the mix and in the other sources' mix-minus outputs:
 * 0 (muted) to 16; 1 is plain mixing. Holds until the source is dropped as
 * idle or the mixer closes. Fails with CAROVEL_NOT_OPEN,
 * CAROVEL_BAD_ARGUMENT (out of range or NaN) or CAROVEL_OUT_OF_MEMORY. */
CAROVEL_API int carovel_mixer_set_source_gain(carovel_mixer* m, long source, float gain);
/* Live mode (see CMixer::SetLiveMode): every source is kept at about
 * target_ms of backlog and never above max_ms; when the master has sent
 * nothing for master_timeout_ms (0: max_ms) passes go on without it.
 * (0, 0, 0) turns it off. Call it while the mixer is closed; it applies from
 * the next carovel_mixer_open. Fails with CAROVEL_ALREADY_OPEN,
 * CAROVEL_INSIDE_CALLBACK or CAROVEL_BAD_ARGUMENT (target_ms below 1 or not
 * below max_ms, max_ms above 60000, master_timeout_ms above 3600000). */
CAROVEL_API int carovel_mixer_set_live_mode(carovel_mixer* m, unsigned target_ms, unsigned max_ms,
                                            unsigned master_timeout_ms);

/* The resampler of rate conversion (_Carovel::Resampler in
 * carovel/wave_convert.h): CAROVEL_RESAMPLER_LOW_LATENCY, the default, holds
 * back a few milliseconds of a converted stream (real-time use);
 * CAROVEL_RESAMPLER_FAST costs 3.4 to 7.4 times less but holds back 20 to
 * 120 ms, depending on the rates (offline use). */
enum { CAROVEL_RESAMPLER_LOW_LATENCY = 0, CAROVEL_RESAMPLER_FAST = 1 };

/* The resampler of every source converted to the mixing rate (see
 * CMixer::SetResampler), from the next open on. Fails, changing nothing,
 * with CAROVEL_ALREADY_OPEN, CAROVEL_INSIDE_CALLBACK or CAROVEL_BAD_ARGUMENT
 * (not one of the CAROVEL_RESAMPLER_ values). Serialised like
 * _set_live_mode. */
CAROVEL_API int carovel_mixer_set_resampler(carovel_mixer* m, int resampler);

/* ---- Statistics ---------------------------------------------------------- */

/* One source of a mixer (see _Carovel::SourceStats in carovel/stats.h). */
typedef struct carovel_source_stats {
    long source;
    /* Whole frames queued for the next passes, and the queued frames with
     * the bytes staged toward the next frame in milliseconds. */
    uint64_t backlog_frames;
    double backlog_ms;
    uint64_t frames_mixed;
    /* Frames cut by live mode's ceiling. */
    uint64_t frames_cut;
    /* Passes that took no frame of the source between two that did. */
    uint64_t dropouts;
    /* Live mode's resampling trim, parts per million (positive: faster). */
    int32_t trim_ppm;
    /* The level of the last frame mixed in dBFS; has_level is 0 (and both
     * are minus infinity) before the first frame. */
    int has_level;
    double rms_dbfs;
    double peak_dbfs;
    /* Samples of a float source beyond full scale, clamped into an integer
     * mixing format. */
    uint64_t clipped_samples;
} carovel_source_stats;

/* The mixer as a whole (see _Carovel::MixerStats). */
typedef struct carovel_mixer_stats {
    uint64_t callback_exceptions;
    uint32_t sources;
    int live_mode;
    uint32_t target_ms;
    uint32_t max_ms;
    uint32_t master_timeout_ms;
    uint64_t catch_up_passes;
    uint64_t passes_without_master;
    /* Live mode's own cost: the passes it ran, and its mean time per pass
     * in microseconds spent steering the sources and trimming them. */
    uint64_t live_passes;
    double live_control_us_per_pass;
    double live_trim_us_per_pass;
} carovel_mixer_stats;

/* Fills *out with source's figures. Returns 0, CAROVEL_NO_SUCH_SOURCE (out
 * unchanged) when the mixer has no such source, or CAROVEL_BAD_ARGUMENT for
 * a null m or out. Any thread, any time. */
CAROVEL_API int carovel_mixer_get_source_stats(const carovel_mixer* m, long source,
                                               carovel_source_stats* out);
/* Fills out[0, capacity) with every source's figures in the order they
 * appeared (out may be null when capacity is 0) and, when mixer is not
 * null, *mixer with the mixer's. Returns how many sources there are, which
 * may exceed capacity; 0 for a null m. Allocates nothing for a capacity up
 * to 64, so a callback may call it every pass. Any thread, any time. */
CAROVEL_API size_t carovel_mixer_get_all_source_stats(const carovel_mixer* m,
                                                      carovel_source_stats* out, size_t capacity,
                                                      carovel_mixer_stats* mixer);

/* ---- Frame mixer (_Carovel::CWaveMix) ------------------------------------ */

/* Per-source queues of whole frames and the mixing pass, without intake,
 * conversion or thread: the host queues frames already in one format and
 * runs the passes. All calls may come from any threads at once, except
 * carovel_frame_mixer_init, which must not overlap a pass. */
typedef struct carovel_frame_mixer carovel_frame_mixer;

/* A new frame mixer for samples of type (see carovel_frame_mixer_init), or
 * null when memory runs out or type is not supported. */
CAROVEL_API carovel_frame_mixer* carovel_frame_mixer_create(carovel_sample_type type);
CAROVEL_API void carovel_frame_mixer_destroy(carovel_frame_mixer* w);
/* Drops every source and queued frame and sets the sample type (CAROVEL_F32:
 * sums in float, never clamped). Fails with CAROVEL_UNSUPPORTED_FORMAT for a
 * value outside the enum. */
CAROVEL_API int carovel_frame_mixer_init(carovel_frame_mixer* w, carovel_sample_type type);
/* Drops every source with its queued frames and gains. */
CAROVEL_API void carovel_frame_mixer_clear(carovel_frame_mixer* w);
/* Queues a copy of len bytes on source (one frame). Fails with
 * CAROVEL_BAD_ARGUMENT (null data with len above 0, len above INT_MAX) or
 * CAROVEL_OUT_OF_MEMORY. */
CAROVEL_API int carovel_frame_mixer_add(carovel_frame_mixer* w, long source, const void* data,
                                        size_t len, void* tag);
/* Sets source's gain (0..16). Fails with CAROVEL_BAD_ARGUMENT or
 * CAROVEL_OUT_OF_MEMORY. */
CAROVEL_API int carovel_frame_mixer_set_gain(carovel_frame_mixer* w, long source, float gain);
/* Turns the limiter on (enabled nonzero) or off, for blocks of channels at
 * rate, with threshold_dbfs -60..0 and release_ms 1..10000. Fails with
 * CAROVEL_BAD_ARGUMENT for settings out of range (ignored when turning it
 * off). */
CAROVEL_API int carovel_frame_mixer_set_limiter(carovel_frame_mixer* w, int enabled,
                                                uint16_t channels, uint32_t rate,
                                                float threshold_dbfs, float release_ms);
/* One mixing pass. On entry *master_len and *mix_len hold the capacities of
 * master and mix; on return the bytes written, both 0 when source 0 had no
 * frame. *tag (when tag is not null) receives the master frame's tag. Returns
 * 1 when the pass took frames, 0 when it did not (or for a null w or length
 * pointer, which leaves everything unchanged). Capacities above INT_MAX
 * count as INT_MAX. */
CAROVEL_API int carovel_frame_mixer_mix(carovel_frame_mixer* w, void* master, size_t* master_len,
                                        void* mix, size_t* mix_len, void** tag);

/* Receives one mix-minus output of a carovel_frame_mixer_mix_minus pass:
 * source, the mix of every other source of the pass (len bytes) and whether
 * source had a frame in the pass (had_frame 1) or is an idle source given
 * the full mix (0). The buffer belongs to the frame mixer and is valid only
 * during the call. */
typedef void (*carovel_frame_minus_fn)(long source, const void* frame, size_t len, int had_frame,
                                       void* user);

/* One mixing pass with mix-minus outputs (CWaveMix::GetMixedFrame with a
 * CMixMinusFrames): master, mix, their lengths and tag as for
 * carovel_frame_mixer_mix (a null buffer has no room), and then, on the
 * caller's thread before the call returns, one fn call with user per
 * output, in the order the sources first appeared: first every source that
 * took part in the pass (source 0 among them), then, with include_idle
 * nonzero, every source present without a frame in this pass, which
 * receives the full mix. Each output is as long as the mix computed from
 * whole samples (see CMixMinusFrames); the source's gain and the limiter
 * apply as in the mix. A pass that takes no frames, or runs with no room for
 * the mix, makes no fn call.
 *
 * Returns CAROVEL_OK after a pass, also when source 0 had no frame (then
 * both lengths are 0 and *tag is left alone; with room for the master, a
 * nonzero *master_len tells that a pass took frames unless the master frame
 * queued was empty). Fails, running no pass and leaving the lengths and the
 * queues unchanged, with CAROVEL_BAD_ARGUMENT for a null w, master_len,
 * mix_len or fn, or a capacity above INT_MAX. Fails with
 * CAROVEL_OUT_OF_MEMORY, making no fn call, when memory ran out: either
 * before the pass took frames (both lengths 0, every frame still queued) or
 * only for the outputs (master and mix written as usual).
 *
 * fn may call the frame mixer's functions, a pass on it included, but not
 * carovel_frame_mixer_destroy. Passes from several threads at once are fine
 * (they run one at a time); each call's outputs go to its own fn. */
CAROVEL_API int carovel_frame_mixer_mix_minus(carovel_frame_mixer* w, void* master,
                                              size_t* master_len, void* mix, size_t* mix_len,
                                              void** tag, int include_idle,
                                              carovel_frame_minus_fn fn, void* user);
/* The status of the last _add, _set_gain, _set_limiter or _mix_minus (or
 * _init). */
CAROVEL_API int carovel_frame_mixer_last_status(const carovel_frame_mixer* w);

/* ---- Sample utilities (CMixer::ChangeVolume, CMixer::CopyChannel) -------- */

/* In-place changes to a buffer of len bytes of interleaved PCM of type.
 * Only whole samples (for carovel_copy_channel, whole stereo pairs) are
 * touched: the bytes of a partial one at the end stay as they are. Any
 * thread, any time; they keep no state. Both fail, leaving the buffer
 * untouched, with CAROVEL_UNSUPPORTED_FORMAT for CAROVEL_F32 or a value
 * outside the enum, or CAROVEL_BAD_ARGUMENT for a null buf with len above 0
 * or len above INT_MAX; len 0 succeeds and does nothing (buf may then be
 * null). */

/* Scales every sample by factor, truncating toward zero and clamping to the
 * type's range (CAROVEL_U8 is scaled around 128). Any factor is accepted:
 * negative ones invert, infinite ones clamp, NaN gives silence. */
CAROVEL_API int carovel_change_volume(void* buf, size_t len, carovel_sample_type type,
                                      float factor);

/* The channels of carovel_copy_channel. */
enum { CAROVEL_CHANNEL_LEFT = 0, CAROVEL_CHANNEL_RIGHT = 1 };

/* Treats buf as stereo and copies channel (CAROVEL_CHANNEL_LEFT or
 * CAROVEL_CHANNEL_RIGHT) of every sample pair over the other. Any other
 * channel fails with CAROVEL_BAD_ARGUMENT. */
CAROVEL_API int carovel_copy_channel(void* buf, size_t len, carovel_sample_type type, int channel);

/* ---- Converter (_Carovel::CWaveConvert) ---------------------------------- */

/* Step-by-step conversion of a PCM stream between formats (channels, rate,
 * sample type); see carovel/wave_convert.h for the channel mapping and the
 * resampler. One thread at a time per converter. */
typedef struct carovel_converter carovel_converter;

/* A new closed converter, or null when memory runs out. */
CAROVEL_API carovel_converter* carovel_converter_create(void);
CAROVEL_API void carovel_converter_destroy(carovel_converter* c);
/* Opens (or reopens) the conversion from one format to another, with the
 * default resampler (CAROVEL_RESAMPLER_LOW_LATENCY). Fails, leaving the
 * converter closed, with CAROVEL_BAD_ARGUMENT (null format),
 * CAROVEL_UNSUPPORTED_FORMAT or CAROVEL_OUT_OF_MEMORY. */
CAROVEL_API int carovel_converter_open(carovel_converter* c, const carovel_format* from,
                                       const carovel_format* to);
/* The same with the given resampler (a CAROVEL_RESAMPLER_ value; another
 * value fails with CAROVEL_BAD_ARGUMENT). */
CAROVEL_API int carovel_converter_open_with(carovel_converter* c, const carovel_format* from,
                                            const carovel_format* to, int resampler);
CAROVEL_API void carovel_converter_close(carovel_converter* c);
/* One step: reads whole source blocks of src[0, *src_len), writes whole
 * destination blocks to dst[0, *dst_len), and sets *src_len to the bytes
 * used and *dst_len to the bytes written. It may use fewer bytes than
 * offered (offer the rest again); a step that can make no progress succeeds
 * with both 0. Fails, both lengths unchanged, with CAROVEL_NOT_OPEN or
 * CAROVEL_BAD_ARGUMENT (null length pointer, null buffer with a length above
 * 0). */
CAROVEL_API int carovel_converter_convert(carovel_converter* c, const void* src, size_t* src_len,
                                          void* dst, size_t* dst_len);
/* Writes what the resampler still holds back to dst[0, *dst_len), setting
 * *dst_len to the bytes written; call again while it fills the room. After
 * the last of it the stream starts afresh. Fails as carovel_converter_convert. */
CAROVEL_API int carovel_converter_flush(carovel_converter* c, void* dst, size_t* dst_len);
/* The bytes carovel_converter_flush would still write; 0 when not open. */
CAROVEL_API size_t carovel_converter_pending(const carovel_converter* c);
CAROVEL_API int carovel_converter_last_status(const carovel_converter* c);

#ifdef __cplusplus
}
#endif

#endif /* CAROVEL_CAROVEL_C_H */
