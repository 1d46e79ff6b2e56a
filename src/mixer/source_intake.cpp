#include "mixer/source_intake.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace _Carovel {
namespace {

// The staging buffer is given back down to this many frames after a call
// that needed more (a large flushed tail, or a block whose frames could not
// all be queued).
constexpr std::size_t kKeptStagingFrames = 2;

}  // namespace

SourceIntake::SourceIntake(long sourceId, const PcmFormat& mixFormat, std::size_t frameBytes)
    : sourceId_(sourceId), mixFormat_(mixFormat), frameBytes_(frameBytes) {}

Status SourceIntake::Feed(const char* data, std::size_t len, const PcmFormat& format, void* tag,
                          CWaveMix& mix) {
    Status status = Status::kOk;
    if (format == mixFormat_) {
        // What the converter holds back comes before this block.
        if (converterPending_) {
            status = DrainConverter(tag, mix);
        }
        if (status == Status::kOk) {
            status = FeedDirect(data, len, tag, mix);
        }
    } else {
        status = FeedConverted(reinterpret_cast<const unsigned char*>(data), len, format, tag, mix);
    }
    ShrinkStaging();
    return status;
}

Status SourceIntake::Flush(void* tag, CWaveMix& mix) {
    if (converterPending_) {
        const Status status = DrainConverter(tag, mix);
        if (status != Status::kOk) {
            return status;
        }
    }
    partialBlock_.clear();
    Status status = Status::kOk;
    if (stagedBytes_ % frameBytes_ != 0) {
        const std::size_t padded = (stagedBytes_ / frameBytes_ + 1) * frameBytes_;
        if (!GrowStaging(padded)) {
            return Status::kOutOfMemory;
        }
        const int silence = mixFormat_.bitsPerSample == 8 ? 0x80 : 0;
        std::memset(staging_.get() + stagedBytes_, silence, padded - stagedBytes_);
        stagedBytes_ = padded;
    }
    status = EmitFrames(tag, mix);
    ShrinkStaging();
    return status;
}

void SourceIntake::DiscardStaged() {
    stagedBytes_ = 0;
    partialBlock_.clear();
}

// Frames are queued straight from the caller's block; only a partial frame
// at either end goes through the staging buffer.
Status SourceIntake::FeedDirect(const char* data, std::size_t len, void* tag, CWaveMix& mix) {
    if (len == 0) {
        return Status::kOk;
    }
    // A partial block of a converted format is not continued by this one.
    partialBlock_.clear();
    if (stagedBytes_ > 0) {
        const std::size_t fill = stagedBytes_ % frameBytes_;
        const std::size_t take = fill == 0 ? 0 : std::min(len, frameBytes_ - fill);
        Status status = Stage(data, take);
        if (status != Status::kOk) {
            return status;
        }
        data += take;
        len -= take;
        status = EmitFrames(tag, mix);
        if (status != Status::kOk) {
            return Stage(data, len) == Status::kOk ? status : Status::kOutOfMemory;
        }
    }
    while (len >= frameBytes_) {
        if (!mix.AddFrame(sourceId_, data, static_cast<int>(frameBytes_), tag)) {
            const Status status = mix.LastStatus();
            return Stage(data, len) == Status::kOk ? status : Status::kOutOfMemory;
        }
        data += frameBytes_;
        len -= frameBytes_;
    }
    return Stage(data, len);
}

Status SourceIntake::UseConverterFor(const PcmFormat& format, void* tag, CWaveMix& mix) {
    if (converter_ != nullptr && format == converterFormat_) {
        return Status::kOk;
    }
    std::unique_ptr<CWaveConvert> fresh;
    try {
        fresh = std::make_unique<CWaveConvert>();
        partialBlock_.reserve(format.BlockAlign());
    } catch (const std::bad_alloc&) {
        return Status::kOutOfMemory;
    }
    if (!fresh->Open(static_cast<unsigned short>(format.channels),
                     static_cast<unsigned short>(format.samplesPerSec),
                     static_cast<unsigned short>(format.bitsPerSample),
                     static_cast<unsigned short>(mixFormat_.channels),
                     static_cast<unsigned short>(mixFormat_.samplesPerSec),
                     static_cast<unsigned short>(mixFormat_.bitsPerSample))) {
        return fresh->LastStatus();
    }
    if (converterPending_) {
        const Status status = DrainConverter(tag, mix);
        if (status != Status::kOk) {
            return status;
        }
    }
    partialBlock_.clear();  // a partial block of another format cannot be completed
    converter_ = std::move(fresh);
    converterFormat_ = format;
    return Status::kOk;
}

Status SourceIntake::FeedConverted(const unsigned char* data, std::size_t len,
                                   const PcmFormat& format, void* tag, CWaveMix& mix) {
    Status status = UseConverterFor(format, tag, mix);
    if (status != Status::kOk || len == 0) {
        return status;
    }
    // The converter opened, so the width is one it supports: whole bytes.
    const std::size_t blockAlign = format.BlockAlign();
    const unsigned char* src = data;
    std::size_t remaining = len;
    converterPending_ = true;

    if (!partialBlock_.empty()) {
        const std::size_t take = std::min(blockAlign - partialBlock_.size(), remaining);
        partialBlock_.insert(partialBlock_.end(), src, src + take);  // capacity reserved
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
    partialBlock_.assign(src, src + remaining);  // less than the capacity reserved
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

Status SourceIntake::DrainConverter(void* tag, CWaveMix& mix) {
    const std::size_t growStep = 2 * frameBytes_;
    for (;;) {
        if (stagingCapacity_ - stagedBytes_ < growStep &&
            !GrowStaging(stagingCapacity_ + growStep)) {
            return Status::kOutOfMemory;
        }
        unsigned long produced = static_cast<unsigned long>(stagingCapacity_ - stagedBytes_);
        if (!converter_->Flush(reinterpret_cast<unsigned char*>(staging_.get()) + stagedBytes_,
                               produced)) {
            return converter_->LastStatus();
        }
        if (produced == 0) {
            break;
        }
        stagedBytes_ += produced;
        const Status status = EmitFrames(tag, mix);
        if (status != Status::kOk) {
            return status;
        }
    }
    converterPending_ = false;
    return Status::kOk;
}

Status SourceIntake::Stage(const char* data, std::size_t len) {
    if (len == 0) {
        return Status::kOk;
    }
    // Exactly what the first partial frame needs (most sources stay at
    // that), then doubling up to a frame.
    const std::size_t need = stagedBytes_ + len;
    const std::size_t capacity =
        stagingCapacity_ == 0 ? need : std::max(need, std::min(2 * stagingCapacity_, frameBytes_));
    if (!GrowStaging(capacity)) {
        return Status::kOutOfMemory;
    }
    std::memcpy(staging_.get() + stagedBytes_, data, len);
    stagedBytes_ += len;
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

void SourceIntake::ShrinkStaging() {
    const std::size_t kept = kKeptStagingFrames * frameBytes_;
    if (stagingCapacity_ <= kept + frameBytes_ || stagedBytes_ > kept) {
        return;
    }
    if (void* shrunk = std::realloc(staging_.get(), kept)) {
        (void)staging_.release();
        staging_.reset(static_cast<char*>(shrunk));
        stagingCapacity_ = kept;
    }
}

}  // namespace _Carovel
