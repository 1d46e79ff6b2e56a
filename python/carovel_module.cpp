// The carovel Python module: CMixer and CWaveConvert for numpy arrays.
//
// Mixer wraps one CMixer. Without live mode it is host-driven (OpenManual):
// mix() runs the passes on the calling thread. In live mode the mixer's own
// output thread runs them and mix() hands out what it produced since the
// last call. Either way the callbacks only append bytes to buffers of this
// object, under its own lock, so they never need the interpreter.
//
// The calls that CMixer wants serialised (add, flush, mix, clear, close, the
// limiter) take one lock of the object's with the interpreter's lock
// released, so Python threads may feed one mixer while another mixes.
#include <carovel/format.h>
#include <carovel/mixer.h>
#include <carovel/version.h>
#include <carovel/wave_convert.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;
using _Carovel::CMixer;
using _Carovel::CWaveConvert;
using _Carovel::Resampler;
using _Carovel::Status;

namespace {

// A sample type as the module names it.
struct SampleType {
    const char* name;
    _Carovel::SampleType type;
};

SampleType ParseSampleType(const std::string& name) {
    static const SampleType kTypes[] = {{"u8", _Carovel::SampleType::kU8},
                                        {"s16", _Carovel::SampleType::kS16},
                                        {"s24", _Carovel::SampleType::kS24},
                                        {"s32", _Carovel::SampleType::kS32},
                                        {"f32", _Carovel::SampleType::kF32}};
    for (const SampleType& t : kTypes) {
        if (name == t.name) {
            return t;
        }
    }
    throw py::value_error("sample_type must be 'u8', 's16', 's24', 's32' or 'f32', not '" + name +
                          "'");
}

std::uint32_t CheckRate(long long rate, const char* what) {
    if (rate < 1 || rate > static_cast<long long>(_Carovel::kMaxSamplesPerSec)) {
        throw py::value_error(std::string(what) + " must be 1.." +
                              std::to_string(_Carovel::kMaxSamplesPerSec) +
                              " samples per second, not " + std::to_string(rate));
    }
    return static_cast<std::uint32_t>(rate);
}

unsigned short CheckChannels(long long channels, const char* what) {
    if (channels < 1 || channels > 65535) {
        throw py::value_error(std::string(what) + " must be 1..65535, not " +
                              std::to_string(channels));
    }
    return static_cast<unsigned short>(channels);
}

// A numpy array of samples as the library reads it: contiguous native-order
// bytes, their sample type from the dtype, and the channel count from the
// shape.
struct SampleBlock {
    py::array array;  // keeps the bytes alive
    const char* data = nullptr;
    std::size_t bytes = 0;
    std::size_t frames = 0;
    _Carovel::SampleType type = _Carovel::SampleType::kS16;
    unsigned short channels = 0;
};

template <typename T>
py::array Contiguous(const py::array& in) {
    // Copies when the array is not C-contiguous or not in native byte order.
    return py::array_t<T, py::array::c_style>::ensure(in);
}

SampleBlock ReadSamples(const py::handle& obj, const char* what) {
    if (!py::isinstance<py::array>(obj)) {
        throw py::type_error(std::string(what) + " must be a numpy array, not " +
                             std::string(py::str(py::type::of(obj).attr("__name__"))));
    }
    const auto in = py::reinterpret_borrow<py::array>(obj);
    const py::dtype dt = in.dtype();
    const char kind = dt.kind();
    const auto size = dt.itemsize();
    SampleBlock out;
    if (kind == 'u' && size == 1) {
        out.array = Contiguous<std::uint8_t>(in);
        out.type = _Carovel::SampleType::kU8;
    } else if (kind == 'i' && size == 2) {
        out.array = Contiguous<std::int16_t>(in);
        out.type = _Carovel::SampleType::kS16;
    } else if (kind == 'i' && size == 4) {
        out.array = Contiguous<std::int32_t>(in);
        out.type = _Carovel::SampleType::kS32;
    } else if (kind == 'f' && size == 4) {
        out.array = Contiguous<float>(in);
        out.type = _Carovel::SampleType::kF32;
    } else if (kind == 'f') {
        // Not converted behind the caller's back: a float64 array is twice
        // the bytes, and its values beyond float32's precision would be lost
        // silently.
        throw py::type_error(std::string(what) + " must have dtype uint8, int16, int32 or " +
                             "float32, not " + std::string(py::str(py::handle(dt))) +
                             " (samples.astype(numpy.float32) makes float32 samples)");
    } else {
        throw py::type_error(std::string(what) +
                             " must have dtype uint8, int16, int32 or float32, not " +
                             std::string(py::str(py::handle(dt))));
    }
    if (!out.array) {
        throw py::type_error(std::string(what) + " could not be read as a contiguous array");
    }
    const py::ssize_t ndim = out.array.ndim();
    if (ndim == 1) {
        out.channels = 1;
    } else if (ndim == 2) {
        out.channels = CheckChannels(static_cast<long long>(out.array.shape(1)),
                                     "the channel count (shape[1])");
    } else {
        throw py::value_error(std::string(what) + " must have shape (n,) or (n, channels), not " +
                              std::to_string(ndim) + " dimensions");
    }
    out.frames = static_cast<std::size_t>(out.array.shape(0));
    out.bytes = static_cast<std::size_t>(out.array.nbytes());
    out.data = static_cast<const char*>(out.array.data());
    return out;
}

// Packed little-endian samples of a type as a numpy array: uint8, int16,
// int32, int32 holding the 24-bit values for s24, float32. Shape (n,) for
// one channel, else (n, channels).
py::array ToArray(const std::vector<char>& bytes, _Carovel::SampleType type,
                  unsigned short channels) {
    const std::size_t width = _Carovel::BytesPerSample(type);
    const std::size_t samples = bytes.size() / width;
    const std::size_t frames = samples / channels;
    std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(frames)};
    if (channels > 1) {
        shape.push_back(channels);
    }
    const std::size_t used = frames * channels;
    switch (type) {
        case _Carovel::SampleType::kU8: {
            py::array_t<std::uint8_t> out(shape);
            std::memcpy(out.mutable_data(), bytes.data(), used);
            return py::array(std::move(out));
        }
        case _Carovel::SampleType::kS16: {
            py::array_t<std::int16_t> out(shape);
            std::memcpy(out.mutable_data(), bytes.data(), used * 2);
            return py::array(std::move(out));
        }
        case _Carovel::SampleType::kS24: {
            py::array_t<std::int32_t> out(shape);
            std::int32_t* dst = out.mutable_data();
            const auto* src = reinterpret_cast<const unsigned char*>(bytes.data());
            for (std::size_t i = 0; i < used; ++i) {
                const std::uint32_t v = static_cast<std::uint32_t>(src[3 * i]) |
                                        static_cast<std::uint32_t>(src[3 * i + 1]) << 8 |
                                        static_cast<std::uint32_t>(src[3 * i + 2]) << 16;
                // Sign-extends the 24-bit value.
                dst[i] = static_cast<std::int32_t>(v << 8) >> 8;
            }
            return py::array(std::move(out));
        }
        case _Carovel::SampleType::kF32: {
            py::array_t<float> out(shape);
            std::memcpy(out.mutable_data(), bytes.data(), used * 4);
            return py::array(std::move(out));
        }
        default: {
            py::array_t<std::int32_t> out(shape);
            std::memcpy(out.mutable_data(), bytes.data(), used * 4);
            return py::array(std::move(out));
        }
    }
}

