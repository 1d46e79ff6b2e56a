// Source churn: what a new source id costs while many sources are live, and
// how much memory a live source in the mixing format holds. The mixer has no
// master, so no pass runs. New sources arrive on a simulated clock at the
// rate that keeps `live` sources within the 10 s idle time, so old ones
// expire as new ones come, as on a busy host.
//
//   carovel_churn [--live 10000] [--new 100000]
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "carovel/mixer.h"
#include "platform/clock.h"

namespace {

void Discard(char*, unsigned, char*, unsigned, void*, void*) {}

std::time_t g_now = 1000;
std::time_t SimulatedSeconds() {
    return g_now;
}

std::size_t HeapInUse() {
    return mallinfo2().uordblks;
}

}  // namespace

int main(int argc, char** argv) {
    long live = 10000;
    long fresh = 100000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--live") == 0) {
            live = std::atol(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--new") == 0) {
            fresh = std::atol(argv[i + 1]);
        }
    }
    // 48 kHz stereo 16-bit, 20 ms frames; each source sends 10 ms, which
    // stays staged as a partial frame.
    _Carovel::CMixer mixer;
    if (!mixer.Open(2, 48000, 16, 3840, &Discard, nullptr)) {
        std::fprintf(stderr, "cannot open the mixer\n");
        return 1;
    }
    _Carovel::SetMonotonicSourceForTesting(&SimulatedSeconds);
    // One simulated second per tenth of `live` new sources: about `live`
    // sources were fed within the last 10 s at any time.
    const long perSecond = std::max(1L, live / 10);
    const std::vector<char> block(1920, 1);
    const std::size_t heapBefore = HeapInUse();
    for (long id = 1; id <= live; ++id) {
        g_now = 1000 + id / perSecond;
        mixer.AddFrame(id, block.data(), 1920, 2, 48000, 16, nullptr);
    }
    const std::size_t heapAfter = HeapInUse();
    const auto start = std::chrono::steady_clock::now();
    for (long id = live + 1; id <= live + fresh; ++id) {
        g_now = 1000 + id / perSecond;
        mixer.AddFrame(id, block.data(), 1920, 2, 48000, 16, nullptr);
    }
    const double us =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    const double perRecord =
        static_cast<double>(heapAfter - heapBefore) / static_cast<double>(live);
    const double growthKib =
        (static_cast<double>(HeapInUse()) - static_cast<double>(heapAfter)) / 1024.0;
    std::printf(
        "churn: live=%ld new_ids=%ld new_id_us=%.2f bytes_per_live_source=%.0f "
        "partial_frame_bytes=%d heap_growth_during_churn_kib=%.0f\n",
        live, fresh, us / static_cast<double>(fresh), perRecord, 1920, growthKib);
    mixer.Close();
    return 0;
}
