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
#include "carovel/wave_mix.h"
#include "pcm/pcm_format.h"

namespace _Carovel {

class SourceIntake {
  public:
    // A source whose frames of frameBytes bytes (a whole number of sample
    // blocks of mixFormat) go to the frame mixer under sourceId.
    SourceIntake(long sourceId, const PcmFormat& mixFormat, std::size_t frameBytes);
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
    // Returns kOk, or why the block was refused: kUnsupportedFormat when the
    // format cannot be converted (nothing changes then), kOutOfMemory, or
    // kNoProgress when the converter stopped consuming whole sample blocks.
    // When memory runs out while queuing frames, the bytes not yet queued stay
    // staged and go out with the next call.
    Status Feed(const char* data, std::size_t len, const PcmFormat& format, void* tag,
                CWaveMix& mix);

    // Ends the stream: drains what the converter holds back, pads the last
    // partial frame with silence to a whole frame and queues it with tag. An
    // incomplete sample block of a converted format is dropped. The source
    // may go on with a new stream afterwards.
    Status Flush(void* tag, CWaveMix& mix);

    // Drops the staged partial frame and any incomplete sample block; the
    // staging buffer and the converter stay.
    void DiscardStaged();

    long SourceId() const { return sourceId_; }
    // The seconds clock at the last Feed (or creation), for idle expiry.
    std::uint32_t LastFeedSeconds() const { return lastFeedSeconds_; }
    void MarkFed(std::uint32_t nowSeconds) { lastFeedSeconds_ = nowSeconds; }

    // Bytes staged that do not yet make a whole frame, and the staging
    // buffer's capacity.
    std::size_t StagedBytes() const { return stagedBytes_; }
    const char* StagedData() const { return staging_.get(); }
    std::size_t StagingCapacity() const { return stagingCapacity_; }

  private:
    struct ByteFree {
        void operator()(char* p) const noexcept { std::free(p); }
    };

    Status FeedDirect(const char* data, std::size_t len, void* tag, CWaveMix& mix);
    Status FeedConverted(const unsigned char* data, std::size_t len, const PcmFormat& format,
                         void* tag, CWaveMix& mix);
    // Switches to a converter for format unless the current one is for it.
    // A format the converter refuses changes nothing.
    Status UseConverterFor(const PcmFormat& format, void* tag, CWaveMix& mix);
    // Moves what the converter holds back into the stream.
    Status DrainConverter(void* tag, CWaveMix& mix);
    // Appends len bytes to the staged ones.
    Status Stage(const char* data, std::size_t len);
    // Gives memory back after an unusually large block.
    void ShrinkStaging();
    // Converts whole source blocks from src into the staging buffer, queuing
    // frames as they complete; advances src and len past what was used.
    Status ConvertInto(const unsigned char*& src, std::size_t& len, void* tag, CWaveMix& mix);
    // Queues every whole staged frame; keeps the rest at the buffer's start.
    Status EmitFrames(void* tag, CWaveMix& mix);
    // Makes the staging buffer at least capacity bytes large, keeping its
    // content. Returns false, changing nothing, when memory runs out.
    bool GrowStaging(std::size_t capacity);

    const long sourceId_;
    const PcmFormat mixFormat_;
    const std::size_t frameBytes_;
    std::uint32_t lastFeedSeconds_ = 0;

    std::unique_ptr<char, ByteFree> staging_;
    std::size_t stagedBytes_ = 0;  // less than a frame between calls
    std::size_t stagingCapacity_ = 0;

    std::unique_ptr<CWaveConvert> converter_;  // for converterFormat_; null until needed
    PcmFormat converterFormat_;
    // The converter has taken input since it was last drained.
    bool converterPending_ = false;
    // Bytes of an incomplete sample block in converterFormat_, completed by
    // the next block in that format.
    std::vector<unsigned char> partialBlock_;
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXER_SOURCE_INTAKE_H
