// A deliberately plain model of the frame mixer: tracks as queues of byte
// strings and a mixing pass written position by position, exactly as the
// pass's contract reads, with no attempt at speed. The tests and the fuzz
// targets compare CWaveMix against it.
//
// Gains and mix-minus outputs are computed exactly: every sum is a 128-bit
// integer at 1/65536 scale (no accumulator can overflow), rounded by
// division, so none of the library's choices of accumulator or rounding
// trick carries over. The limiter is the documented algorithm written out
// step by step in double precision.
//
// ReferenceFloatMixer is the same model for the float mixing format: every
// sum in double precision (each term, a float times a gain that is a
// multiple of 1/65536, is exact in double), with the bound within which the
// library's float sum must lie: one float rounding per addition.
#ifndef CAROVEL_TESTS_SUPPORT_REFERENCE_MIX_H
#define CAROVEL_TESTS_SUPPORT_REFERENCE_MIX_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <utility>
#include <vector>

namespace carovel_test {

struct ModelFrame {
    std::vector<char> bytes;
    void* tag = nullptr;
};

struct ModelMinusOut {
    long id = 0;
    std::vector<char> bytes;
    bool hadFrame = false;
};

struct ModelPassResult {
    std::vector<char> master;  // the bytes written to the master buffer
    std::vector<char> mix;     // the bytes written to the mix buffer
    bool tagSet = false;       // whether the pass stored a tag
    void* tag = nullptr;
    std::vector<ModelMinusOut> minus;  // mix-minus outputs, in the library's order
};

__extension__ typedef __int128 ModelInt;

// The limiter's settings as the library's LimiterSettings holds them.
struct ModelLimiter {
    unsigned channels = 1;
    unsigned rate = 8000;
    double thresholdDb = -1.0;
    double releaseMs = 100.0;
};

// A gain as the library uses it: the nearest multiple of 1/65536.
inline std::int64_t ModelGainSteps(float gain) {
    return static_cast<std::int64_t>(std::llround(static_cast<double>(gain) * 65536.0));
}

// v / 65536 rounded to the nearest integer, halves away from zero.
inline ModelInt ModelRoundScaled(ModelInt v) {
    ModelInt q = v / 65536;
    const ModelInt r = v % 65536;
    if (2 * (r < 0 ? -r : r) >= 65536) {
        q += v < 0 ? -1 : 1;
    }
    return q;
}

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
        m_gains.clear();
        m_limiterGains.clear();
        m_mixLimiterGain = 1.0;
        m_width = width;
    }

    // What CWaveMix::ClearBuffs drops.
    void Clear() { Init(m_width); }

    // Creates the track when absent, like the library.
    void SetGain(long trackID, float gain) {
        Track(trackID);
        m_gains[trackID] = ModelGainSteps(gain);
    }

    void SetLimiter(bool on, const ModelLimiter& settings = ModelLimiter()) {
        m_limiterOn = on;
        m_limiter = settings;
        m_limiterGains.clear();
        m_mixLimiterGain = 1.0;
    }

    void AddFrame(long trackID, const std::vector<char>& bytes, void* tag) {
        Track(trackID).push_back(ModelFrame{bytes, tag});
    }

    std::size_t Queued(long trackID) const {
        const auto found = m_index.find(trackID);
        return found == m_index.end() ? 0 : m_tracks[found->second].second.size();
    }

    // One pass with capacities capA (master) and capB (mix); with minus, also
    // the mix-minus outputs (includeIdle: for tracks without a frame too).
    ModelPassResult Pass(int capA, int capB, bool minus = false, bool includeIdle = false) {
        ModelPassResult r;
        if (m_width < 1 || m_width > 4 || Queued(0) == 0) {
            return r;
        }
        std::vector<ModelFrame> taken;
        std::vector<long> takenIds;
        std::vector<long> idleIds;
        for (auto& t : m_tracks) {
            if (t.second.empty()) {
                idleIds.push_back(t.first);
                continue;
            }
            taken.push_back(std::move(t.second.front()));
            takenIds.push_back(t.first);
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
        std::vector<std::int64_t> gains;
        bool unity = true;
        for (const long id : takenIds) {
            gains.push_back(Gain(id));
            unity = unity && gains.back() == 65536;
        }
        const std::vector<ModelInt> totals = Totals(taken, gains, cap);
        if (taken.size() == 1 && unity && !m_limiterOn) {
            const std::vector<char>& only = taken.front().bytes;
            r.mix.assign(only.begin(),
                         only.begin() + static_cast<long>(std::min(cap, only.size())));
        } else {
            r.mix = Output(taken, gains, totals, -1, m_mixLimiterGain);
        }
        if (!minus || cap == 0) {
            return r;
        }
        for (std::size_t i = 0; i < taken.size(); ++i) {
            r.minus.push_back(ModelMinusOut{
                takenIds[i],
                Output(taken, gains, totals, static_cast<long>(i), LimiterGain(takenIds[i])),
                true});
        }
        if (includeIdle) {
            for (const long id : idleIds) {
                r.minus.push_back(
                    ModelMinusOut{id, Output(taken, gains, totals, -1, LimiterGain(id)), false});
            }
        }
        return r;
    }

    // The sample positions the pass writes for these frames and capacity.
    std::size_t Positions(const std::vector<ModelFrame>& taken, std::size_t cap) const {
        std::size_t longest = 0;
        for (const ModelFrame& f : taken) {
            longest = std::max(longest, f.bytes.size() / m_width);
        }
        return std::min(longest, cap / m_width);
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

    std::int64_t Gain(long id) const {
        const auto found = m_gains.find(id);
        return found == m_gains.end() ? 65536 : found->second;
    }

    double& LimiterGain(long id) { return m_limiterGains.emplace(id, 1.0).first->second; }

    // The exact sum of every taken frame at each written position, at
    // 1/65536 scale.
    std::vector<ModelInt> Totals(const std::vector<ModelFrame>& taken,
                                 const std::vector<std::int64_t>& gains, std::size_t cap) const {
        std::vector<ModelInt> totals(Positions(taken, cap), 0);
        for (std::size_t f = 0; f < taken.size(); ++f) {
            for (std::size_t i = 0; i < totals.size(); ++i) {
                totals[i] += Term(taken[f], gains[f], i);
            }
        }
        return totals;
    }

    // A frame's sample at position i times its gain, or 0 where the frame
    // holds no whole sample.
    ModelInt Term(const ModelFrame& frame, std::int64_t gain, std::size_t i) const {
        const std::size_t pos = i * m_width;
        return frame.bytes.size() >= pos + m_width
                   ? ModelInt{ModelReadSample(frame.bytes.data() + pos, m_width)} * gain
                   : 0;
    }

    // One output of a pass: the totals less frame `skip`'s terms (-1 for
    // none), rounded once, then clamped or limited with limiterGain.
    std::vector<char> Output(const std::vector<ModelFrame>& taken,
                             const std::vector<std::int64_t>& gains,
                             const std::vector<ModelInt>& totals, long skip,
                             double& limiterGain) const {
        const std::size_t n = totals.size();
        std::vector<ModelInt> sums = totals;
        if (skip >= 0) {
            const auto own = static_cast<std::size_t>(skip);
            for (std::size_t i = 0; i < n; ++i) {
                sums[i] -= Term(taken[own], gains[own], i);
            }
        }
        const std::int64_t half = std::int64_t{1} << (8 * m_width - 1);
        std::vector<double> blockGain(n, 1.0);
        if (m_limiterOn) {
            blockGain = LimiterGains(sums, limiterGain);
        }
        std::vector<char> out;
        for (std::size_t i = 0; i < n; ++i) {
            std::int64_t v = 0;
            if (blockGain[i] == 1.0) {
                const ModelInt rounded = ModelRoundScaled(sums[i]);
                v = rounded < -half      ? -half
                    : rounded > half - 1 ? half - 1
                                         : static_cast<std::int64_t>(rounded);
            } else {
                const double y = static_cast<double>(sums[i]) / 65536.0 * blockGain[i];
                // Halves away from zero, to within the last bit of y.
                v = static_cast<std::int64_t>(y < 0 ? y - 0.5 : y + 0.5);
                v = std::clamp(v, -half, half - 1);
            }
            ModelWriteSample(v, m_width, out);
        }
        return out;
    }

    // The gain of every sample position, as the library's documentation of
    // the limiter describes it; updates the output's gain.
    std::vector<double> LimiterGains(const std::vector<ModelInt>& sums, double& state) const {
        const double fullScale = std::ldexp(1.0, static_cast<int>(8 * m_width - 1)) - 1.0;
        const double ceiling = std::floor(fullScale * std::pow(10.0, m_limiter.thresholdDb / 20.0));
        const std::size_t per = std::max(1u, m_limiter.rate / 1000);  // blocks per step
        const double tau = m_limiter.releaseMs / 1000.0 / 3.0;
        const double release =
            std::exp(-static_cast<double>(per) / (tau * static_cast<double>(m_limiter.rate)));
        const std::size_t n = sums.size();
        const std::size_t blocks = (n + m_limiter.channels - 1) / m_limiter.channels;
        const std::size_t steps = (blocks + per - 1) / per;
        // ceiling / peak of each step, or 1 where the peak stays at or below it.
        std::vector<double> allowed(steps, 1.0);
        bool over = false;
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t k = i / m_limiter.channels / per;
            const double magnitude =
                static_cast<double>(sums[i] < 0 ? -sums[i] : sums[i]) / 65536.0;
            if (magnitude > ceiling) {
                allowed[k] = std::min(allowed[k], ceiling / magnitude);
                over = true;
            }
        }
        std::vector<double> gains(n, 1.0);
        if (n == 0 || (!over && state == 1.0)) {
            return gains;
        }
        std::vector<double> blockGain(blocks, 1.0);
        double g = std::min(state, allowed[0]);
        for (std::size_t k = 0; k < steps; ++k) {
            double released = 1.0 - (1.0 - g) * release;
            if (1.0 - released < 1.0 / 131072) {
                released = 1.0;
            }
            double end = std::min(released, allowed[k]);
            if (k + 1 < steps) {
                end = std::min(end, allowed[k + 1]);
            }
            const std::size_t first = k * per;
            const std::size_t len = std::min(per, blocks - first);
            for (std::size_t j = 0; j < len; ++j) {
                blockGain[first + j] = j + 1 == len ? end
                                                    : g + (end - g) * static_cast<double>(j + 1) /
                                                              static_cast<double>(len);
            }
            g = end;
        }
        state = g;
        for (std::size_t i = 0; i < n; ++i) {
            gains[i] = blockGain[i / m_limiter.channels];
        }
        return gains;
    }

    unsigned m_width = 2;
    std::map<long, std::int64_t> m_gains;  // in 1/65536; absent: 1
    bool m_limiterOn = false;
    ModelLimiter m_limiter;
    double m_mixLimiterGain = 1.0;
    std::map<long, double> m_limiterGains;  // each mix-minus output's
    // Tracks in creation order, as the frame mixer walks them.
    std::vector<std::pair<long, std::deque<ModelFrame>>> m_tracks;
    std::map<long, std::size_t> m_index;  // identifier -> position in m_tracks
};

