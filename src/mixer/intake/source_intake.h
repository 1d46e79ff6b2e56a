// One source's intake: where its bytes are converted to the mixing format,
// staged and cut into frames for the frame mixer.
#ifndef CAROVEL_MIXER_SOURCE_INTAKE_H
#define CAROVEL_MIXER_SOURCE_INTAKE_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "carovel/status.h"
#include "carovel/wave_convert.h"
#include "engine/engine.h"
#include "mixer/intake/source_board.h"
#include "pcm/pcm_format.h"

namespace _Carovel {

class FormatStream;
class TrimStage;

// Where a source's whole frames go: the engine's queue of the source, fed at
// nowSeconds, with the source's board (when given) attached to it.
class FrameSink {
  public:
    FrameSink(Engine& engine, std::uint32_t nowSeconds,
              const std::shared_ptr<void>* board = nullptr)
        : engine_(engine), nowSeconds_(nowSeconds), board_(board) {}
    // slot, when not null, is the caller's hint of where the source's queue
    // is (see QueueTable::Push).
    Status Queue(long sourceId, const char* data, std::size_t len, void* tag,
                 std::uint32_t* slot = nullptr) const {
        return engine_.Push(sourceId, data, static_cast<int>(len), tag, nowSeconds_, board_, slot);
    }
    // The source's queue as it stands; false when it has none. slot as for
    // Queue.
    bool State(long sourceId, QueueState& out, std::uint32_t* slot = nullptr) const {
        return engine_.Queues().State(sourceId, out, slot);
    }

  private:
    Engine& engine_;
    std::uint32_t nowSeconds_;
    const std::shared_ptr<void>* board_;
};

class SourceIntake {
  public:
    // A source whose frames of frameBytes bytes (a whole number of sample
    // blocks of mixFormat) go to the frame mixer under sourceId.
    SourceIntake(long sourceId, const PcmFormat& mixFormat, std::size_t frameBytes);
    ~SourceIntake();
    SourceIntake(const SourceIntake&) = delete;
    SourceIntake& operator=(const SourceIntake&) = delete;

    // Feeds len bytes of data in the given format. Blocks in the mixing format
    // go into the stream as they are; others go through the source's
    // converter (a new one when the format changes, after the old one's
    // held-back audio was drained into the stream). Every whole frame is
    // queued into mix, carrying tag; less than a frame stays staged for the
    // next call. An incomplete sample block of a converted format waits for
    // the next block in that format; it is dropped (it can never complete)
    // when the format changes.
    //
    // With a trim set (SetTrim) or audio to shed (SetShed), the stream in the
    // mixing format (as fed, or as converted) goes through a trim stage
    // (TrimStage) from then until the stream ends (Flush or Restart).
    //
    // Returns kOk, or why the block was refused: kUnsupportedFormat when the
    // format cannot be converted (nothing changes then), kOutOfMemory, or
    // kNoProgress when the converter stopped consuming whole sample blocks.
    // When memory runs out while queuing frames, the bytes not yet queued stay
    // staged and go out with the next call.
    Status Feed(const char* data, std::size_t len, const PcmFormat& format, void* tag,
                const FrameSink& mix);

    // Ends the stream: drains what the converter holds back, pads the last
    // partial frame with silence to a whole frame and queues it with tag. An
    // incomplete sample block of a converted format is dropped. The source
    // may go on with a new stream afterwards.
    Status Flush(void* tag, const FrameSink& mix);

    // Drops the staged partial frame and any incomplete sample block; the
    // staging buffer and the converter stay.
    void DiscardStaged();

    // The resampling trim for the blocks fed from now on, in parts per
    // million (see TrimStage::SetTrim); 0 by default.
    void SetTrim(std::int32_t ppm) {
        trimPpm_ = ppm;
        UpdatePlain();
    }
    std::int32_t Trim() const { return trimPpm_; }
    // Whether the source's audio currently goes through the trim stage.
    bool Trimming() const;
    // Source blocks per output block of the resamplers the source's audio
    // goes through (its converter's times the trim stage's); 1 without one.
    double ResampleRatio() const;
    // The resampler of the converters made from now on (see Resampler);
    // kLowLatency by default. A converter already made keeps its own.
    void UseResampler(Resampler resampler) { resampler_ = resampler; }
    // Keeps the last blocks of the stream, for the filter of the trim stage
    // that a trim starts (live mode); off by default.
    void KeepHistory(bool keep);
    // Live mode's request to shed audio in quiet stretches: a count of
    // requests in the upper 32 bits and the budget in sample blocks of the
    // mixing format in the lower (see SourceBoard::shedRequest). A new
    // request replaces what is left of the last one's budget.
    void SetShed(std::uint64_t request);
    // Sample blocks shed since the source was made.
    std::uint64_t ShedBlocks() const;
    // The time spent in the trim stage (with the frames it completed)
    // since the last call, in nanoseconds: measured on one block in eight
    // and counted eight times.
    std::uint64_t TakeTrimNs() {
        const std::uint64_t ns = trimNs_;
        trimNs_ = 0;
        return ns;
    }

