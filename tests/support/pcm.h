// Helpers shared by the tests: packing and unpacking little-endian samples.
#ifndef CAROVEL_TESTS_SUPPORT_PCM_H
#define CAROVEL_TESTS_SUPPORT_PCM_H

#include <cstdint>
#include <vector>

namespace carovel_test {

// Packs signed samples of `width` bytes little-endian (width 1 takes the
// values as unsigned bytes).
inline std::vector<char> Pack(const std::vector<std::int64_t>& samples, unsigned width) {
    std::vector<char> out;
    out.reserve(samples.size() * width);
    for (const std::int64_t s : samples) {
        const auto u = static_cast<std::uint64_t>(s);
        for (unsigned b = 0; b < width; ++b) {
            out.push_back(static_cast<char>((u >> (8 * b)) & 0xff));
        }
    }
    return out;
}

inline std::vector<char> Pack16(const std::vector<std::int64_t>& samples) {
    return Pack(samples, 2);
}

// Unpacks `bytes` of little-endian samples; widths 2..4 as signed, width 1 as
// unsigned bytes.
inline std::vector<std::int64_t> Unpack(const char* data, std::size_t bytes, unsigned width) {
    std::vector<std::int64_t> out;
    for (std::size_t pos = 0; pos + width <= bytes; pos += width) {
        std::uint32_t u = 0;
        for (unsigned b = 0; b < width; ++b) {
            u |= static_cast<std::uint32_t>(static_cast<unsigned char>(data[pos + b])) << (8 * b);
        }
        if (width == 1) {
            out.push_back(u);
        } else {
            const unsigned shift = 32 - 8 * width;
            out.push_back(static_cast<std::int32_t>(u << shift) >> shift);
        }
    }
    return out;
}

inline std::vector<std::int64_t> Unpack(const std::vector<char>& data, unsigned width) {
    return Unpack(data.data(), data.size(), width);
}

}  // namespace carovel_test

#endif  // CAROVEL_TESTS_SUPPORT_PCM_H