const char* DtypeName(_Carovel::SampleType type) {
    switch (type) {
        case _Carovel::SampleType::kU8:
            return "uint8";
        case _Carovel::SampleType::kS16:
            return "int16";
        case _Carovel::SampleType::kF32:
            return "float32";
        default:
            return "int32";
    }
}

// A length for the converter's calls, which take unsigned long (32 bits on
// Windows): longer ones go in several steps.
unsigned long ToULong(std::size_t n) {
    return n > std::numeric_limits<unsigned long>::max() ? std::numeric_limits<unsigned long>::max()
                                                         : static_cast<unsigned long>(n);
}

[[noreturn]] void RaiseStatus(Status status, const std::string& what) {
    const std::string text = what + ": " + _Carovel::StatusText(status);
    switch (status) {
        case Status::kBadArgument:
        case Status::kUnsupportedFormat:
            throw py::value_error(text);
        case Status::kOutOfMemory:
            throw std::bad_alloc();
        default:
            throw std::runtime_error(text);
    }
}

class Mixer {
  public:
    Mixer(long long rate, long long channels, const std::string& sampleType, double frameMs,
          bool mixMinus, bool includeIdle, unsigned liveTargetMs, unsigned liveMaxMs,
          unsigned liveMasterTimeoutMs)
        : type_(ParseSampleType(sampleType)),
          rate_(CheckRate(rate, "rate")),
          channels_(CheckChannels(channels, "channels")) {
        const double blocks = static_cast<double>(rate_) * frameMs / 1000.0;
        const double whole = std::round(blocks);
        if (!std::isfinite(frameMs) || !(frameMs > 0.0) || whole < 1.0 ||
            std::fabs(blocks - whole) > 1e-6) {
            throw py::value_error("frame_ms must give a whole number of samples per frame at " +
                                  std::to_string(rate_) + " per second");
        }
        const double bytes = whole * channels_ * _Carovel::BytesPerSample(type_.type);
        if (bytes > static_cast<double>(kMaxFrameBytes)) {
            char size[32];
            std::snprintf(size, sizeof size, "%.6g", bytes);
            throw py::value_error(std::string("a frame of frame_ms is ") + size +
                                  " bytes; at most 2^30 are supported");
        }
        frameBytes_ = static_cast<unsigned long>(bytes);
        live_ = liveTargetMs != 0 || liveMaxMs != 0;
        if (mixMinus && !mixer_.SetMixMinusCallback(OnMinus, includeIdle)) {
            RaiseStatus(mixer_.LastStatus(), "mix-minus");
        }
        if (live_ && !mixer_.SetLiveMode(liveTargetMs, liveMaxMs, liveMasterTimeoutMs)) {
            RaiseStatus(mixer_.LastStatus(), "live mode (target_ms, max_ms, master_timeout_ms)");
        }
        const _Carovel::AudioFormat format{rate_, channels_, type_.type};
        const bool ok = live_ ? mixer_.Open(format, frameBytes_, OnMix, this)
                              : mixer_.OpenManual(format, frameBytes_, OnMix, this);
        if (!ok) {
            RaiseStatus(mixer_.LastStatus(), "opening the mixer");
        }
    }

