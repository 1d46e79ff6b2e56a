/* A C host of carovel.dll, built against its import library only (and of an
 * installed libcarovel, by tests/tools/install-test.sh): it mixes
 * a master and a second source in another format through the C interface
 * (host-driven passes), checks every mix and tag, the statuses of a refused
 * open and feed, and the version; then a frame mixer's pass with mix-minus
 * outputs and the two sample utilities. Exit status 0 when all is right;
 * otherwise it says what was not. */
#include <carovel/carovel_c.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#define FRAMES 12
#define RATE 8000
#define FRAME_BYTES 320 /* 20 ms of 8000 Hz mono 16-bit */
#define SAMPLES (FRAME_BYTES / 2)

static int g_failures = 0;
static int g_mixes = 0;
static int g_tags[FRAMES];

static void check(int ok, const char* what, int frame) {
    if (!ok) {
        ++g_failures;
        printf("consumer_c: frame %d: %s\n", frame, what);
    }
}

/* Frame k of the master: every sample 100 * (k + 1) plus its position. */
static int16_t master_sample(int frame, int i) {
    return (int16_t)(100 * (frame + 1) + i);
}

static int16_t get16(const unsigned char* p) {
    return (int16_t)(uint16_t)(p[0] | (p[1] << 8));
}

static void on_mix(const void* master, size_t master_len, const void* mix, size_t mix_len,
                   void* user, void* tag) {
    const unsigned char* m = (const unsigned char*)master;
    const unsigned char* x = (const unsigned char*)mix;
    const int k = g_mixes++;
    int master_right = 1;
    int mix_right = 1;
    int i;
    check(user == &g_mixes, "the callback got the wrong user pointer", k);
    check(k < FRAMES, "more mixes than frames fed", k);
    if (k >= FRAMES) {
        return;
    }
    check(master_len == FRAME_BYTES && mix_len == FRAME_BYTES, "wrong frame length", k);
    check(tag == &g_tags[k], "the master frame came with the wrong tag", k);
    for (i = 0; i < SAMPLES && (size_t)(2 * i + 1) < master_len && (size_t)(2 * i + 1) < mix_len;
         ++i) {
        /* Source 7 is stereo 24-bit, left 2000 and right 1000 (in 16-bit
         * units) minus k, which the mixer averages to one channel. */
        master_right = master_right && get16(m + 2 * i) == master_sample(k, i);
        mix_right = mix_right && get16(x + 2 * i) == master_sample(k, i) + 1500 - k;
    }
    check(master_right, "the master frame differs from the one fed", k);
    check(mix_right, "the mix is not the sum of the master and source 7", k);
}

static void put24(unsigned char* p, int value16) {
    const uint32_t v = (uint32_t)(value16 * 256);
    p[0] = (unsigned char)(v & 0xffu);
    p[1] = (unsigned char)((v >> 8) & 0xffu);
    p[2] = (unsigned char)((v >> 16) & 0xffu);
}

static void put16(unsigned char* p, int v) {
    p[0] = (unsigned char)((unsigned)v & 0xffu);
    p[1] = (unsigned char)(((unsigned)v >> 8) & 0xffu);
}

/* Sources 0, 1 and 2 (present, no frame) in a frame mixer: the mix-minus
 * outputs are 1's frame for 0, 0's for 1, and the whole mix for idle 2. */
static int g_outputs = 0;

static void on_frame_minus(long source, const void* frame, size_t len, int had_frame, void* user) {
    const unsigned char* f = (const unsigned char*)frame;
    const int want = source == 0 ? 7 : source == 1 ? 1000 : 1007;
    int i;
    int right = len == 8 && had_frame == (source != 2);
    for (i = 0; right && i < 4; ++i) {
        right = get16(f + 2 * i) == want;
    }
    check(user == &g_outputs, "the mix-minus callback got the wrong user pointer", -1);
    check(right, "a mix-minus output of the frame mixer is wrong", (int)source);
    ++g_outputs;
}

