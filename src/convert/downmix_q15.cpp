#include "convert/downmix_q15.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "convert/fixed_count.h"
#include "pcm/sample_codec.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace _Carovel {
namespace {

constexpr std::int64_t kRound = std::int64_t{1} << 14;

std::int16_t Saturate(std::int64_t acc) {
    return static_cast<std::int16_t>(std::clamp<std::int64_t>(acc >> 15, -32768, 32767));
}

// N and K fixed at compile time let the common layouts unroll; 0 takes them
// from n and k.
template <class Codec, unsigned N, unsigned K>
void Fold(const unsigned char* src, std::size_t blocks, unsigned n, unsigned k,
          const std::int32_t* q, std::int16_t* out) {
    const unsigned channels = N != 0 ? N : n;
    const unsigned rows = K != 0 ? K : k;
    for (std::size_t b = 0; b < blocks; ++b, src += Codec::kWidth * channels) {
        for (unsigned r = 0; r < rows; ++r) {
            std::int64_t acc = kRound;
            for (unsigned c = 0; c < channels; ++c) {
                acc += std::int64_t{q[r * channels + c]} * Codec::Read(src + Codec::kWidth * c);
            }
            *out++ = Saturate(acc);
        }
    }
}

template <class Codec>
void FoldAny(const unsigned char* src, std::size_t blocks, unsigned n, unsigned k,
             const std::int32_t* q, std::int16_t* out) {
    if (k > 2) {
        return Fold<Codec, 0, 0>(src, blocks, n, k, q, out);
    }
    WithFixedCount<1, 2>(k, [&](auto rows) {
        WithFixedCount<3, 4, 5, 6, 8>(n, [&](auto channels) {
            Fold<Codec, decltype(channels)::value, decltype(rows)::value>(src, blocks, n, k, q,
                                                                          out);
        });
    });
}

#if defined(__SSE2__)

// Whether the vector path computes exactly what Fold does: at most eight
// channels (one 16-byte load per block), one or two rows, weights that fit
// in 16 bits without the one pair (-32768 * -32768 twice) that overflows a
// 32-bit pair sum, and rows small enough that no 32-bit sum overflows.
bool VectorPathFits(unsigned n, unsigned k, const std::int32_t* q) {
    if (n > 8 || k > 2) {
        return false;
    }
    for (unsigned r = 0; r < k; ++r) {
        std::int64_t magnitude = 0;
        for (unsigned c = 0; c < n; ++c) {
            const std::int32_t w = q[r * n + c];
            if (w < -32767 || w > 32767) {
                return false;
            }
            magnitude += std::abs(w);
        }
        if (magnitude > 65535) {
            return false;
        }
    }
    return true;
}

// Blocks whose 16-byte load stays inside the n * blocks samples.
std::size_t VectorBlocks(std::size_t blocks, unsigned n) {
    const std::size_t samples = blocks * n;
    return samples >= 8 ? (samples - 8) / n + 1 : 0;
}

__m128i RowWeights(const std::int32_t* row, unsigned n) {
    alignas(16) std::int16_t w[8] = {};
    for (unsigned c = 0; c < n; ++c) {
        w[c] = static_cast<std::int16_t>(row[c]);
    }
    return _mm_load_si128(reinterpret_cast<const __m128i*>(w));
}

// One block's eight samples (the channels past n weigh 0) against each
// row: pmaddwd gives four pair sums a row, which are then added up.
std::size_t FoldVector(const unsigned char* src, std::size_t blocks, unsigned n, unsigned k,
                       const std::int32_t* q, std::int16_t* out) {
    const __m128i round = _mm_set1_epi32(static_cast<int>(kRound));
    if (n == 2 && k == 1) {
        // Stereo into mono: four blocks a load, and pmaddwd's pair sums are
        // the blocks' sums.
        const __m128i w =
            _mm_set1_epi32(static_cast<int>((static_cast<std::uint32_t>(q[1]) << 16) |
                                            (static_cast<std::uint32_t>(q[0]) & 0xffff)));
        const std::size_t count = blocks / 4 * 4;
        for (std::size_t b = 0; b < count; b += 4) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * b));
            __m128i s = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(x, w), round), 15);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + b), _mm_packs_epi32(s, s));
        }
        return count;
    }
    const std::size_t count = VectorBlocks(blocks, n);
    const __m128i left = RowWeights(q, n);
    const std::size_t stride = 2 * std::size_t{n};
    if (k == 1) {
        // Four blocks at a time: their pair sums transposed and added give
        // the four results in one register.
        std::size_t b = 0;
        for (; b + 4 <= count; b += 4, src += 4 * stride) {
            const auto load = [&](std::size_t i) {
                return _mm_madd_epi16(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i * stride)), left);
            };
            const __m128i l0 = load(0);
            const __m128i l1 = load(1);
            const __m128i l2 = load(2);
            const __m128i l3 = load(3);
            // [a0+a2, b0+b2, a1+a3, b1+b3] and the same for blocks 2 and 3.
            const __m128i u0 =
                _mm_add_epi32(_mm_unpacklo_epi32(l0, l1), _mm_unpackhi_epi32(l0, l1));
            const __m128i u1 =
                _mm_add_epi32(_mm_unpacklo_epi32(l2, l3), _mm_unpackhi_epi32(l2, l3));
            __m128i s = _mm_add_epi32(_mm_unpacklo_epi64(u0, u1), _mm_unpackhi_epi64(u0, u1));
            s = _mm_srai_epi32(_mm_add_epi32(s, round), 15);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + b), _mm_packs_epi32(s, s));
        }
        for (; b < count; ++b, src += stride) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
            __m128i s = _mm_madd_epi16(x, left);
            s = _mm_add_epi32(s, _mm_unpackhi_epi64(s, s));
            s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(1, 1, 1, 1)));
            s = _mm_srai_epi32(_mm_add_epi32(s, round), 15);
            out[b] = static_cast<std::int16_t>(_mm_extract_epi16(_mm_packs_epi32(s, s), 0));
        }
        return count;
    }
    const __m128i right = RowWeights(q + n, n);
    for (std::size_t b = 0; b < count; ++b, src += stride) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        const __m128i l = _mm_madd_epi16(x, left);
        const __m128i r = _mm_madd_epi16(x, right);
        // [l0+l2, r0+r2, l1+l3, r1+r3], then lanes 0 and 1 hold the rows.
        __m128i s = _mm_add_epi32(_mm_unpacklo_epi32(l, r), _mm_unpackhi_epi32(l, r));
        s = _mm_add_epi32(s, _mm_unpackhi_epi64(s, s));
        s = _mm_srai_epi32(_mm_add_epi32(s, round), 15);
        const int pair = _mm_cvtsi128_si32(_mm_packs_epi32(s, s));
        std::memcpy(out + 2 * b, &pair, sizeof pair);
    }
    return count;
}

#endif  // __SSE2__

}  // namespace

void DownmixQ15Scalar(const unsigned char* src, std::size_t blocks, unsigned bytesPerSample,
                      unsigned n, unsigned k, const std::int32_t* q, std::int16_t* out) {
    if (bytesPerSample == 1) {
        FoldAny<Unsigned8>(src, blocks, n, k, q, out);
    } else {
        FoldAny<Signed16>(src, blocks, n, k, q, out);
    }
}

void DownmixQ15(const unsigned char* src, std::size_t blocks, unsigned bytesPerSample, unsigned n,
                unsigned k, const std::int32_t* q, std::int16_t* out) {
    std::size_t done = 0;
#if defined(__SSE2__)
    if (bytesPerSample == 2 && VectorPathFits(n, k, q)) {
        done = FoldVector(src, blocks, n, k, q, out);
    }
#endif
    const std::size_t consumed = done * bytesPerSample * n;
    DownmixQ15Scalar(src + consumed, blocks - done, bytesPerSample, n, k, q, out + done * k);
}

}  // namespace _Carovel