    ~Mixer() {
        // CMixer's destructor stops the output thread before the buffers go.
        mixer_.Close();
    }

    void Add(long source, const py::handle& samples, std::optional<long long> rate) {
        const SampleBlock block = ReadSamples(samples, "samples");
        const _Carovel::AudioFormat format{rate ? CheckRate(*rate, "rate") : rate_, block.channels,
                                           block.type};
        if (block.bytes > static_cast<std::size_t>(INT_MAX)) {
            throw py::value_error("samples: at most 2 GiB per call");
        }
        bool ok = false;
        Status status = Status::kOk;
        {
            py::gil_scoped_release unlocked;
            const std::lock_guard<std::mutex> serial(serial_);
            ok =
                mixer_.AddFrame(source, block.data, static_cast<int>(block.bytes), format, nullptr);
            status = mixer_.LastStatus();
        }
        if (!ok) {
            RaiseStatus(status, "add");
        }
    }

    void Flush(long source) {
        bool ok = false;
        Status status = Status::kOk;
        {
            py::gil_scoped_release unlocked;
            const std::lock_guard<std::mutex> serial(serial_);
            ok = mixer_.FlushSource(source, nullptr);
            status = mixer_.LastStatus();
        }
        if (!ok) {
            RaiseStatus(status, "flush");
        }
    }

