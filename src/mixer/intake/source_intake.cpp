#include "mixer/intake/source_intake.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "convert/format_stream.h"
#include "mixer/live/trim_stage.h"

namespace _Carovel {
namespace {

// The staging buffer is given back down to this many frames after a call
// that needed more (a large flushed tail, or a block whose frames could not
// all be queued).
constexpr std::size_t kKeptStagingFrames = 2;

// Adds the time its scope takes to ns, measured on one scope in kEvery
// (counted by calls) and counted kEvery times: an estimate of the total
// for an eighth of the clock reads, which cost a few per cent of a trimmed
// block.
class TimeInto {
  public:
    static constexpr std::uint32_t kEvery = 8;
    TimeInto(std::uint64_t& ns, std::uint32_t& calls) : ns_(ns), timed_(++calls % kEvery == 0) {
        if (timed_) {
            start_ = std::chrono::steady_clock::now();
        }
    }
    ~TimeInto() {
        if (timed_) {
            ns_ += kEvery *
                   static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                  std::chrono::steady_clock::now() - start_)
                                                  .count());
        }
    }
    TimeInto(const TimeInto&) = delete;
    TimeInto& operator=(const TimeInto&) = delete;

  private:
    std::uint64_t& ns_;
    const bool timed_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace

SourceIntake::SourceIntake(long sourceId, const PcmFormat& mixFormat, std::size_t frameBytes)
    : sourceId_(sourceId),
      mixFormat_(mixFormat),
      frameBytes_(frameBytes),
      frameMs_(BlockMs(mixFormat, frameBytes)) {}

double SourceIntake::BlockMs(const PcmFormat& format, std::size_t len) {
    return static_cast<double>(len) / static_cast<double>(format.BlockAlign()) * 1000.0 /
           format.samplesPerSec;
}

void SourceIntake::UpdatePlain() {
    plain_ = converter_ == nullptr && trimStage_ == nullptr && !WantsTrimStage();
}

SourceIntake::~SourceIntake() = default;

Status SourceIntake::Feed(const char* data, std::size_t len, const PcmFormat& format, void* tag,
                          const FrameSink& mix) {
    if (!plain_ || format != mixFormat_) {
        return FeedOther(data, len, format, tag, mix);
    }
    // Most blocks: in the mixing format, from a source that never needed a
    // converter and is not trimmed.
    Status status = Status::kOk;
    if (len > 0) {
        status = FeedDirect(data, len, tag, mix);
        if (status == Status::kOk) {
            if (keepHistory_) {
                Remember(format, data, len);
            }
            lastBlockMs_ = len == frameBytes_ ? frameMs_ : BlockMs(format, len);
            fedMs_ += lastBlockMs_;
            ++blocksFed_;
        }
    }
    ShrinkStaging();
    return status;
}

Status SourceIntake::FeedOther(const char* data, std::size_t len, const PcmFormat& format,
                               void* tag, const FrameSink& mix) {
    Status status = Status::kOk;
    const bool mixing = format == mixFormat_;
    if (mixing) {
        // What the converter holds back comes before this block.
        if (converterPending_) {
            status = DrainConverter(tag, mix);
        }
        if (status == Status::kOk && (trimStage_ != nullptr || WantsTrimStage())) {
            status = FeedTrimmed(data, len, tag, mix);
        } else if (status == Status::kOk && len > 0) {
            // A partial block of a converted format is not continued by this
            // one.
            partialBlock_.clear();
            status = FeedDirect(data, len, tag, mix);
        }
    } else {
        status = UseConverterFor(format, tag, mix);
        // The converter's output goes through the trim stage, which starts
        // with the first trim.
        if (status == Status::kOk && len > 0) {
            status = StartTrimStage();
        }
        if (status == Status::kOk && len > 0) {
            converterPending_ = true;
            status = FeedThrough(*converter_, partialBlock_, format.BlockAlign(),
                                 reinterpret_cast<const unsigned char*>(data), len, tag, mix);
            if (const std::uint64_t clipped = converter_->TakeClipped()) {
                board_->clippedSamples.fetch_add(clipped, std::memory_order_relaxed);
            }
        }
    }
    if (status == Status::kOk && len > 0) {
        Remember(format, data, len);
        lastBlockMs_ = BlockMs(format, len);
        fedMs_ += lastBlockMs_;
        ++blocksFed_;
    }
    ShrinkStaging();
    return status;
}

Status SourceIntake::DrainHeldBack(void* tag, const FrameSink& mix) {
    if (converterPending_) {
        const Status status = DrainConverter(tag, mix);
        if (status != Status::kOk) {
            return status;
        }
    }
    return trimStage_ != nullptr ? DrainTrimStage(tag, mix) : Status::kOk;
}

Status SourceIntake::Flush(void* tag, const FrameSink& mix) {
    if (const Status status = DrainHeldBack(tag, mix); status != Status::kOk) {
        return status;
    }
    partialBlock_.clear();
    if (stagedBytes_ % frameBytes_ != 0) {
        const std::size_t padded = (stagedBytes_ / frameBytes_ + 1) * frameBytes_;
        if (!GrowStaging(padded)) {
            return Status::kOutOfMemory;
        }
        const int silence = mixFormat_.bitsPerSample == 8 ? 0x80 : 0;
        std::memset(staging_.get() + stagedBytes_, silence, padded - stagedBytes_);
        stagedBytes_ = padded;
    }
    const Status status = EmitFrames(tag, mix);
    ShrinkStaging();
    return status;
}

void SourceIntake::DiscardStaged() {
    stagedBytes_ = 0;
    partialBlock_.clear();
    trimPartial_.clear();
}

bool SourceIntake::Trimming() const {
    return trimStage_ != nullptr;
}

double SourceIntake::ResampleRatio() const {
    const double converted =
        converter_ != nullptr && converter_->Resampling() ? converter_->SourcePerOutput() : 1.0;
    return trimStage_ != nullptr ? converted * trimStage_->SourcePerOutput() : converted;
}

void SourceIntake::SetShed(std::uint64_t request) {
    if (request == shedRequest_) {
        return;
    }
    shedRequest_ = request;
    shedBlocks_ = static_cast<std::size_t>(request & 0xffffffffu);
    if (trimStage_ != nullptr) {
        trimStage_->AllowShed(shedBlocks_);
    }
    UpdatePlain();
}

std::uint64_t SourceIntake::ShedBlocks() const {
    return shedBefore_ + (trimStage_ != nullptr ? trimStage_->ShedBlocks() : 0);
}

Status SourceIntake::StartTrimStage() {
    if (trimStage_ != nullptr) {
        trimStage_->SetTrim(trimPpm_);
        return Status::kOk;
    }
    if (!WantsTrimStage()) {
        return Status::kOk;
    }
    const std::size_t blockAlign = mixFormat_.BlockAlign();
    std::unique_ptr<TrimStage> stage;
    try {
        stage = std::make_unique<TrimStage>(mixFormat_);
        trimPartial_.reserve(blockAlign);
    } catch (const std::bad_alloc&) {
        return Status::kOutOfMemory;
    }
    // The stage starts from the stream's past: the whole blocks staged, or
    // else the history of a stream in the mixing format. Staged bytes that
    // do not make a whole sample block go through the stage first.
    const std::size_t tail = stagedBytes_ % blockAlign;
    const std::size_t stagedBlocks = stagedBytes_ / blockAlign;
    if (stagedBlocks >= static_cast<std::size_t>(TrimStage::kHalf) || history_.empty() ||
        historyFormat_ != mixFormat_) {
        stage->Prime(reinterpret_cast<const unsigned char*>(staging_.get()), stagedBlocks);
    } else {
        const unsigned char* start = nullptr;
        const std::size_t blocks = HistoryBlocks(blockAlign, tail, &start);
        stage->Prime(start, blocks);
    }
    stage->SetTrim(trimPpm_);
    stage->AllowShed(shedBlocks_);
    trimPartial_.assign(staging_.get() + stagedBytes_ - tail, staging_.get() + stagedBytes_);
    stagedBytes_ -= tail;
    trimStage_ = std::move(stage);
    history_.clear();
    UpdatePlain();
    return Status::kOk;
}

Status SourceIntake::PullTrimmed(void* tag, const FrameSink& mix) {
    const std::size_t blockAlign = mixFormat_.BlockAlign();
    for (;;) {
        if (!MakeRoomForAFrame()) {
            return Status::kOutOfMemory;
        }
        const std::size_t got =
            trimStage_->Pull(reinterpret_cast<unsigned char*>(staging_.get()) + stagedBytes_,
                             (stagingCapacity_ - stagedBytes_) / blockAlign);
        if (got == 0) {
            return Status::kOk;
        }
        stagedBytes_ += got * blockAlign;
        if (const Status status = EmitFrames(tag, mix); status != Status::kOk) {
            return status;
        }
    }
}

void SourceIntake::KeepHistory(bool keep) {
    keepHistory_ = keep;
    if (!keep) {
        history_.clear();
        history_.shrink_to_fit();
    }
}

Status SourceIntake::Restart(std::size_t silenceBytes, void* tag, const FrameSink& mix) {
    // Bytes of an incomplete sample block waiting for the trim stage: the
    // stage ends below, which drops them (as at the end of a stream), but
    // this stream goes on, so they go on after the silence.
    std::vector<unsigned char> split;
    split.swap(trimPartial_);
    if (const Status status = DrainHeldBack(tag, mix); status != Status::kOk) {
        trimPartial_.swap(split);
        return status;
    }
    history_.clear();
    fedMs_ = 0.0;
    const std::size_t blockAlign = mixFormat_.BlockAlign();
    silenceBytes -= silenceBytes % blockAlign;
    // Bytes of an incomplete sample block stay after the silence: the next
    // block completes them.
    const std::size_t tail = stagedBytes_ % blockAlign;
    if ((silenceBytes > 0 || !split.empty()) &&
        !GrowStaging(stagedBytes_ + silenceBytes + split.size())) {
        trimPartial_.swap(split);
        return Status::kOutOfMemory;
    }
    if (silenceBytes == 0 && split.empty()) {
        trimPartial_.swap(split);  // empty, with the room it had
        return Status::kOk;
    }
    char* const at = staging_.get() + stagedBytes_ - tail;
    std::memmove(at + silenceBytes, at, tail);
    std::memset(at, mixFormat_.bitsPerSample == 8 ? 0x80 : 0, silenceBytes);
    if (!split.empty()) {
        std::memcpy(at + silenceBytes + tail, split.data(), split.size());
    }
    stagedBytes_ += silenceBytes + split.size();
    split.clear();
    trimPartial_.swap(split);  // empty, with the room it had
    return EmitFrames(tag, mix);
}

// Frames are queued straight from the caller's block; only a partial frame
// at either end goes through the staging buffer.
Status SourceIntake::FeedDirect(const char* data, std::size_t len, void* tag,
                                const FrameSink& mix) {
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
        if (const Status status = mix.Queue(sourceId_, data, frameBytes_, tag, &queueSlot_);
            status != Status::kOk) {
            return Stage(data, len) == Status::kOk ? status : Status::kOutOfMemory;
        }
        ++framesQueued_;
        data += frameBytes_;
        len -= frameBytes_;
    }
    return Stage(data, len);
}