// One output of a float pass: the exact values, and at each position the
// bound on how far the library's float result may lie from them.
struct ModelFloatOut {
    long id = 0;
    std::vector<double> values;
    std::vector<double> bounds;
    bool hadFrame = false;
};

struct ModelFloatPass {
    std::vector<char> master;
    bool tagSet = false;
    void* tag = nullptr;
    // The mix as bytes when the pass copies a lone frame (exact), else empty.
    std::vector<char> copied;
    ModelFloatOut mix;
    std::vector<ModelFloatOut> minus;
};

inline float ModelReadFloat(const char* p) {
    std::uint32_t u = 0;
    for (unsigned b = 0; b < 4; ++b) {
        u |= std::uint32_t{static_cast<unsigned char>(p[b])} << (8 * b);
    }
    float v;
    std::memcpy(&v, &u, sizeof v);
    return v;
}

class ReferenceFloatMixer {
  public:
    void Init() {
        m_tracks.clear();
        m_index.clear();
        m_gains.clear();
        m_limiterGains.clear();
        m_mixLimiterGain = 1.0;
    }
    void SetGain(long trackID, float gain) {
        Track(trackID);
        m_gains[trackID] = ModelGainSteps(gain);
    }
    void SetLimiter(bool on, const ModelLimiter& settings = ModelLimiter()) {
        m_limiterOn = on;
        m_limiter = settings;
        m_limiterGains.clear();
        m_mixLimiterGain = 1.0;
    }
    void AddFrame(long trackID, const std::vector<char>& bytes, void* tag) {
        Track(trackID).push_back(ModelFrame{bytes, tag});
    }
    std::size_t Queued(long trackID) const {
        const auto found = m_index.find(trackID);
        return found == m_index.end() ? 0 : m_tracks[found->second].second.size();
    }
    // The limiter's ceiling: full scale is 1.0.
    double Ceiling() const { return std::pow(10.0, m_limiter.thresholdDb / 20.0); }
    bool LimiterOn() const { return m_limiterOn; }