    py::array Mix(std::optional<long long> maxPasses) {
        int limit = INT_MAX;
        if (maxPasses) {
            const long long n = *maxPasses;
            if (n < 0) {
                throw py::value_error("max_passes must be 0 or more");
            }
            limit = n > INT_MAX ? INT_MAX : static_cast<int>(n);
        }
        std::vector<char> taken;
        Status status = Status::kOk;
        {
            py::gil_scoped_release unlocked;
            const std::lock_guard<std::mutex> serial(serial_);
            if (!live_ && limit > 0 && mixer_.MixPending(limit) == 0) {
                status = mixer_.LastStatus();  // kOk when nothing was queued
            }
            // The passes' mixes, whole: in live mode those the output thread
            // ran since the last call, at most limit of them.
            const std::lock_guard<std::mutex> out(outLock_);
            std::size_t passes = passLengths_.size();
            if (live_ && passes > static_cast<std::size_t>(limit)) {
                passes = static_cast<std::size_t>(limit);
            }
            std::size_t end = 0;
            for (std::size_t i = 0; i < passes; ++i) {
                end += passLengths_[i];
            }
            const auto endAt = mixed_.begin() + static_cast<std::ptrdiff_t>(end);
            taken.assign(mixed_.begin(), endAt);
            mixed_.erase(mixed_.begin(), endAt);
            passLengths_.erase(passLengths_.begin(),
                               passLengths_.begin() + static_cast<std::ptrdiff_t>(passes));
        }
        if (status != Status::kOk) {
            RaiseStatus(status, "mix");
        }
        return ToArray(taken, type_.type, channels_);
    }

    py::dict MixMinus() {
        std::map<long, std::vector<char>> taken;
        {
            py::gil_scoped_release unlocked;
            const std::lock_guard<std::mutex> out(outLock_);
            taken.swap(minus_);
        }
        py::dict result;
        for (const auto& entry : taken) {
            result[py::int_(entry.first)] = ToArray(entry.second, type_.type, channels_);
        }
        return result;
    }

    // The mixer's status is shared by its calls: each call that reads it
    // runs under serial_, so that another thread's call cannot change it in
    // between (a failed set_gain made a mix() raise and drop its audio).
    void SetGain(long source, float gain) {
        Status status = Status::kOk;
        {
            py::gil_scoped_release unlocked;
            const std::lock_guard<std::mutex> serial(serial_);
            if (!mixer_.SetSourceGain(source, gain)) {
                status = mixer_.LastStatus();
            }
        }
        if (status != Status::kOk) {
            RaiseStatus(status, "set_gain (gain 0..16)");
        }
    }

    void SetLimiter(bool enabled, float thresholdDbfs, float releaseMs) {
        Status status = Status::kOk;
        {
            py::gil_scoped_release unlocked;
            const std::lock_guard<std::mutex> serial(serial_);
            if (!mixer_.SetLimiter(enabled, thresholdDbfs, releaseMs)) {
                status = mixer_.LastStatus();
            }
        }
        if (status != Status::kOk) {
            RaiseStatus(status, "set_limiter (threshold_dbfs -60..0, release_ms 1..10000)");
        }
    }

    void Clear() {
        py::gil_scoped_release unlocked;
        const std::lock_guard<std::mutex> serial(serial_);
        mixer_.ClearTraceData();
        const std::lock_guard<std::mutex> out(outLock_);
        mixed_.clear();
        passLengths_.clear();
        minus_.clear();
    }

    void Close() {
        py::gil_scoped_release unlocked;
        const std::lock_guard<std::mutex> serial(serial_);
        mixer_.Close();
    }

