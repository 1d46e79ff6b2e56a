// Internal records of CMixer: the per-source intake record and the state the
// output thread shares with its mixer.
#ifndef CAROVEL_MIXER_MIXER_INTERNAL_H
#define CAROVEL_MIXER_MIXER_INTERNAL_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "carovel/mixer.h"
#include "carovel/wave_convert.h"
#include "platform/event.h"

namespace _Carovel {

struct ByteFree {
    void operator()(char* p) const noexcept { std::free(p); }
};

// One source's intake state.
struct tagWaveTrack {
    explicit tagWaveTrack(long id) : lTraceID(id) {}

    long lTraceID;
    std::uint32_t tLastFeed = 0;              // seconds clock of the last AddFrame
    std::unique_ptr<CWaveConvert> pConvert;   // created on the first converted block
    bool bConvertOpen = false;                // whether pConvert is open for the format below
    std::unique_ptr<char, ByteFree> pBuffer;  // staging buffer
    unsigned long dwDataLen = 0;     // staged bytes, always less than a frame between calls
    unsigned long dwBufferSize = 0;  // capacity of pBuffer
    unsigned short wChannels = 0;    // the source format pConvert was last opened for
    unsigned short wSamplesPerSec = 0;
    unsigned short wBitsPerSample = 0;
    // Bytes of an incomplete source block in the format above, completed by
    // the next block in that format.
    std::vector<unsigned char> partialBlock;
};

// Shared by a mixer and its output thread, so that a thread that outlives a
// Close (or its mixer, when destroyed from inside the callback) touches only
// memory it co-owns.
struct MixOutState {
    std::atomic<bool> run{true};
    // Held by Open until the mixer is set up, which the thread waits for;
    // then taken by the thread to check run before it starts a callback, and
    // by Close to clear run.
    std::mutex gate;

    std::mutex doneMutex;
    std::condition_variable doneCond;
    bool done = false;

    MixOutCallback callback = nullptr;
    void* userData = nullptr;
    unsigned short frameSize = 0;
    unsigned periodMs = 0;
    std::shared_ptr<CAutoResetEvent> event;
    std::vector<char> masterBuffer;  // frameSize bytes each, handed to the callback
    std::vector<char> mixBuffer;

    void MarkDone() {
        {
            std::lock_guard<std::mutex> guard(doneMutex);
            done = true;
        }
        doneCond.notify_all();
    }
    bool WaitDone(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(doneMutex);
        return doneCond.wait_for(lock, timeout, [this] { return done; });
    }
    void WaitDone() {
        std::unique_lock<std::mutex> lock(doneMutex);
        doneCond.wait(lock, [this] { return done; });
    }
};

// The output period for a format: the frame's duration in whole
// milliseconds, at least 5.
unsigned MixPeriodMs(unsigned short channels, unsigned short samplesPerSec,
                     unsigned short bitsPerSample, unsigned short frameSize);

}  // namespace _Carovel

#endif  // CAROVEL_MIXER_MIXER_INTERNAL_H
