// Source churn: what a new source id costs while many sources are live, and
// how much memory a live source in the mixing format holds. The mixer has no
// master, so no pass runs and the sources stay live.
//
//   carovel_churn [--live 10000] [--new 20000]
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "carovel/mixer.h"

namespace {

void Discard(char*, unsigned, char*, unsigned, void*, void*) {}

std::size_t HeapInUse() {
    return mallinfo2().uordblks;
}

}  // namespace

int main(int argc, char** argv) {
    long live = 10000;
    long fresh = 20000;
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
    const std::vector<char> block(1920, 1);
    const std::size_t heapBefore = HeapInUse();
    for (long id = 1; id <= live; ++id) {
        mixer.AddFrame(id, block.data(), 1920, 2, 48000, 16, nullptr);
    }
    const std::size_t heapAfter = HeapInUse();
    const auto start = std::chrono::steady_clock::now();
    for (long id = live + 1; id <= live + fresh; ++id) {
        mixer.AddFrame(id, block.data(), 1920, 2, 48000, 16, nullptr);
    }
    const double us =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    const double perRecord =
        static_cast<double>(heapAfter - heapBefore) / static_cast<double>(live);
    std::printf(
        "churn: live=%ld new_id_us=%.2f bytes_per_live_source=%.0f partial_frame_bytes=%d\n", live,
        us / static_cast<double>(fresh), perRecord, 1920);
    mixer.Close();
    return 0;
}