    // Starts the stream again after a gap, silenceBytes (whole sample blocks
    // of the mixing format) of silence late: what the converter and the trim
    // stage hold back is drained into the stream (they start afresh), then
    // the silence is staged and whole frames are queued with tag. The trim
    // stage of a source in the mixing format ends here.
    Status Restart(std::size_t silenceBytes, void* tag, const FrameSink& mix);

    long SourceId() const { return sourceId_; }
    // The seconds clock at the last Feed (or creation), for idle expiry.
    std::uint32_t LastFeedSeconds() const { return lastFeedSeconds_; }
    void MarkFed(std::uint32_t nowSeconds) { lastFeedSeconds_ = nowSeconds; }

    // Bytes staged that do not yet make a whole frame, and the staging
    // buffer's capacity.
    std::size_t StagedBytes() const { return stagedBytes_; }
    const char* StagedData() const { return staging_.get(); }
    std::size_t StagingCapacity() const { return stagingCapacity_; }

    // The duration of the audio fed since the stream (re)started, at each
    // block's own rate, in milliseconds, and the last block's share of it.
    double FedMs() const { return fedMs_; }
    double LastBlockMs() const { return lastBlockMs_; }

    // The source's board; every frame the source queues carries it to the
    // source's queue, which keeps it.
    SourceBoard& Board() { return *board_; }
    const SourceBoard& Board() const { return *board_; }
    const std::shared_ptr<void>& BoardHandle() const { return boardHandle_; }
    // Publishes the source's state on its board after a block that arrived
    // at nowUs. A block that added no audio (an empty one) does not move the
    // arrival time live mode measures the backlog from.
    void Publish(std::uint64_t nowUs) {
        if (reports_ == 0 || blocksFed_ != arrivedBlocks_) {
            arrivedUs_ = nowUs;
            arrivedBlocks_ = blocksFed_;
        }
        publishedStaged_ = stagedBytes_;
        IntakeReport report;
        report.stagedBytes = stagedBytes_;
        report.lastFeedUs = arrivedUs_;
        report.fedMs = fedMs_;
        report.lastBlockMs = lastBlockMs_;
        report.reports = ++reports_;
        report.primes = starts_;
        board_->Publish(report);
    }
    // Publishes only what statistics read of the board, when it changed: a
    // mixer in queued mode, where nothing else reads the board, publishes
    // this way after each block.
    void PublishStaged() {
        if (stagedBytes_ != publishedStaged_) {
            publishedStaged_ = stagedBytes_;
            board_->PublishStagedBytes(stagedBytes_);
        }
    }
    // Live mode's starts of the stream at a fixed latency: counted, and the
    // pushes the source's queue had counted when the last one began.
    void CountStart(std::uint64_t queuePushes) {
        ++starts_;
        startedAtPush_ = queuePushes;
        framesAtStart_ = framesQueued_;
    }
    std::uint64_t Starts() const { return starts_; }
    std::uint64_t StartedAtPush() const { return startedAtPush_; }
    // Whether frames were queued since the last start.
    bool QueuedSinceStart() const { return framesQueued_ > framesAtStart_; }
    // The source's queue as it stands; false when it has none.
    bool QueueStateIn(const FrameSink& mix, QueueState& out) {
        return mix.State(sourceId_, out, &queueSlot_);
    }

  private:
    struct ByteFree {
        void operator()(char* p) const noexcept { std::free(p); }
    };

