// A simulated world for live mode: sources that feed blocks on their own
// clocks, the engine and the sources' intakes as CMixer runs them
// (PrepareLiveBlock, Feed, Publish), and live mode's output loop
// (RunPasses with LivePasses) on a simulated
// clock. Time passes only in the loop's waits and in callbacks that say they
// take time, and the feeds due meanwhile run then, as a host thread would
// run them; an hour takes seconds and every run is the same.
//
// Used by bench/live.cpp and by the live-mode tests.
#ifndef CAROVEL_TESTS_SUPPORT_LIVE_WORLD_H
#define CAROVEL_TESTS_SUPPORT_LIVE_WORLD_H

#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "engine/engine.h"
#include "engine/queue_table.h"
#include "mixer/intake/source_intake.h"
#include "mixer/live/drift_control.h"
#include "mixer/live/live_mode.h"
#include "mixer/live/live_passes.h"
#include "mixer/output/output_thread.h"
#include "platform/clock.h"
#include "platform/event.h"

namespace carovel_live {

using _Carovel::PcmFormat;

// A source as the simulation's checks see it: its queue's counters and its
// intake's report.
struct SourceState {
    long sourceId = 0;
    std::size_t queuedFrames = 0;
    struct Record {
        std::uint64_t framesPushed = 0;
        std::uint64_t framesMixed = 0;
        std::uint64_t framesCut = 0;
        std::uint64_t dropouts = 0;
        bool tookLastPass = false;
        std::int32_t trimPpm = 0;
        _Carovel::IntakeReport intake;
    } record;
};

constexpr double kPi = 3.14159265358979323846;

// A source fed on its own clock: blocks of blockSamples every blockSamples /
// rate seconds of that clock, which runs driftPpm fast against the
// simulated one. 16-bit samples: a sine (toneHz, amplitude), or silence.
struct Feeder {
    long id = 0;
    PcmFormat format;
    std::size_t blockSamples = 0;
    double periodUs = 0.0;
    double nextUs = 0.0;
    double toneHz = 0.0;
    double amplitude = 0.0;
    // Blocks due in [pauseUs, resumeUs) are not sent.
    std::uint64_t pauseUs = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t resumeUs = std::numeric_limits<std::uint64_t>::max();
    // Blocks due in [holdUs, releaseUs) are made on time but held back, and
    // all delivered at once at releaseUs (a burst).
    std::uint64_t holdUs = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t releaseUs = std::numeric_limits<std::uint64_t>::max();
    std::vector<std::vector<char>> held;
    std::uint64_t samplesMade = 0;
    std::uint64_t blocksSent = 0;
    std::unique_ptr<_Carovel::SourceIntake> intake;
    std::vector<char> block;

    void Make() {
        block.resize(blockSamples * format.BlockAlign());
        char* p = block.data();
        for (std::size_t i = 0; i < blockSamples; ++i, ++samplesMade) {
            const double v = toneHz == 0.0 ? 0.0
                                           : amplitude * std::sin(2 * kPi * toneHz *
                                                                  static_cast<double>(samplesMade) /
                                                                  format.samplesPerSec);
            const auto s = static_cast<std::int16_t>(std::lround(v));
            for (unsigned c = 0; c < format.channels; ++c) {
                *p++ = static_cast<char>(s & 0xff);
                *p++ = static_cast<char>((s >> 8) & 0xff);
            }
        }
    }
};

class World {
  public:
    // A world mixing 16-bit frames of frameBytes in format, with live mode
    // set as settings says (off when settings.targetMs is 0), until endUs.
    World(const _Carovel::LiveSettings& settings, const PcmFormat& format, std::size_t frameBytes,
          std::uint64_t endUs)
        : settings_(settings),
          format_(format),
          frameBytes_(frameBytes),
          live_(settings, format, frameBytes),
          event_(std::make_shared<_Carovel::AutoResetEvent>()),
          exceptions_(std::make_shared<std::atomic<unsigned long>>(0)),
          session_(&World::Callback, this, frameBytes, _Carovel::MixPeriodMs(format, frameBytes),
                   event_, exceptions_),
          endUs_(endUs) {
        engine_.Init(static_cast<unsigned short>(format.BytesPerSample()));
        Queues().SetMaxFrames(settings.On() ? live_.MaxFrames() : 0);
    }
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    _Carovel::Engine& Engine() { return engine_; }
    _Carovel::QueueTable& Queues() { return engine_.Queues(); }
    _Carovel::LiveShared& Live() { return live_; }
    std::uint64_t NowUs() const { return nowUs_; }
    const _Carovel::LivePasses* Passes() const { return passes_.get(); }