Status SourceIntake::FeedTrimmed(const char* data, std::size_t len, void* tag,
                                 const FrameSink& mix) {
    const TimeInto timer(trimNs_, trimCalls_);
    partialBlock_.clear();
    const std::size_t blockAlign = mixFormat_.BlockAlign();
    const auto* src = reinterpret_cast<const unsigned char*>(data);
    // Refused, the block is dropped but for the bytes of an incomplete
    // sample block at its end, which the next block completes (as
    // FeedThrough does).
    const auto* const end = src + len;
    const std::size_t tail = (trimPartial_.size() + len) % blockAlign;
    const auto refused = [&](Status status) {
        if (tail <= trimPartial_.capacity()) {  // room is made when the stage starts
            trimPartial_.assign(end - tail, end);
        } else {
            trimPartial_.clear();
        }
        return status;
    };
    if (const Status status = StartTrimStage(); status != Status::kOk) {
        return refused(status);
    }
    if (!trimPartial_.empty()) {
        const std::size_t take = std::min(blockAlign - trimPartial_.size(), len);
        trimPartial_.insert(trimPartial_.end(), src, src + take);  // capacity reserved
        src += take;
        len -= take;
        if (trimPartial_.size() < blockAlign) {
            return Status::kOk;
        }
        if (!trimStage_->Push(trimPartial_.data(), 1)) {
            return refused(Status::kOutOfMemory);
        }
        trimPartial_.clear();
    }
    // The block is filtered as it is taken, into the staging buffer (with
    // no room there, the stage keeps it all); what does not fit follows
    // from the stage.
    const std::size_t blocks = len / blockAlign;
    const std::size_t room =
        MakeRoomForAFrame() ? (stagingCapacity_ - stagedBytes_) / blockAlign : 0;
    std::size_t got = 0;
    if (!trimStage_->PushPull(src, blocks,
                              reinterpret_cast<unsigned char*>(staging_.get()) + stagedBytes_, room,
                              &got)) {
        return refused(Status::kOutOfMemory);
    }
    stagedBytes_ += got * blockAlign;
    trimPartial_.assign(src + blocks * blockAlign, src + len);
    if (const Status status = EmitFrames(tag, mix); status != Status::kOk) {
        return status;
    }
    return PullTrimmed(tag, mix);
}