    // Feed's path for the blocks its short path does not take: in a
    // converted format, or from a source with a converter or a trim.
    Status FeedOther(const char* data, std::size_t len, const PcmFormat& format, void* tag,
                     const FrameSink& mix);
    // Queues len (at least 1) bytes in the mixing format, after what is
    // staged.
    Status FeedDirect(const char* data, std::size_t len, void* tag, const FrameSink& mix);
    // The duration of len bytes in format, in milliseconds.
    static double BlockMs(const PcmFormat& format, std::size_t len);
    // Works out plain_ again after what it depends on changed.
    void UpdatePlain();
    // Feeds whole blocks of data through stream, keeping an incomplete block
    // in partial for the next call. On a failure what was not converted is
    // dropped (a block completed from partial included), but not an
    // incomplete block at the end: the stream stays aligned.
    Status FeedThrough(FormatStream& stream, std::vector<unsigned char>& partial,
                       std::size_t blockAlign, const unsigned char* data, std::size_t len,
                       void* tag, const FrameSink& mix);
    // Feeds a block in the mixing format through the trim stage, starting it
    // when needed.
    Status FeedTrimmed(const char* data, std::size_t len, void* tag, const FrameSink& mix);
    // Whether the trim stage should start: a trim or a shed budget.
    bool WantsTrimStage() const { return trimPpm_ != 0 || shedBlocks_ != 0; }
    // Starts the trim stage when it is wanted and not running (or passes it
    // the trim when it runs).
    Status StartTrimStage();
    // Moves what the trim stage can make into the staging buffer, queuing
    // frames as they complete.
    Status PullTrimmed(void* tag, const FrameSink& mix);
    // bytes (whole blocks) of the mixing format were written after the
    // staged bytes: staged, or through the trim stage when it runs.
    Status Produced(std::size_t bytes, void* tag, const FrameSink& mix);
    // Switches to a converter for format unless the current one is for it.
    // A format the converter refuses changes nothing.
    Status UseConverterFor(const PcmFormat& format, void* tag, const FrameSink& mix);
    // Moves what the converter (or the trim stage) holds back into the
    // stream.
    Status DrainConverter(void* tag, const FrameSink& mix);
    Status DrainTrimStage(void* tag, const FrameSink& mix);
    // Both, converter first: the end of the stream in every format.
    Status DrainHeldBack(void* tag, const FrameSink& mix);
    Status DrainStream(FormatStream& stream, void* tag, const FrameSink& mix);
    // Grows the staging buffer, where needed, so that a frame fits after the
    // staged bytes. False when memory ran out.
    bool MakeRoomForAFrame();
    // Appends len bytes to the staged ones.
    Status Stage(const char* data, std::size_t len);
    // Gives memory back after an unusually large block.
    void ShrinkStaging();
    // Converts whole source blocks from src into the staging buffer, queuing
    // frames as they complete; advances src and len past what was used.
    Status ConvertInto(FormatStream& stream, const unsigned char*& src, std::size_t& len, void* tag,
                       const FrameSink& mix);
    // Queues every whole staged frame; keeps the rest at the buffer's start.
    Status EmitFrames(void* tag, const FrameSink& mix);
    // Makes the staging buffer at least capacity bytes large, keeping its
    // content. Returns false, changing nothing, when memory runs out.
    bool GrowStaging(std::size_t capacity);
    // Appends a block of the stream to the history (when kept).
    void Remember(const PcmFormat& format, const char* data, std::size_t len);
    // The history's whole blocks that end where the stream stands now,
    // leaving out the last tail bytes not yet in it; returns the count of
    // blocks and points *start at the first.
    std::size_t HistoryBlocks(std::size_t blockAlign, std::size_t tail,
                              const unsigned char** start) const;

    // What a block in the mixing format uses comes first, in as few cache
    // lines as will hold it, so that such a block touches few lines of a
    // source fed among many.
    const long sourceId_;
    const PcmFormat mixFormat_;
    std::uint32_t lastFeedSeconds_ = 0;
    const std::size_t frameBytes_;
    std::size_t stagedBytes_ = 0;  // less than a frame between calls
    // The staged bytes as the board last showed them.
    std::size_t publishedStaged_ = 0;
    std::size_t stagingCapacity_ = 0;
    // Where the source's queue was last found in the frame mixer (see
    // QueueTable::Push).
    std::uint32_t queueSlot_ = kNoQueueSlot;
    // True while the source has no converter, no trim stage and no trim, so
    // that a block in the mixing format goes straight into frames (with no
    // converter there is nothing held back and no incomplete block of
    // another format).
    bool plain_ = true;
    // Whether the last blocks of the stream are kept (see history_).
    bool keepHistory_ = false;
    std::uint64_t framesQueued_ = 0;
    double fedMs_ = 0.0;
    // Blocks that added audio, and when the last of them arrived (with the
    // count then).
    std::uint64_t blocksFed_ = 0;
    std::uint64_t arrivedUs_ = 0;
    std::uint64_t arrivedBlocks_ = 0;
    double lastBlockMs_ = 0.0;
    // The duration of a frame, the usual block.
    const double frameMs_;

    std::uint64_t reports_ = 0;
    std::uint64_t starts_ = 0;
    const std::shared_ptr<SourceBoard> board_ = std::make_shared<SourceBoard>();
    const std::shared_ptr<void> boardHandle_ = board_;
    std::unique_ptr<char, ByteFree> staging_;
    std::uint64_t startedAtPush_ = 0;
    std::uint64_t framesAtStart_ = 0;

    std::shared_ptr<FormatStream> converter_;       // for converterFormat_; null until needed
    Resampler resampler_ = Resampler::kLowLatency;  // for the converters made
    PcmFormat converterFormat_;
    // The converter has taken input since it was last drained.
    bool converterPending_ = false;
    // Bytes of an incomplete sample block in converterFormat_, completed by
    // the next block in that format.
    std::vector<unsigned char> partialBlock_;

    // Trimming: the trim asked for, the shed request and budget, the trim
    // stage (null until it is wanted) with its incomplete sample block, the
    // blocks shed by stages that ended, and the last blocks of the stream,
    // in historyFormat_, when kept.
    std::int32_t trimPpm_ = 0;
    std::uint64_t shedRequest_ = 0;
    std::size_t shedBlocks_ = 0;
    std::uint64_t shedBefore_ = 0;
    std::uint64_t trimNs_ = 0;
    std::uint32_t trimCalls_ = 0;
    std::unique_ptr<TrimStage> trimStage_;
    std::vector<unsigned char> trimPartial_;
    PcmFormat historyFormat_;
    std::vector<unsigned char> history_;
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXER_SOURCE_INTAKE_H