    // A source fed from startUs on (the default staggers sources by id).
    Feeder& AddFeeder(long id, const PcmFormat& format, double blockMs, double driftPpm,
                      double toneHz, double amplitude, double startUs = -1.0) {
        feeders_.push_back(std::make_unique<Feeder>());
        Feeder& f = *feeders_.back();
        f.id = id;
        f.format = format;
        f.blockSamples = static_cast<std::size_t>(format.samplesPerSec * blockMs / 1000.0);
        f.periodUs = blockMs * 1000.0 / (1.0 + driftPpm * 1e-6);
        f.nextUs = startUs >= 0 ? startUs : 3000.0 + 1000.0 * static_cast<double>(id % 7);
        f.toneHz = toneHz;
        f.amplitude = amplitude;
        f.intake = std::make_unique<_Carovel::SourceIntake>(id, format_, frameBytes_);
        return f;
    }
    // Feed times late by up to jitterMs, uniformly at random (fixed seed).
    void SetJitterMs(double jitterMs) { jitterMs_ = jitterMs; }

    // Runs the feeds due up to t, then sets the clock to t; stops the
    // session once the end is reached.
    void AdvanceTo(std::uint64_t t) {
        for (;;) {
            Feeder* next = nullptr;
            Feeder* release = nullptr;
            for (auto& f : feeders_) {
                if (f->nextUs <= static_cast<double>(t) &&
                    (next == nullptr || f->nextUs < next->nextUs)) {
                    next = f.get();
                }
                if (!f->held.empty() && f->releaseUs <= t &&
                    (release == nullptr || f->releaseUs < release->releaseUs)) {
                    release = f.get();
                }
            }
            if (release != nullptr &&
                (next == nullptr || static_cast<double>(release->releaseUs) <= next->nextUs)) {
                nowUs_ = std::max(nowUs_, release->releaseUs);
                std::vector<std::vector<char>> blocks;
                blocks.swap(release->held);
                for (std::vector<char>& block : blocks) {
                    release->block.swap(block);
                    Deliver(*release);
                }
                continue;
            }
            if (next == nullptr) {
                break;
            }
            double at = next->nextUs;
            if (jitterMs_ > 0) {
                at += std::uniform_real_distribution<double>(0.0, jitterMs_ * 1000.0)(rng_);
            }
            nowUs_ = std::max(nowUs_, static_cast<std::uint64_t>(std::llround(at)));
            const auto due = static_cast<std::uint64_t>(next->nextUs);
            next->nextUs += next->periodUs;
            if (due >= next->holdUs && due < next->releaseUs) {
                next->Make();
                next->held.push_back(next->block);
            } else if (due < next->pauseUs || due >= next->resumeUs) {
                Feed(*next);
            }
        }
        nowUs_ = std::max(nowUs_, t);
        if (nowUs_ >= endUs_) {
            session_.Stop(false);
        }
    }

    // Runs live mode's output loop until the end.
    void Run(const _Carovel::DriftTuning& tuning = _Carovel::DriftTuning()) {
        Clock clock(*this);
        passes_ = std::make_unique<_Carovel::LivePasses>(live_, engine_, 0, tuning);
        _Carovel::RunPasses(session_, *passes_, clock, live_.frameMs);
    }

    // Called after every pass that produced a mix, with what the callback got.
    std::function<void(World&, const char* master, unsigned masterLen, const char* mix,
                       unsigned mixLen, void* tag)>
        onPass;
    // Called after every block fed.
    std::function<void(World&, Feeder&)> afterFeed;

