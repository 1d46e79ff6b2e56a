#include "convert/channel_matrix.h"

#include <cmath>

namespace _Carovel {
namespace {

enum Side { kLeft, kRight, kBoth, kNone };

// The side each channel of a standard layout feeds, and at which weight.
struct Feed {
    Side side;
    double weight;
};

bool StandardLayout(unsigned channels, std::vector<Feed>& feeds) {
    const double c = 1.0 / std::sqrt(2.0);
    switch (channels) {
        case 3:
            feeds = {{kLeft, 1}, {kRight, 1}, {kBoth, c}};
            return true;
        case 4:
            feeds = {{kLeft, 1}, {kRight, 1}, {kLeft, c}, {kRight, c}};
            return true;
        case 5:
            feeds = {{kLeft, 1}, {kRight, 1}, {kBoth, c}, {kLeft, c}, {kRight, c}};
            return true;
        case 6:
            feeds = {{kLeft, 1}, {kRight, 1}, {kBoth, c}, {kNone, 0}, {kLeft, c}, {kRight, c}};
            return true;
        case 8:
            feeds = {{kLeft, 1}, {kRight, 1}, {kBoth, c}, {kNone, 0},
                     {kLeft, c}, {kRight, c}, {kLeft, c}, {kRight, c}};
            return true;
        default:
            return false;
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
    std::vector<Feed> feeds;
    const bool standard = from > 2 && StandardLayout(from, feeds);
    if (to == 1 && !standard) {
        return m;  // averaged by the converter
    }
    if (!standard) {
        for (unsigned c = 0; c < from; ++c) {
            feeds.push_back({c % 2 == 0 ? kLeft : kRight, 1.0});
        }
    }
    ChannelMatrix stereo{from, 2, std::vector<double>(2 * std::size_t{from}, 0.0)};
    for (unsigned c = 0; c < from; ++c) {
        const Feed f = feeds[c];
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
