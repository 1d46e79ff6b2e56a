#include "mixer/source_intake.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace _Carovel {
namespace {

// A source's staging buffer starts this large and grows when a block needs
// more room.
constexpr std::size_t kInitialStagingBytes = 0x10000;

}  // namespace

SourceIntake::SourceIntake(long sourceId, const PcmFormat& mixFormat, std::size_t frameBytes)
    : sourceId_(sourceId), mixFormat_(mixFormat), frameBytes_(frameBytes) {}

Status SourceIntake::Feed(const char* data, std::size_t len, const PcmFormat& format, void* tag,
                          CWaveMix& mix) {
    if (format == mixFormat_) {
        return FeedDirect(data, len, tag, mix);
    }
    return FeedConverted(reinterpret_cast<const unsigned char*>(data), len, format, tag, mix);
}

void SourceIntake::DiscardStaged() {
    stagedBytes_ = 0;
    partialBlock_.clear();
}

Status SourceIntake::FeedDirect(const char* data, std::size_t len, void* tag, CWaveMix& mix) {
    if (!EnsureStaging()) {
        return Status::kOutOfMemory;
    }
    if (len > stagingCapacity_ - stagedBytes_ && !GrowStaging(stagedBytes_ + len)) {
        return Status::kOutOfMemory;
    }
    if (len > 0) {
        std::memcpy(staging_.get() + stagedBytes_, data, len);
        // A partial block of a converted format is not continued by this one.
        partialBlock_.clear();
    }
    stagedBytes_ += len;
    return EmitFrames(tag, mix);
}

Status SourceIntake::UseConverterFor(const PcmFormat& format) {
    if (converterOpen_ && format == converterFormat_) {
        return Status::kOk;
    }
    try {
        if (converter_ == nullptr) {
            converter_ = std::make_unique<CWaveConvert>();
        }
    } catch (const std::bad_alloc&) {
        return Status::kOutOfMemory;
    }
    converter_->Close();
    partialBlock_.clear();  // a partial block of another format cannot be completed
    converterFormat_ = format;
    converterOpen_ = converter_->Open(static_cast<unsigned short>(format.channels),
                                      static_cast<unsigned short>(format.samplesPerSec),
                                      static_cast<unsigned short>(format.bitsPerSample),
                                      static_cast<unsigned short>(mixFormat_.channels),
                                      static_cast<unsigned short>(mixFormat_.samplesPerSec),
                                      static_cast<unsigned short>(mixFormat_.bitsPerSample));
    return converterOpen_ ? Status::kOk : converter_->LastStatus();
}

Status SourceIntake::FeedConverted(const unsigned char* data, std::size_t len,
                                   const PcmFormat& format, void* tag, CWaveMix& mix) {
    Status status = UseConverterFor(format);
    if (status != Status::kOk) {
        return status;
    }
    if (!EnsureStaging()) {
        return Status::kOutOfMemory;
    }

    // The converter opened, so the width is one it supports: whole bytes.
    const std::size_t blockAlign = format.BlockAlign();
    const unsigned char* src = data;
    std::size_t remaining = len;

    if (!partialBlock_.empty()) {
        const std::size_t take = std::min(blockAlign - partialBlock_.size(), remaining);
        try {
            partialBlock_.insert(partialBlock_.end(), src, src + take);
        } catch (const std::bad_alloc&) {
            return Status::kOutOfMemory;
        }
        src += take;
        remaining -= take;
        if (partialBlock_.size() < blockAlign) {
            return Status::kOk;
        }
        const unsigned char* blockSrc = partialBlock_.data();
        std::size_t blockLen = blockAlign;
        status = ConvertInto(blockSrc, blockLen, tag, mix);
        if (status != Status::kOk) {
            return status;
        }
        if (blockLen != 0) {
            return Status::kNoProgress;
        }
        partialBlock_.clear();
    }

    status = ConvertInto(src, remaining, tag, mix);
    if (status != Status::kOk) {
        return status;
    }
    if (remaining >= blockAlign) {
        return Status::kNoProgress;  // the converter stopped making progress on whole blocks
    }
    try {
        partialBlock_.assign(src, src + remaining);
    } catch (const std::bad_alloc&) {
        return Status::kOutOfMemory;
    }
    return Status::kOk;
}

Status SourceIntake::ConvertInto(const unsigned char*& src, std::size_t& len, void* tag,
                                 CWaveMix& mix) {
    // The staging buffer grows by two frames whenever less than that is free,
    // so every step has room for at least a frame of output.
    const std::size_t growStep = 2 * frameBytes_;
    while (len > 0) {
        if (stagingCapacity_ - stagedBytes_ < growStep &&
            !GrowStaging(stagingCapacity_ + growStep)) {
            return Status::kOutOfMemory;
        }
        unsigned long used = static_cast<unsigned long>(len);
        unsigned long produced = static_cast<unsigned long>(stagingCapacity_ - stagedBytes_);
        if (!converter_->Convert(src, used,
                                 reinterpret_cast<unsigned char*>(staging_.get()) + stagedBytes_,
                                 produced)) {
            return converter_->LastStatus();
        }
        if (used == 0 && produced == 0) {
            break;  // no progress: what is left is less than one source block
        }
        stagedBytes_ += produced;
        src += used;
        len -= used;
        const Status status = EmitFrames(tag, mix);
        if (status != Status::kOk) {
            return status;
        }
    }
    return Status::kOk;
}

Status SourceIntake::EmitFrames(void* tag, CWaveMix& mix) {
    char* const buffer = staging_.get();
    std::size_t pos = 0;
    Status status = Status::kOk;
    while (stagedBytes_ - pos >= frameBytes_) {
        if (!mix.AddFrame(sourceId_, buffer + pos, static_cast<int>(frameBytes_), tag)) {
            status = mix.LastStatus();  // out of memory: keep the rest staged
            break;
        }
        pos += frameBytes_;
    }
    if (pos > 0) {
        stagedBytes_ -= pos;
        if (stagedBytes_ > 0) {
            std::memmove(buffer, buffer + pos, stagedBytes_);
        }
    }
    return status;
}

bool SourceIntake::GrowStaging(std::size_t capacity) {
    if (staging_ != nullptr && stagingCapacity_ >= capacity) {
        return true;
    }
    void* grown = std::realloc(staging_.get(), capacity);
    if (grown == nullptr) {
        return false;
    }
    (void)staging_.release();
    staging_.reset(static_cast<char*>(grown));
    stagingCapacity_ = capacity;
    return true;
}

bool SourceIntake::EnsureStaging() {
    return staging_ != nullptr || GrowStaging(kInitialStagingBytes);
}

}  // namespace _Carovel