    // A source's view in the frame mixer (false when it has none).
    bool View(long id, SourceState& state) {
        _Carovel::SourceView view;
        if (!Queues().View(id, view)) {
            return false;
        }
        state = Describe(view);
        return true;
    }
    // Every source, in table order.
    std::vector<SourceState> Views() {
        std::vector<_Carovel::SourceView> views;
        Queues().Views(views);
        std::vector<SourceState> out;
        for (const auto& view : views) {
            out.push_back(Describe(view));
        }
        return out;
    }
    // A source's backlog after the last pass: queued frames and staged bytes.
    double QueuedMs(long id) {
        SourceState view;
        if (!View(id, view)) {
            return 0.0;
        }
        return static_cast<double>(view.queuedFrames * frameBytes_ +
                                   view.record.intake.stagedBytes) /
               live_.bytesPerMs;
    }

  private:
    class Clock final : public _Carovel::PassClock {
      public:
        explicit Clock(World& w) : w_(w) {}
        std::uint64_t NowUs() override { return w_.NowUs(); }
        bool Wait(std::uint32_t ms) override {
            w_.AdvanceTo(w_.NowUs() + std::uint64_t{ms} * 1000u);
            return false;
        }

      private:
        World& w_;
    };

    static SourceState Describe(const _Carovel::SourceView& view) {
        SourceState s;
        s.sourceId = view.sourceId;
        s.queuedFrames = view.queuedFrames;
        s.record.framesPushed = view.counters.framesPushed;
        s.record.framesMixed = view.counters.framesMixed;
        s.record.framesCut = view.counters.framesCut;
        s.record.dropouts = view.counters.dropouts;
        s.record.tookLastPass = view.counters.tookLastPass;
        if (const auto* board = static_cast<const _Carovel::SourceBoard*>(view.attachment.get())) {
            s.record.trimPpm = board->trimPpm.load();
            s.record.intake = board->Read();
        }
        return s;
    }

    void Feed(Feeder& f) {
        f.Make();
        Deliver(f);
    }

    // Feeds the feeder's block now.
    void Deliver(Feeder& f) {
        const _Carovel::FrameSink sink(engine_, _Carovel::MonotonicSeconds(),
                                       &f.intake->BoardHandle());
        bool changed = false;
        const _Carovel::Status status =
            settings_.On() ? _Carovel::PrepareLiveBlock(*f.intake, sink, live_, nowUs_,
                                                        f.block.size(), f.format, nullptr, changed)
                           : _Carovel::Status::kOk;
        if (status == _Carovel::Status::kOk) {
            f.intake->Feed(f.block.data(), f.block.size(), f.format, nullptr, sink);
            live_.trimNs.fetch_add(f.intake->TakeTrimNs());
        }
        f.intake->Publish(nowUs_);
        ++f.blocksSent;
        if (afterFeed) {
            afterFeed(*this, f);
        }
    }

    static void Callback(char* master, unsigned masterLen, char* mix, unsigned mixLen, void* user,
                         void* tag) {
        auto* w = static_cast<World*>(user);
        if (w->onPass) {
            w->onPass(*w, master, masterLen, mix, mixLen, tag);
        }
    }

    _Carovel::LiveSettings settings_;
    PcmFormat format_;
    std::size_t frameBytes_;
    _Carovel::Engine engine_;
    _Carovel::LiveShared live_;
    std::shared_ptr<_Carovel::AutoResetEvent> event_;
    std::shared_ptr<std::atomic<unsigned long>> exceptions_;
    _Carovel::OutputSession session_;
    std::unique_ptr<_Carovel::LivePasses> passes_;
    std::vector<std::unique_ptr<Feeder>> feeders_;
    std::uint64_t nowUs_ = 0;
    std::uint64_t endUs_;
    double jitterMs_ = 0.0;
    std::mt19937 rng_{12345};
};

}  // namespace carovel_live

#endif  // CAROVEL_TESTS_SUPPORT_LIVE_WORLD_H