static void frame_mixer_and_utilities(void) {
    unsigned char a[8];
    unsigned char b[8];
    unsigned char master[8];
    unsigned char mix[8];
    unsigned char stereo[8];
    size_t master_len = sizeof master;
    size_t mix_len = sizeof mix;
    void* tag = NULL;
    int i;
    carovel_frame_mixer* w = carovel_frame_mixer_create(CAROVEL_S16);
    if (w == NULL) {
        check(0, "carovel_frame_mixer_create failed", -1);
        return;
    }
    for (i = 0; i < 4; ++i) {
        put16(a + 2 * i, 1000);
        put16(b + 2 * i, 7);
    }
    check(carovel_frame_mixer_set_gain(w, 2, 1.0f) == CAROVEL_OK, "set_gain failed", -1);
    check(carovel_frame_mixer_add(w, 0, a, sizeof a, &g_tags[0]) == CAROVEL_OK &&
              carovel_frame_mixer_add(w, 1, b, sizeof b, NULL) == CAROVEL_OK,
          "feeding the frame mixer failed", -1);
    check(carovel_frame_mixer_mix_minus(w, master, &master_len, mix, &mix_len, &tag, 1,
                                        on_frame_minus, &g_outputs) == CAROVEL_OK,
          "the mix-minus pass failed", -1);
    check(master_len == 8 && mix_len == 8 && tag == &g_tags[0] && get16(mix) == 1007 &&
              g_outputs == 3,
          "the mix-minus pass gave the wrong mix or outputs", -1);
    check(carovel_frame_mixer_mix_minus(w, master, NULL, mix, &mix_len, &tag, 1, on_frame_minus,
                                        &g_outputs) == CAROVEL_BAD_ARGUMENT,
          "a pass without a length pointer was not refused", -1);
    carovel_frame_mixer_destroy(w);

    for (i = 0; i < 4; ++i) {
        put16(stereo + 2 * i, i % 2 == 0 ? 1000 : -600);
    }
    check(carovel_change_volume(stereo, sizeof stereo, CAROVEL_S16, 0.5f) == CAROVEL_OK &&
              get16(stereo) == 500 && get16(stereo + 2) == -300,
          "carovel_change_volume did not halve the samples", -1);
    check(carovel_copy_channel(stereo, sizeof stereo, CAROVEL_S16, CAROVEL_CHANNEL_RIGHT) ==
                  CAROVEL_OK &&
              get16(stereo) == -300 && get16(stereo + 4) == -300,
          "carovel_copy_channel did not copy the right channel", -1);
    check(carovel_copy_channel(stereo, sizeof stereo, CAROVEL_S16, 2) == CAROVEL_BAD_ARGUMENT &&
              carovel_change_volume(stereo, sizeof stereo, CAROVEL_F32, 1.0f) ==
                  CAROVEL_UNSUPPORTED_FORMAT,
          "a bad channel or sample type was not refused", -1);
}

int main(void) {
    const carovel_format mixing = {RATE, 1, CAROVEL_S16};
    const carovel_format other = {RATE, 2, CAROVEL_S24};
    const carovel_format too_fast = {CAROVEL_MAX_RATE + 1, 1, CAROVEL_S16};
    unsigned char master[FRAME_BYTES];
    unsigned char second[SAMPLES * 6];
    int k;
    int i;
    int passes;
    carovel_mixer* mixer = carovel_mixer_create();
    if (mixer == NULL) {
        puts("consumer_c: carovel_mixer_create failed");
        return 1;
    }
    check(carovel_mixer_open(mixer, &too_fast, FRAME_BYTES, on_mix, &g_mixes) ==
              CAROVEL_UNSUPPORTED_FORMAT,
          "an open above the highest rate was not refused as an unsupported format", -1);
    check(carovel_mixer_last_status(mixer) == CAROVEL_UNSUPPORTED_FORMAT,
          "the last status is not that of the refused open", -1);
    if (carovel_mixer_open_manual(mixer, &mixing, FRAME_BYTES, on_mix, &g_mixes) != CAROVEL_OK) {
        printf("consumer_c: open failed: %s\n",
               carovel_status_text(carovel_mixer_last_status(mixer)));
        return 1;
    }
    for (k = 0; k < FRAMES; ++k) {
        for (i = 0; i < SAMPLES; ++i) {
            const int16_t v = master_sample(k, i);
            master[2 * i] = (unsigned char)((uint16_t)v & 0xffu);
            master[2 * i + 1] = (unsigned char)(((uint16_t)v >> 8) & 0xffu);
            put24(second + 6 * i, 2000 - k);
            put24(second + 6 * i + 3, 1000 - k);
        }
        check(carovel_mixer_add(mixer, 7, second, sizeof second, &other, NULL) == CAROVEL_OK,
              "feeding source 7 failed", k);
        check(carovel_mixer_add(mixer, 0, master, sizeof master, &mixing, &g_tags[k]) == CAROVEL_OK,
              "feeding the master failed", k);
    }
    check(carovel_mixer_add(mixer, 0, master, sizeof master, &too_fast, NULL) ==
              CAROVEL_UNSUPPORTED_FORMAT,
          "a block above the highest rate was not refused", -1);
    passes = carovel_mixer_mix_pending(mixer, 100);
    check(passes == FRAMES && g_mixes == FRAMES, "not one pass per frame fed", passes);
    carovel_mixer_close(mixer);
    check(!carovel_mixer_is_open(mixer), "the mixer is still open after close", -1);
    carovel_mixer_destroy(mixer);
    check(strcmp(carovel_version_string(), CAROVEL_VERSION_STRING) == 0,
          "the DLL's version differs from the header's", -1);
    frame_mixer_and_utilities();
    printf("consumer_c: %d frames of 2 sources mixed through the C interface: %s\n", g_mixes,
           g_failures == 0 ? "ok" : "WRONG");
    return g_failures == 0 ? 0 : 1;
}
