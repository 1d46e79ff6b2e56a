// CMixer::AddFrame: per-source conversion, staging and cutting into frames.
#include <algorithm>
#include <cstring>
#include <new>

#include "carovel/mixer.h"
#include "mixer/mixer_internal.h"
#include "platform/clock.h"

namespace _Carovel {
namespace {

constexpr unsigned long kInitialStagingBytes = 0x10000;

// Makes the staging buffer at least `capacity` bytes large, keeping its
// content. Returns false, changing nothing, when memory runs out.
bool GrowStaging(tagWaveTrack& rec, unsigned long capacity) {
    if (rec.pBuffer != nullptr && rec.dwBufferSize >= capacity) {
        return true;
    }
    void* grown = std::realloc(rec.pBuffer.get(), capacity);
    if (grown == nullptr) {
        return false;
    }
    (void)rec.pBuffer.release();
    rec.pBuffer.reset(static_cast<char*>(grown));
    rec.dwBufferSize = capacity;
    return true;
}

bool EnsureStaging(tagWaveTrack& rec) {
    return rec.pBuffer != nullptr || GrowStaging(rec, kInitialStagingBytes);
}

}  // namespace

bool CMixer::AddFrame(long traceID, const char* data, int len, unsigned short channels,
                      unsigned short samplesPerSec, unsigned short bitsPerSample, void* tag) {
    if (m_pfnMixOut.load() == nullptr || len < 0 || (data == nullptr && len > 0)) {
        return false;
    }
    tagWaveTrack* rec = FindTraceIDData(traceID);
    if (rec == nullptr) {
        return false;
    }
    rec->tLastFeed = GetNowTime();
    const auto bytes = static_cast<unsigned long>(len);
    if (channels == m_wChannels && samplesPerSec == m_wSamplesPerSec &&
        bitsPerSample == m_wBitsPerSample) {
        return AddDirect(*rec, data, bytes, tag);
    }
    return AddConverted(*rec, data, bytes, channels, samplesPerSec, bitsPerSample, tag);
}

bool CMixer::AddDirect(tagWaveTrack& rec, const char* data, unsigned long len, void* tag) {
    if (!EnsureStaging(rec)) {
        return false;
    }
    if (len > rec.dwBufferSize - rec.dwDataLen && !GrowStaging(rec, rec.dwDataLen + len)) {
        return false;
    }
    if (len > 0) {
        std::memcpy(rec.pBuffer.get() + rec.dwDataLen, data, len);
        // A partial block of a converted format is not continued by this one.
        rec.partialBlock.clear();
    }
    rec.dwDataLen += len;
    return EmitFrames(rec, tag);
}

bool CMixer::AddConverted(tagWaveTrack& rec, const char* data, unsigned long len,
                          unsigned short channels, unsigned short samplesPerSec,
                          unsigned short bitsPerSample, void* tag) {
    const bool sameFormat = rec.bConvertOpen && channels == rec.wChannels &&
                            samplesPerSec == rec.wSamplesPerSec &&
                            bitsPerSample == rec.wBitsPerSample;
    if (!sameFormat) {
        try {
            if (rec.pConvert == nullptr) {
                rec.pConvert = std::make_unique<CWaveConvert>();
            }
        } catch (const std::bad_alloc&) {
            return false;
        }
        rec.pConvert->Close();
        rec.partialBlock.clear();  // a partial block of another format cannot be completed
        rec.wChannels = channels;
        rec.wSamplesPerSec = samplesPerSec;
        rec.wBitsPerSample = bitsPerSample;
        rec.bConvertOpen = rec.pConvert->Open(channels, samplesPerSec, bitsPerSample, m_wChannels,
                                              m_wSamplesPerSec, m_wBitsPerSample);
        if (!rec.bConvertOpen) {
            return false;
        }
    }
    if (!EnsureStaging(rec)) {
        return false;
    }

    // The converter opened, so the width is one it supports: whole bytes.
    const std::size_t blockAlign = std::size_t{channels} * (bitsPerSample / 8u);
    const auto* src = reinterpret_cast<const unsigned char*>(data);
    unsigned long remaining = len;

    if (!rec.partialBlock.empty()) {
        const std::size_t take =
            std::min<std::size_t>(blockAlign - rec.partialBlock.size(), remaining);
        try {
            rec.partialBlock.insert(rec.partialBlock.end(), src, src + take);
        } catch (const std::bad_alloc&) {
            return false;
        }
        src += take;
        remaining -= static_cast<unsigned long>(take);
        if (rec.partialBlock.size() < blockAlign) {
            return true;
        }
        const unsigned char* blockSrc = rec.partialBlock.data();
        unsigned long blockLen = static_cast<unsigned long>(blockAlign);
        const bool ok = ConvertInto(rec, blockSrc, blockLen, tag);
        if (!ok || blockLen != 0) {
            return false;
        }
        rec.partialBlock.clear();
    }

    if (!ConvertInto(rec, src, remaining, tag)) {
        return false;
    }
    if (remaining >= blockAlign) {
        return false;  // the converter stopped making progress on whole blocks
    }
    try {
        rec.partialBlock.assign(src, src + remaining);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool CMixer::ConvertInto(tagWaveTrack& rec, const unsigned char*& src, unsigned long& len,
                         void* tag) {
    while (len > 0) {
        if (rec.dwBufferSize - rec.dwDataLen < m_dwGrowStep &&
            !GrowStaging(rec, rec.dwBufferSize + m_dwGrowStep)) {
            return false;
        }
        unsigned long used = len;
        unsigned long produced = rec.dwBufferSize - rec.dwDataLen;
        if (!rec.pConvert->Convert(
                src, used, reinterpret_cast<unsigned char*>(rec.pBuffer.get()) + rec.dwDataLen,
                produced)) {
            return false;
        }
        if (used == 0 && produced == 0) {
            break;  // no progress: what is left is less than one source block
        }
        rec.dwDataLen += produced;
        src += used;
        len -= used;
        if (!EmitFrames(rec, tag)) {
            return false;
        }
    }
    return true;
}

bool CMixer::EmitFrames(tagWaveTrack& rec, void* tag) {
    const unsigned long frame = m_wFrameSize;
    char* const buffer = rec.pBuffer.get();
    unsigned long pos = 0;
    bool queued = true;
    while (rec.dwDataLen - pos >= frame) {
        if (!m_WaveMix.AddFrame(rec.lTraceID, buffer + pos, static_cast<int>(frame), tag)) {
            queued = false;  // out of memory: keep the rest staged
            break;
        }
        pos += frame;
    }
    if (pos > 0) {
        rec.dwDataLen -= pos;
        if (rec.dwDataLen > 0) {
            std::memmove(buffer, buffer + pos, rec.dwDataLen);
        }
    }
    return queued;
}

}  // namespace _Carovel
