// Mixes one frame of two sources through an installed carovel and checks the
// sum, and checks that the library's version matches its headers' (and the
// version given as the first argument, if any). Exit status 0 when all is right.
#include <carovel/carovel.h>
#include <carovel/version.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

struct Received {
    std::mutex lock;
    std::condition_variable done;
    std::vector<std::int16_t> master;
    std::vector<std::int16_t> mix;
};

void OnMix(char* master, unsigned int masterLen, char* mix, unsigned int mixLen, void* user,
           void* /*tag*/) {
    auto* got = static_cast<Received*>(user);
    const std::lock_guard<std::mutex> guard(got->lock);
    got->master.resize(masterLen / 2);
    std::memcpy(got->master.data(), master, masterLen / 2 * 2);
    got->mix.resize(mixLen / 2);
    std::memcpy(got->mix.data(), mix, mixLen / 2 * 2);
    got->done.notify_one();
}

bool AllEqual(const std::vector<std::int16_t>& samples, std::int16_t value) {
    for (const std::int16_t s : samples) {
        if (s != value) {
            return false;
        }
    }
    return !samples.empty();
}

bool VersionMatches(const char* expected) {
    char fromParts[40];
    std::snprintf(fromParts, sizeof fromParts, "%d.%d.%d", CAROVEL_VERSION_MAJOR,
                  CAROVEL_VERSION_MINOR, CAROVEL_VERSION_PATCH);
    const char* library = _Carovel::GetVersionString();
    const unsigned number = _Carovel::GetVersionNumber();
    const bool ok =
        library != nullptr && std::strcmp(library, CAROVEL_VERSION_STRING) == 0 &&
        std::strcmp(library, fromParts) == 0 &&
        number == static_cast<unsigned>(CAROVEL_VERSION_MAJOR * 10000 +
                                        CAROVEL_VERSION_MINOR * 100 + CAROVEL_VERSION_PATCH) &&
        number == static_cast<unsigned>(CAROVEL_VERSION_NUMBER) &&
        (expected == nullptr || std::strcmp(library, expected) == 0);
    std::printf("consumer: library %s (%u), headers %s, expected %s: %s\n",
                library != nullptr ? library : "(null)", number, CAROVEL_VERSION_STRING,
                expected != nullptr ? expected : "any", ok ? "ok" : "WRONG");
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (!VersionMatches(argc > 1 ? argv[1] : nullptr)) {
        return 1;
    }

    constexpr unsigned short kFrameBytes = 320;  // 20 ms of 8000 Hz mono 16-bit
    Received got;
    _Carovel::CMixer mixer;
    if (!mixer.Open(1, 8000, 16, kFrameBytes, OnMix, &got)) {
        std::puts("consumer: Open failed");
        return 1;
    }
    const std::vector<std::int16_t> voice(kFrameBytes / 2, 2000);
    const std::vector<std::int16_t> music(kFrameBytes / 2, 1000);
    std::unique_lock<std::mutex> lock(got.lock);
    mixer.AddFrame(1, reinterpret_cast<const char*>(music.data()), kFrameBytes, 1, 8000, 16,
                   nullptr);
    mixer.AddFrame(0, reinterpret_cast<const char*>(voice.data()), kFrameBytes, 1, 8000, 16,
                   nullptr);
    mixer.NotifyToMixe();
    got.done.wait_for(lock, std::chrono::seconds(5), [&got] { return !got.mix.empty(); });
    lock.unlock();
    mixer.Close();

    const bool ok = AllEqual(got.master, 2000) && AllEqual(got.mix, 3000);
    std::printf("consumer: %zu samples mixed, 2000 + 1000 -> %d: %s\n", got.mix.size(),
                got.mix.empty() ? 0 : got.mix.front(), ok ? "ok" : "WRONG");
    return ok ? 0 : 1;
}