Status SourceIntake::UseConverterFor(const PcmFormat& format, void* tag, const FrameSink& mix) {
    if (converter_ != nullptr && format == converterFormat_) {
        return Status::kOk;
    }
    std::shared_ptr<FormatStream> fresh;
    try {
        fresh = FormatStream::Create(format, mixFormat_, resampler_);
        partialBlock_.reserve(format.BlockAlign());
    } catch (const std::bad_alloc&) {
        return Status::kOutOfMemory;
    }
    if (fresh == nullptr) {
        return Status::kUnsupportedFormat;
    }
    if (converterPending_) {
        const Status status = DrainConverter(tag, mix);
        if (status != Status::kOk) {
            return status;
        }
    }
    partialBlock_.clear();  // a partial block of another format cannot be completed
    converter_ = std::move(fresh);
    UpdatePlain();
    converterFormat_ = format;
    return Status::kOk;
}

Status SourceIntake::FeedThrough(FormatStream& stream, std::vector<unsigned char>& partial,
                                 std::size_t blockAlign, const unsigned char* data, std::size_t len,
                                 void* tag, const FrameSink& mix) {
    // The stream opened, so the width is one it supports: whole bytes.
    const unsigned char* src = data;
    std::size_t remaining = len;
    // On a failure what was not converted is dropped, except the bytes of an
    // incomplete sample block at the end: the next call completes them, so
    // that the stream stays aligned on its sample blocks.
    const std::size_t tail = (partial.size() + len) % blockAlign;
    const auto failed = [&](Status status) {
        partial.assign(data + len - tail, data + len);  // less than the capacity reserved
        return status;
    };

    if (!partial.empty()) {
        const std::size_t take = std::min(blockAlign - partial.size(), remaining);
        partial.insert(partial.end(), src, src + take);  // capacity reserved
        src += take;
        remaining -= take;
        if (partial.size() < blockAlign) {
            return Status::kOk;
        }
        const unsigned char* blockSrc = partial.data();
        std::size_t blockLen = blockAlign;
        const Status status = ConvertInto(stream, blockSrc, blockLen, tag, mix);
        if (status != Status::kOk) {
            return failed(status);  // converted or not, the block is not taken again
        }
        if (blockLen != 0) {
            return Status::kNoProgress;
        }
        partial.clear();
    }

    const Status status = ConvertInto(stream, src, remaining, tag, mix);
    if (status != Status::kOk) {
        return failed(status);
    }
    if (remaining >= blockAlign) {
        return Status::kNoProgress;  // the converter stopped making progress on whole blocks
    }
    partial.assign(src, src + remaining);  // less than the capacity reserved
    return Status::kOk;
}

