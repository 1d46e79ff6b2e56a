// A Windows host of carovel.dll, built against its import library only: it
// opens a mixer, feeds a master and a second source in another format, and
// checks every mix it receives, its tag, and a static utility exported with
// the class. Exit status 0 when all is right; otherwise it says what was not.
#include <carovel/carovel.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

constexpr int kFrames = 12;
constexpr unsigned short kRate = 8000;
constexpr unsigned short kFrameBytes = 320;  // 20 ms of 8000 Hz mono 16-bit
constexpr int kSamples = kFrameBytes / 2;

struct Received {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::vector<std::int16_t>> masters;
    std::vector<std::vector<std::int16_t>> mixes;
    std::vector<void*> tags;
};

std::vector<std::int16_t> Samples(const char* bytes, unsigned int len) {
    std::vector<std::int16_t> out(len / 2);
    std::memcpy(out.data(), bytes, out.size() * 2);
    return out;
}

void OnMix(char* master, unsigned int masterLen, char* mix, unsigned int mixLen, void* user,
           void* tag) {
    auto* got = static_cast<Received*>(user);
    const std::lock_guard<std::mutex> guard(got->lock);
    got->masters.push_back(Samples(master, masterLen));
    got->mixes.push_back(Samples(mix, mixLen));
    got->tags.push_back(tag);
    got->changed.notify_one();
}

// Frame k of the master: 16-bit mono, every sample 100 * (k + 1) plus its
// position, so that frames and samples cannot be mistaken for each other.
std::int16_t MasterSample(int frame, int i) {
    return static_cast<std::int16_t>(100 * (frame + 1) + i);
}

// Frame k of source 7: stereo 24-bit at the mixing rate, left 2000 and right
// 1000 (in 16-bit units) minus k, which the mixer averages to one channel.
std::int16_t OtherSample(int frame) {
    return static_cast<std::int16_t>(1500 - frame);
}

void Put24(std::vector<char>& out, int value16) {
    const std::int32_t v = value16 * 256;
    out.push_back(static_cast<char>(v & 0xff));
    out.push_back(static_cast<char>((v >> 8) & 0xff));
    out.push_back(static_cast<char>((v >> 16) & 0xff));
}

int g_failures = 0;

void Check(bool ok, const char* what, int frame) {
    if (!ok) {
        ++g_failures;
        std::printf("consumer: frame %d: %s\n", frame, what);
    }
}

}  // namespace

int main() {
    // A static member function exported with the class.
    std::int16_t loud[2] = {1000, -1000};
    _Carovel::CMixer::ChangeVolume(reinterpret_cast<char*>(loud), sizeof loud, 2, 0.5f);
    Check(loud[0] == 500 && loud[1] == -500, "ChangeVolume did not halve the samples", -1);

    Received got;
    _Carovel::CMixer mixer;
    if (!mixer.Open(1, kRate, 16, kFrameBytes, OnMix, &got) || !mixer.IsRun()) {
        std::puts("consumer: Open failed");
        return 1;
    }
    int tags[kFrames];
    for (int k = 0; k < kFrames; ++k) {
        std::vector<char> other;
        for (int i = 0; i < kSamples; ++i) {
            Put24(other, 2000 - k);
            Put24(other, 1000 - k);
        }
        std::vector<std::int16_t> master(kSamples);
        for (int i = 0; i < kSamples; ++i) {
            master[i] = MasterSample(k, i);
        }
        Check(
            mixer.AddFrame(7, other.data(), static_cast<int>(other.size()), 2, kRate, 24, nullptr),
            "AddFrame of source 7 failed", k);
        Check(mixer.AddFrame(0, reinterpret_cast<const char*>(master.data()), kFrameBytes, 1, kRate,
                             16, &tags[k]),
              "AddFrame of the master failed", k);
    }
    {
        // Twelve 20 ms periods; the time-out is generous for a loaded machine.
        std::unique_lock<std::mutex> lock(got.lock);
        got.changed.wait_for(lock, std::chrono::seconds(30),
                             [&got] { return got.mixes.size() >= kFrames; });
    }
    mixer.Close();
    Check(!mixer.IsRun(), "the mixer still runs after Close", -1);

    const std::lock_guard<std::mutex> guard(got.lock);
    if (got.mixes.size() != static_cast<std::size_t>(kFrames)) {
        std::printf("consumer: %zu mixes received, %d expected\n", got.mixes.size(), kFrames);
        return 1;
    }
    for (int k = 0; k < kFrames; ++k) {
        const auto& master = got.masters[k];
        const auto& mix = got.mixes[k];
        Check(master.size() == kSamples && mix.size() == kSamples, "wrong frame length", k);
        Check(got.tags[k] == &tags[k], "the master frame came with the wrong tag", k);
        bool masterRight = true;
        bool mixRight = true;
        for (std::size_t i = 0; i < master.size() && i < mix.size(); ++i) {
            const int n = static_cast<int>(i);
            masterRight = masterRight && master[i] == MasterSample(k, n);
            mixRight = mixRight && mix[i] == MasterSample(k, n) + OtherSample(k);
        }
        Check(masterRight, "the master frame differs from the one fed", k);
        Check(mixRight, "the mix is not the sum of the master and source 7", k);
    }
    std::printf("consumer: %d frames of 2 sources mixed through carovel.dll: %s\n", kFrames,
                g_failures == 0 ? "ok" : "WRONG");
    return g_failures == 0 ? 0 : 1;
}
