#include "convert/channel_matrix.h"

namespace _Carovel {
namespace {

enum Side { kLeft, kRight, kBoth, kNone };

// The side each channel of a standard layout feeds, and at which weight.
struct Feed {
    Side side;
    double weight;
};

constexpr double kMinus3Db = 0.70710678118654752440;  // 1 / sqrt(2)

constexpr Feed kLayout3[] = {{kLeft, 1}, {kRight, 1}, {kBoth, kMinus3Db}};
constexpr Feed kLayout4[] = {{kLeft, 1}, {kRight, 1}, {kLeft, kMinus3Db}, {kRight, kMinus3Db}};
constexpr Feed kLayout5[] = {
    {kLeft, 1}, {kRight, 1}, {kBoth, kMinus3Db}, {kLeft, kMinus3Db}, {kRight, kMinus3Db}};
constexpr Feed kLayout6[] = {{kLeft, 1}, {kRight, 1},        {kBoth, kMinus3Db},
                             {kNone, 0}, {kLeft, kMinus3Db}, {kRight, kMinus3Db}};
constexpr Feed kLayout8[] = {{kLeft, 1},         {kRight, 1},        {kBoth, kMinus3Db},
                             {kNone, 0},         {kLeft, kMinus3Db}, {kRight, kMinus3Db},
                             {kLeft, kMinus3Db}, {kRight, kMinus3Db}};

// The feeds of a standard layout of that many channels, or null.
const Feed* StandardLayout(unsigned channels) {
    switch (channels) {
        case 3:
            return kLayout3;
        case 4:
            return kLayout4;
        case 5:
            return kLayout5;
        case 6:
            return kLayout6;
        case 8:
            return kLayout8;
        default:
            return nullptr;
    }
}

void NormaliseRows(ChannelMatrix& m) {
    for (unsigned r = 0; r < m.to; ++r) {
        double sum = 0;
        for (unsigned c = 0; c < m.from; ++c) {
            sum += m.weights[r * m.from + c];
        }
        for (unsigned c = 0; c < m.from; ++c) {
            m.weights[r * m.from + c] /= sum;
        }
    }
}

}  // namespace

ChannelMatrix DownmixMatrix(unsigned from, unsigned to) {
    ChannelMatrix m;
    if (to == 0 || to > 2 || from <= to) {
        return m;
    }
    const Feed* const layout = from > 2 ? StandardLayout(from) : nullptr;
    if (to == 1 && layout == nullptr) {
        return m;  // averaged by the converter
    }
    ChannelMatrix stereo{from, 2, std::vector<double>(2 * std::size_t{from}, 0.0)};
    for (unsigned c = 0; c < from; ++c) {
        // Channels of other counts go alternately left and right.
        const Feed f = layout != nullptr ? layout[c] : Feed{c % 2 == 0 ? kLeft : kRight, 1.0};
        if (f.side == kLeft || f.side == kBoth) {
            stereo.weights[c] = f.weight;
        }
        if (f.side == kRight || f.side == kBoth) {
            stereo.weights[from + c] = f.weight;
        }
    }
    NormaliseRows(stereo);
    if (to == 2) {
        return stereo;
    }
    m = ChannelMatrix{from, 1, std::vector<double>(from, 0.0)};
    for (unsigned c = 0; c < from; ++c) {
        m.weights[c] = (stereo.At(0, c) + stereo.At(1, c)) / 2;
    }
    return m;
}

}  // namespace _Carovel