Status SourceIntake::ConvertInto(FormatStream& stream, const unsigned char*& src, std::size_t& len,
                                 void* tag, const FrameSink& mix) {
    while (len > 0) {
        if (!MakeRoomForAFrame()) {
            return Status::kOutOfMemory;
        }
        const StepResult step =
            stream.Step(src, len, reinterpret_cast<unsigned char*>(staging_.get()) + stagedBytes_,
                        stagingCapacity_ - stagedBytes_);
        if (step.used == 0 && step.produced == 0) {
            break;  // no progress: what is left is less than one source block
        }
        src += step.used;
        len -= step.used;
        const Status status = Produced(step.produced, tag, mix);
        if (status != Status::kOk) {
            return status;
        }
    }
    return Status::kOk;
}

Status SourceIntake::DrainConverter(void* tag, const FrameSink& mix) {
    const Status status = DrainStream(*converter_, tag, mix);
    if (status == Status::kOk) {
        converterPending_ = false;
    }
    return status;
}

Status SourceIntake::DrainTrimStage(void* tag, const FrameSink& mix) {
    const std::size_t blockAlign = mixFormat_.BlockAlign();
    for (;;) {
        if (!MakeRoomForAFrame()) {
            return Status::kOutOfMemory;
        }
        const std::size_t room = (stagingCapacity_ - stagedBytes_) / blockAlign;
        const std::size_t got = trimStage_->Drain(
            reinterpret_cast<unsigned char*>(staging_.get()) + stagedBytes_, room);
        stagedBytes_ += got * blockAlign;
        if (const Status status = EmitFrames(tag, mix); status != Status::kOk) {
            return status;
        }
        if (got < room) {
            break;
        }
    }
    // An incomplete sample block can never complete now.
    trimPartial_.clear();
    shedBefore_ += trimStage_->ShedBlocks();
    trimStage_.reset();
    UpdatePlain();
    history_.clear();
    return Status::kOk;
}