    ModelFloatPass Pass(int capA, int capB, bool minus = false, bool includeIdle = false) {
        ModelFloatPass r;
        if (Queued(0) == 0) {
            return r;
        }
        std::vector<ModelFrame> taken;
        std::vector<long> takenIds;
        std::vector<long> idleIds;
        for (auto& t : m_tracks) {
            if (t.second.empty()) {
                idleIds.push_back(t.first);
                continue;
            }
            taken.push_back(std::move(t.second.front()));
            takenIds.push_back(t.first);
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
        std::vector<double> gains;
        bool unity = true;
        for (const long id : takenIds) {
            gains.push_back(static_cast<double>(Gain(id)) / 65536.0);
            unity = unity && Gain(id) == 65536;
        }
        std::size_t n = 0;
        for (const ModelFrame& f : taken) {
            n = std::max(n, f.bytes.size() / 4);
        }
        n = std::min(n, cap / 4);
        if (taken.size() == 1 && unity && !m_limiterOn) {
            const std::vector<char>& only = taken.front().bytes;
            r.copied.assign(only.begin(),
                            only.begin() + static_cast<long>(std::min(cap, only.size())));
        } else {
            r.mix = Output(taken, gains, n, -1, m_mixLimiterGain);
        }
        if (!minus || cap == 0) {
            return r;
        }
        for (std::size_t i = 0; i < taken.size(); ++i) {
            r.minus.push_back(
                Output(taken, gains, n, static_cast<long>(i), LimiterGain(takenIds[i])));
            r.minus.back().id = takenIds[i];
            r.minus.back().hadFrame = true;
        }
        if (includeIdle) {
            for (const long id : idleIds) {
                r.minus.push_back(Output(taken, gains, n, -1, LimiterGain(id)));
                r.minus.back().id = id;
            }
        }
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
    std::int64_t Gain(long id) const {
        const auto found = m_gains.find(id);
        return found == m_gains.end() ? 65536 : found->second;
    }
    double& LimiterGain(long id) { return m_limiterGains.emplace(id, 1.0).first->second; }

    static double Term(const ModelFrame& frame, double gain, std::size_t i) {
        return frame.bytes.size() >= 4 * i + 4
                   ? static_cast<double>(ModelReadFloat(frame.bytes.data() + 4 * i)) * gain
                   : 0.0;
    }

    // The sum of every frame's term less frame skip's (-1 for none), and the
    // bound: the library rounds each term and each partial sum to float, so
    // each of its (frames + 1) roundings errs by at most 2^-24 of the
    // largest magnitude involved, which the sum of magnitudes bounds.
    ModelFloatOut Output(const std::vector<ModelFrame>& taken, const std::vector<double>& gains,
                         std::size_t n, long skip, double& limiterGain) const {
        ModelFloatOut out;
        out.values.assign(n, 0.0);
        out.bounds.assign(n, 0.0);
        const double eps = std::ldexp(1.0, -24);
        const double roundings = static_cast<double>(taken.size() + 2);
        for (std::size_t i = 0; i < n; ++i) {
            double sum = 0.0;
            double magnitude = 0.0;
            for (std::size_t f = 0; f < taken.size(); ++f) {
                const double t = Term(taken[f], gains[f], i);
                magnitude += std::fabs(t);
                if (static_cast<long>(f) != skip) {
                    sum += t;
                }
            }
            out.values[i] = sum;
            out.bounds[i] = roundings * eps * 2.0 * magnitude;
        }
        if (m_limiterOn) {
            const std::vector<double> g = LimiterGains(out.values, limiterGain);
            for (std::size_t i = 0; i < n; ++i) {
                out.values[i] *= g[i];
            }
        }
        return out;
    }

    // As ReferenceMixer::LimiterGains, at full scale 1.0.
    std::vector<double> LimiterGains(const std::vector<double>& sums, double& state) const {
        const double ceiling = Ceiling();
        const std::size_t per = std::max(1u, m_limiter.rate / 1000);
        const double tau = m_limiter.releaseMs / 1000.0 / 3.0;
        const double release =
            std::exp(-static_cast<double>(per) / (tau * static_cast<double>(m_limiter.rate)));
        const std::size_t n = sums.size();
        const std::size_t blocks = (n + m_limiter.channels - 1) / m_limiter.channels;
        const std::size_t steps = (blocks + per - 1) / per;
        std::vector<double> allowed(steps, 1.0);
        bool over = false;
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t k = i / m_limiter.channels / per;
            const double magnitude = std::fabs(sums[i]);
            if (magnitude > ceiling) {
                allowed[k] = std::min(allowed[k], ceiling / magnitude);
                over = true;
            }
        }
        std::vector<double> gains(n, 1.0);
        if (n == 0 || (!over && state == 1.0)) {
            return gains;
        }
        std::vector<double> blockGain(blocks, 1.0);
        double g = std::min(state, allowed[0]);
        for (std::size_t k = 0; k < steps; ++k) {
            double released = 1.0 - (1.0 - g) * release;
            if (1.0 - released < 1.0 / 131072) {
                released = 1.0;
            }
            double end = std::min(released, allowed[k]);
            if (k + 1 < steps) {
                end = std::min(end, allowed[k + 1]);
            }
            const std::size_t first = k * per;
            const std::size_t len = std::min(per, blocks - first);
            for (std::size_t j = 0; j < len; ++j) {
                blockGain[first + j] = j + 1 == len ? end
                                                    : g + (end - g) * static_cast<double>(j + 1) /
                                                              static_cast<double>(len);
            }
            g = end;
        }
        state = g;
        for (std::size_t i = 0; i < n; ++i) {
            gains[i] = blockGain[i / m_limiter.channels];
        }
        return gains;
    }

    std::map<long, std::int64_t> m_gains;
    bool m_limiterOn = false;
    ModelLimiter m_limiter;
    double m_mixLimiterGain = 1.0;
    std::map<long, double> m_limiterGains;
    std::vector<std::pair<long, std::deque<ModelFrame>>> m_tracks;
    std::map<long, std::size_t> m_index;
};

}  // namespace carovel_test

#endif  // CAROVEL_TESTS_SUPPORT_REFERENCE_MIX_H