    py::dict Stats() const {
        std::vector<_Carovel::SourceStats> sources(16);
        _Carovel::MixerStats whole;
        for (;;) {
            const unsigned n = mixer_.GetAllSourceStats(
                sources.data(), static_cast<unsigned>(sources.size()), &whole);
            if (n <= sources.size()) {
                sources.resize(n);
                break;
            }
            sources.resize(n + 16);
        }
        py::list list;
        for (const auto& s : sources) {
            py::dict d;
            d["source"] = s.sourceId;
            d["backlog_frames"] = s.backlogFrames;
            d["backlog_ms"] = s.backlogMs;
            d["frames_mixed"] = s.framesMixed;
            d["frames_cut"] = s.framesCut;
            d["dropouts"] = s.dropouts;
            d["trim_ppm"] = s.trimPpm;
            d["clipped_samples"] = s.clippedSamples;
            d["rms_dbfs"] = s.hasLevel ? py::object(py::float_(s.rmsDbfs)) : py::object(py::none());
            d["peak_dbfs"] =
                s.hasLevel ? py::object(py::float_(s.peakDbfs)) : py::object(py::none());
            list.append(d);
        }
        py::dict result;
        result["sources"] = list;
        result["callback_exceptions"] = whole.callbackExceptions;
        result["live_mode"] = whole.liveMode;
        result["target_ms"] = whole.targetMs;
        result["max_ms"] = whole.maxMs;
        result["master_timeout_ms"] = whole.masterTimeoutMs;
        result["catch_up_passes"] = whole.catchUpPasses;
        result["passes_without_master"] = whole.passesWithoutMaster;
        result["live_passes"] = whole.livePasses;
        result["live_control_us_per_pass"] = whole.liveControlUsPerPass;
        result["live_trim_us_per_pass"] = whole.liveTrimUsPerPass;
        return result;
    }

    bool IsOpen() const { return mixer_.IsRun(); }
    bool Live() const { return live_; }
    std::uint32_t Rate() const { return rate_; }
    unsigned short Channels() const { return channels_; }
    std::string TypeName() const { return type_.name; }
    unsigned long FrameBytes() const { return frameBytes_; }
    py::dtype Dtype() const { return py::dtype(DtypeName(type_.type)); }

  private:
    static void OnMix(char*, unsigned int, char* mix, unsigned int mixLen, void* user, void*) {
        auto* self = static_cast<Mixer*>(user);
        const std::lock_guard<std::mutex> out(self->outLock_);
        self->mixed_.insert(self->mixed_.end(), mix, mix + mixLen);
        self->passLengths_.push_back(mixLen);
    }

    static void OnMinus(long source, char* frame, unsigned int len, void* user) {
        auto* self = static_cast<Mixer*>(user);
        const std::lock_guard<std::mutex> out(self->outLock_);
        std::vector<char>& to = self->minus_[source];
        to.insert(to.end(), frame, frame + len);
    }

    // The mixer takes frames of up to 2^30 bytes.
    static constexpr unsigned long kMaxFrameBytes = 1ul << 30;

    SampleType type_;
    std::uint32_t rate_;
    unsigned short channels_;
    unsigned long frameBytes_ = 0;
    bool live_ = false;
    std::mutex serial_;
    std::mutex outLock_;
    std::vector<char> mixed_;
    std::vector<std::size_t> passLengths_;
    std::map<long, std::vector<char>> minus_;
    // Last, so destroyed first: its destructor stops the thread whose
    // callbacks fill the buffers above.
    CMixer mixer_;
};

py::array Convert(const py::handle& samples, long long fromRate, long long toRate,
                  std::optional<long long> channels) {
    const SampleBlock block = ReadSamples(samples, "samples");
    const std::uint32_t from = CheckRate(fromRate, "from_rate");
    const std::uint32_t to = CheckRate(toRate, "to_rate");
    const unsigned short outChannels =
        channels ? CheckChannels(*channels, "channels") : block.channels;
    std::vector<char> out;
    Status status = Status::kOk;
    {
        py::gil_scoped_release unlocked;
        CWaveConvert convert;
        // The whole stream is at hand, so the resampler's hold-back costs
        // nothing: the fast one.
        if (!convert.Open(_Carovel::AudioFormat{from, block.channels, block.type},
                          _Carovel::AudioFormat{to, outChannels, block.type}, Resampler::kFast)) {
            status = convert.LastStatus();
        } else {
            const std::size_t outBlock =
                std::size_t{outChannels} * _Carovel::BytesPerSample(block.type);
            // The whole stream gives ceil(frames * to / from) blocks.
            const std::size_t expected =
                static_cast<std::size_t>((std::uint64_t{block.frames} * to + from - 1) / from + 1);
            out.resize(expected * outBlock);
            std::size_t read = 0;
            std::size_t written = 0;
            for (;;) {
                if (out.size() - written < 4096) {
                    out.resize(out.size() + 65536);
                }
                unsigned long srcLen = ToULong(block.bytes - read);
                unsigned long dstLen = ToULong(out.size() - written);
                if (!convert.Convert(reinterpret_cast<const unsigned char*>(block.data) + read,
                                     srcLen, reinterpret_cast<unsigned char*>(&out[written]),
                                     dstLen)) {
                    status = convert.LastStatus();
                    break;
                }
                read += srcLen;
                written += dstLen;
                if (srcLen == 0 && dstLen == 0) {
                    break;
                }
            }
            while (status == Status::kOk) {
                if (out.size() - written < 4096) {
                    out.resize(out.size() + 65536);
                }
                unsigned long dstLen = ToULong(out.size() - written);
                if (!convert.Flush(reinterpret_cast<unsigned char*>(&out[written]), dstLen)) {
                    status = convert.LastStatus();
                    break;
                }
                written += dstLen;
                if (dstLen == 0) {
                    break;
                }
            }
            out.resize(written);
        }
    }
    if (status != Status::kOk) {
        RaiseStatus(status, "convert");
    }
    return ToArray(out, block.type, outChannels);
}

}  // namespace

