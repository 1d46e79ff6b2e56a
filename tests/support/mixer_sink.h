// A thread-safe recorder for CMixer callbacks that tests can wait on.
#ifndef CAROVEL_TESTS_SUPPORT_MIXER_SINK_H
#define CAROVEL_TESTS_SUPPORT_MIXER_SINK_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "carovel/mixer.h"

namespace carovel_test {

struct MixOut {
    std::vector<char> master;
    std::vector<char> mix;
    void* userData = nullptr;
    void* tag = nullptr;
};

class MixSink {
  public:
    // The callback to hand to CMixer::Open with this sink as user data.
    static void Callback(char* master, unsigned int masterLen, char* mix, unsigned int mixLen,
                         void* userData, void* tag) {
        auto* sink = static_cast<MixSink*>(userData);
        MixOut out;
        out.master.assign(master, master + masterLen);
        out.mix.assign(mix, mix + mixLen);
        out.userData = userData;
        out.tag = tag;
        {
            std::lock_guard<std::mutex> guard(sink->m_mutex);
            sink->m_outs.push_back(std::move(out));
        }
        sink->m_cond.notify_all();
    }

    // Waits until at least n results arrived (generous time-out); returns
    // whether they did.
    bool WaitFor(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, timeout, [&] { return m_outs.size() >= n; });
    }

    std::vector<MixOut> Outs() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_outs;
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_outs.size();
    }

    // Whatever else a test wants to reach from a callback that gets this
    // sink as user data (the mix-minus callback gets the same user data).
    void SetExtra(void* extra) { m_extra = extra; }
    void* Extra() const { return m_extra; }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<MixOut> m_outs;
    void* m_extra = nullptr;
};

}  // namespace carovel_test

#endif  // CAROVEL_TESTS_SUPPORT_MIXER_SINK_H