Status SourceIntake::DrainStream(FormatStream& stream, void* tag, const FrameSink& mix) {
    for (;;) {
        if (!MakeRoomForAFrame()) {
            return Status::kOutOfMemory;
        }
        const StepResult step =
            stream.Drain(reinterpret_cast<unsigned char*>(staging_.get()) + stagedBytes_,
                         stagingCapacity_ - stagedBytes_);
        if (step.produced == 0) {
            break;
        }
        const Status status = Produced(step.produced, tag, mix);
        if (status != Status::kOk) {
            return status;
        }
    }
    return Status::kOk;
}

Status SourceIntake::Produced(std::size_t bytes, void* tag, const FrameSink& mix) {
    if (trimStage_ == nullptr) {
        stagedBytes_ += bytes;
        return EmitFrames(tag, mix);
    }
    // The converter writes whole blocks after the staged ones, which are
    // whole blocks too while the trim stage runs (an incomplete one waits
    // in trimPartial_, which converted blocks cannot complete).
    const TimeInto timer(trimNs_, trimCalls_);
    trimPartial_.clear();
    const std::size_t blockAlign = mixFormat_.BlockAlign();
    if (!trimStage_->Push(reinterpret_cast<const unsigned char*>(staging_.get()) + stagedBytes_,
                          bytes / blockAlign)) {
        return Status::kOutOfMemory;
    }
    return PullTrimmed(tag, mix);
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

Status SourceIntake::EmitFrames(void* tag, const FrameSink& mix) {
    char* const buffer = staging_.get();
    std::size_t pos = 0;
    Status status = Status::kOk;
    while (stagedBytes_ - pos >= frameBytes_) {
        status = mix.Queue(sourceId_, buffer + pos, frameBytes_, tag, &queueSlot_);
        if (status != Status::kOk) {
            break;  // out of memory: keep the rest staged
        }
        ++framesQueued_;
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

bool SourceIntake::MakeRoomForAFrame() {
    // Every converter step then has room for at least a frame of output.
    // Less than a frame stays staged between steps, so growing to two frames
    // past it stays below what ShrinkStaging cuts back (above three frames):
    // a source in steady flow reallocates nothing.
    return stagingCapacity_ - stagedBytes_ >= frameBytes_ ||
           GrowStaging(stagedBytes_ + 2 * frameBytes_);
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

// Only a stream in the mixing format that has no trim stage yet needs its
// history: once a trim started one, the stage keeps its own.
void SourceIntake::Remember(const PcmFormat& format, const char* data, std::size_t len) {
    if (!keepHistory_) {
        return;
    }
    if (format != mixFormat_ || trimStage_ != nullptr) {
        return;
    }
    if (format != historyFormat_) {
        history_.clear();
        historyFormat_ = format;
    }
    // Room for the blocks the trim stage takes, and an incomplete one.
    const std::size_t keep = TrimStage::kHalf * format.BlockAlign();
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    try {
        if (len >= keep) {
            history_.assign(p + len - keep, p + len);
            return;
        }
        const std::size_t total = history_.size() + len;
        if (total > keep) {
            history_.erase(history_.begin(),
                           history_.begin() + static_cast<std::ptrdiff_t>(total - keep));
        }
        history_.insert(history_.end(), p, p + len);
    } catch (const std::bad_alloc&) {
        history_.clear();  // a trim then starts its filter from silence
    }
}

std::size_t SourceIntake::HistoryBlocks(std::size_t blockAlign, std::size_t tail,
                                        const unsigned char** start) const {
    *start = history_.data();
    if (history_.size() <= tail || blockAlign == 0) {
        return 0;
    }
    const std::size_t end = history_.size() - tail;
    const std::size_t blocks = end / blockAlign;
    *start = history_.data() + (end - blocks * blockAlign);
    return blocks;
}

}  // namespace _Carovel
