// A deliberately plain model of the frame mixer: tracks as queues of byte
// strings and a mixing pass written position by position, exactly as the
// pass's contract reads, with no attempt at speed. The tests and the fuzz
// targets compare CWaveMix against it.
#ifndef CAROVEL_TESTS_SUPPORT_REFERENCE_MIX_H
#define CAROVEL_TESTS_SUPPORT_REFERENCE_MIX_H

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <utility>
#include <vector>

namespace carovel_test {

struct ModelFrame {
    std::vector<char> bytes;
    void* tag = nullptr;
};

struct ModelPassResult {
    std::vector<char> master;  // the bytes written to the master buffer
    std::vector<char> mix;     // the bytes written to the mix buffer
    bool tagSet = false;       // whether the pass stored a tag
    void* tag = nullptr;
};

// The frame mixer's sample encoding: one byte is unsigned around 128, two to
// four bytes are signed two's complement, all little-endian.
inline std::int64_t ModelReadSample(const char* p, unsigned width) {
    std::uint64_t u = 0;
    for (unsigned b = 0; b < width; ++b) {
        u |= std::uint64_t{static_cast<unsigned char>(p[b])} << (8 * b);
    }
    const std::int64_t half = std::int64_t{1} << (8 * width - 1);
    const auto value = static_cast<std::int64_t>(u);
    if (width == 1) {
        return value - half;
    }
    return value >= half ? value - 2 * half : value;
}

// Writes a value within the width's range in the encoding above.
inline void ModelWriteSample(std::int64_t value, unsigned width, std::vector<char>& out) {
    const std::int64_t half = std::int64_t{1} << (8 * width - 1);
    const auto u = static_cast<std::uint64_t>(width == 1 ? value + half : value);
    for (unsigned b = 0; b < width; ++b) {
        out.push_back(static_cast<char>((u >> (8 * b)) & 0xff));
    }
}

class ReferenceMixer {
  public:
    void Init(unsigned width) {
        m_tracks.clear();
        m_index.clear();
        m_width = width;
    }

    void AddFrame(long trackID, const std::vector<char>& bytes, void* tag) {
        Track(trackID).push_back(ModelFrame{bytes, tag});
    }

    std::size_t Queued(long trackID) const {
        const auto found = m_index.find(trackID);
        return found == m_index.end() ? 0 : m_tracks[found->second].second.size();
    }

    // One pass with capacities capA (master) and capB (mix).
    ModelPassResult Pass(int capA, int capB) {
        ModelPassResult r;
        if (m_width < 1 || m_width > 4 || Track(0).empty()) {
            return r;
        }
        std::vector<ModelFrame> taken;
        for (auto& t : m_tracks) {
            if (t.second.empty()) {
                continue;
            }
            taken.push_back(std::move(t.second.front()));
            t.second.pop_front();
            if (t.first == 0) {
                const ModelFrame& f = taken.back();
                const auto n = std::min<std::size_t>(f.bytes.size(), std::max(capA, 0));
                r.master.assign(f.bytes.begin(), f.bytes.begin() + static_cast<long>(n));
                r.tagSet = true;
                r.tag = f.tag;
            }
        }
        const auto cap = static_cast<std::size_t>(std::max(capB, 0));
        if (taken.size() == 1) {
            const std::vector<char>& only = taken.front().bytes;
            r.mix.assign(only.begin(),
                         only.begin() + static_cast<long>(std::min(cap, only.size())));
            return r;
        }
        r.mix = MixTaken(taken, cap);
        return r;
    }

  private:
    std::deque<ModelFrame>& Track(long id) {
        const auto found = m_index.find(id);
        if (found != m_index.end()) {
            return m_tracks[found->second].second;
        }
        m_index.emplace(id, m_tracks.size());
        m_tracks.emplace_back(id, std::deque<ModelFrame>{});
        return m_tracks.back().second;
    }

    std::vector<char> MixTaken(const std::vector<ModelFrame>& taken, std::size_t cap) const {
        const std::int64_t half = std::int64_t{1} << (8 * m_width - 1);
        std::vector<char> out;
        for (std::size_t pos = 0; pos + m_width <= cap; pos += m_width) {
            std::int64_t sum = 0;
            bool contributed = false;
            for (const ModelFrame& f : taken) {
                if (f.bytes.size() >= pos + m_width) {
                    sum += ModelReadSample(f.bytes.data() + pos, m_width);
                    contributed = true;
                }
            }
            if (!contributed) {
                break;
            }
            ModelWriteSample(std::clamp(sum, -half, half - 1), m_width, out);
        }
        return out;
    }

    unsigned m_width = 2;
    // Tracks in creation order, as the frame mixer walks them.
    std::vector<std::pair<long, std::deque<ModelFrame>>> m_tracks;
    std::map<long, std::size_t> m_index;  // identifier -> position in m_tracks
};

}  // namespace carovel_test

#endif  // CAROVEL_TESTS_SUPPORT_REFERENCE_MIX_H