PYBIND11_MODULE(carovel, m) {
    m.doc() =
        "carovel: real-time PCM audio mixing for numpy arrays.\n\n"
        "Samples are numpy arrays of uint8 (silence at 128), int16, int32 or float32 (full "
        "scale 1.0), of shape (n,) "
        "for one channel or (n, channels).";
    m.attr("__version__") = _Carovel::GetVersionString();

    py::class_<Mixer>(m, "Mixer",
                      "Mixes any number of sources into one stream; source 0 is the master, "
                      "whose frames pace the passes.")
        .def(py::init<long long, long long, const std::string&, double, bool, bool, unsigned,
                      unsigned, unsigned>(),
             py::arg("rate"), py::arg("channels"), py::arg("sample_type") = "s16",
             py::arg("frame_ms") = 20.0, py::kw_only(), py::arg("mix_minus") = false,
             py::arg("include_idle") = false, py::arg("live_target_ms") = 0u,
             py::arg("live_max_ms") = 0u, py::arg("live_master_timeout_ms") = 0u)
        .def("add", &Mixer::Add, py::arg("source"), py::arg("samples"),
             py::arg("rate") = py::none(),
             "Feeds a block of a source (converted when not in the mixing format).")
        .def("flush", &Mixer::Flush, py::arg("source"),
             "Ends a source's stream: its last partial frame is padded and queued.")
        .def("mix", &Mixer::Mix, py::arg("max_passes") = py::none(),
             "Runs the pending passes (at most max_passes) and returns their mix.")
        .def("mix_minus", &Mixer::MixMinus,
             "The mix-minus outputs of the passes since the last call: {source: samples}.")
        .def("set_gain", &Mixer::SetGain, py::arg("source"), py::arg("gain"))
        .def("set_limiter", &Mixer::SetLimiter, py::arg("enabled") = true,
             py::arg("threshold_dbfs") = -1.0f, py::arg("release_ms") = 100.0f)
        .def("clear", &Mixer::Clear)
        .def("close", &Mixer::Close)
        .def("stats", &Mixer::Stats)
        .def("__enter__", [](Mixer& self) -> Mixer& { return self; })
        .def("__exit__", [](Mixer& self, const py::args&) { self.Close(); })
        .def_property_readonly("is_open", &Mixer::IsOpen)
        .def_property_readonly("live", &Mixer::Live)
        .def_property_readonly("rate", &Mixer::Rate)
        .def_property_readonly("channels", &Mixer::Channels)
        .def_property_readonly("sample_type", &Mixer::TypeName)
        .def_property_readonly("frame_bytes", &Mixer::FrameBytes)
        .def_property_readonly("dtype", &Mixer::Dtype);

    m.def("convert", &Convert, py::arg("samples"), py::arg("from_rate"), py::arg("to_rate"),
          py::arg("channels") = py::none(),
          "Converts a whole stream to another rate and channel count, same sample type.");
}
