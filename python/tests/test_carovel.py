"""The carovel Python module against numpy arithmetic."""

import math
import re
import threading

import numpy as np
import pytest

import carovel

RNG = np.random.default_rng(20261208)

# numpy dtype and integer range of each sample type the module mixes.
TYPES = {
    "u8": (np.uint8, 0, 255, 128),
    "s16": (np.int16, -32768, 32767, 0),
    "s32": (np.int32, -(2**31), 2**31 - 1, 0),
}


def random_samples(sample_type, shape, fraction=0.8):
    dtype, low, high, mid = TYPES[sample_type]
    half = (high - low) / 2 * fraction
    values = RNG.integers(int(mid - half), int(mid + half), size=shape, endpoint=True)
    return values.astype(dtype)


def clamped_sum(sample_type, *blocks):
    """The mix by plain arithmetic: offsets removed, summed exactly, clamped
    once."""
    dtype, low, high, mid = TYPES[sample_type]
    total = sum(b.astype(np.int64) - mid for b in blocks) + mid
    return np.clip(total, low, high).astype(dtype)


def test_version():
    assert re.fullmatch(r"\d+\.\d+\.\d+", carovel.__version__)


@pytest.mark.parametrize("sample_type", ["u8", "s16", "s32"])
def test_mix_is_the_sum_clamped_once(sample_type):
    dtype, low, high, mid = TYPES[sample_type]
    frame = 160  # 10 ms at 16 kHz
    n = 12 * frame
    m = carovel.Mixer(16000, 2, sample_type, frame_ms=10)
    assert m.dtype == np.dtype(dtype)
    blocks = [random_samples(sample_type, (n, 2)) for _ in range(3)]
    # Two loud samples and one that brings their sum back within range:
    # clamping once keeps the sum, clamping after each addition would not.
    span = (high - low) // 2
    blocks[0][0, 0] = mid + int(span * 0.9)
    blocks[1][0, 0] = mid + int(span * 0.9)
    blocks[2][0, 0] = mid - int(span * 0.9)
    for source in (2, 1):
        m.add(source, blocks[source])
    # The master in uneven pieces.
    m.add(0, blocks[0][:1000])
    m.add(0, blocks[0][1000:])
    mixed = m.mix()
    assert mixed.dtype == np.dtype(dtype)
    assert mixed.shape == (n, 2)
    expected = clamped_sum(sample_type, *blocks)
    np.testing.assert_array_equal(mixed, expected)
    assert mixed[0, 0] == mid + int(span * 0.9)
    # Clamped at both ends somewhere in random data this loud.
    assert (mixed == high).any() and (mixed == low).any()
    assert m.mix().shape == (0, 2)


def test_mono_stream_is_flushed_whole():
    m = carovel.Mixer(8000, 1, frame_ms=20)  # 160 samples a frame
    master = random_samples("s16", 1000)
    other = random_samples("s16", 700, 0.3)
    m.add(1, other)
    m.add(0, master)
    assert m.mix().shape == (6 * 160,)
    m.flush(0)
    m.flush(1)
    rest = m.mix()
    assert rest.shape == (160,)
    # The last pass: the master's last 40 samples and source 1's last 60
    # (its fifth frame, queued by the flush), each padded with silence.
    last_master = np.zeros(160, np.int16)
    last_master[:40] = master[960:]
    last_other = np.zeros(160, np.int16)
    last_other[:60] = other[640:]
    np.testing.assert_array_equal(rest, clamped_sum("s16", last_master, last_other))
    np.testing.assert_array_equal(rest[60:], 0)


def test_sources_in_other_formats_are_converted():
    m = carovel.Mixer(16000, 1, "s16", frame_ms=20)
    master = np.zeros(16000, np.int16)
    tone = (10000 * np.sin(2 * np.pi * 440 * np.arange(8000) / 8000)).astype(np.int16)
    stereo = np.stack([tone, tone], axis=1)
    m.add(1, stereo, rate=8000)
    m.flush(1)
    m.add(0, master)
    mixed = m.mix()
    assert mixed.shape == (16000,)
    rms = math.sqrt(np.mean(mixed[2000:14000].astype(np.float64) ** 2))
    assert rms == pytest.approx(10000 / math.sqrt(2), rel=0.02)


def test_mix_minus_outputs_leave_out_their_own_source():
    n = 4 * 160
    m = carovel.Mixer(8000, 1, frame_ms=20, mix_minus=True)
    blocks = [random_samples("s16", n) for _ in range(3)]
    for source in (1, 2, 0):
        m.add(source, blocks[source])
    mixed = m.mix()
    np.testing.assert_array_equal(mixed, clamped_sum("s16", *blocks))
    outputs = m.mix_minus()
    assert sorted(outputs) == [0, 1, 2]
    for source in range(3):
        others = [b for i, b in enumerate(blocks) if i != source]
        np.testing.assert_array_equal(outputs[source], clamped_sum("s16", *others))
    assert m.mix_minus() == {}


def test_gain_and_limiter():
    n = 5 * 160
    m = carovel.Mixer(8000, 1, frame_ms=20)
    quiet = (random_samples("s16", n, 0.2) // 2 * 2).astype(np.int16)  # even: halves exactly
    m.set_gain(1, 0.5)
    m.set_gain(2, 0.0)
    m.add(1, quiet)
    m.add(2, random_samples("s16", n))
    m.add(0, quiet)
    expected = quiet.astype(np.int64) + quiet // 2
    np.testing.assert_array_equal(m.mix(), expected.astype(np.int16))

    m.set_limiter(True, threshold_dbfs=-6.0)
    loud = np.full(n, 30000, np.int16)
    m.add(1, loud)
    m.add(0, loud)
    limited = m.mix()
    ceiling = 32767 * 10 ** (-6 / 20)
    assert limited.shape == (n,)
    assert np.abs(limited.astype(np.int64)).max() <= math.ceil(ceiling)
    assert limited[-1] > 0.9 * ceiling


def test_stats():
    m = carovel.Mixer(8000, 1, frame_ms=20)
    m.add(3, random_samples("s16", 5 * 160))
    m.add(0, random_samples("s16", 3 * 160))
    stats = m.stats()
    assert stats["live_mode"] is False
    assert {s["source"] for s in stats["sources"]} == {0, 3}
    m.mix()
    by_source = {s["source"]: s for s in m.stats()["sources"]}
    assert by_source[0]["frames_mixed"] == 3 and by_source[0]["backlog_frames"] == 0
    assert by_source[3]["frames_mixed"] == 3 and by_source[3]["backlog_frames"] == 2
    assert by_source[3]["backlog_ms"] == pytest.approx(40.0)
    assert -20 < by_source[3]["rms_dbfs"] < 0
    assert by_source[3]["peak_dbfs"] >= by_source[3]["rms_dbfs"]


def test_conversion_level_and_length():
    rate, n = 8000, 8000
    t = np.arange(n) / rate
    tone = np.round(12000 * np.sin(2 * np.pi * 1000 * t)).astype(np.int16)
    up = carovel.convert(tone, rate, 48000, channels=2)
    assert up.dtype == np.int16
    assert up.shape == (48000, 2)
    np.testing.assert_array_equal(up[:, 0], up[:, 1])
    middle = up[4800:-4800, 0].astype(np.float64)
    assert math.sqrt(np.mean(middle**2)) == pytest.approx(12000 / math.sqrt(2), rel=0.01)
    # Still 1 kHz: the spectrum's peak.
    spectrum = np.abs(np.fft.rfft(middle * np.hanning(len(middle))))
    assert np.argmax(spectrum) * 48000 / len(middle) == pytest.approx(1000, abs=5)

    stereo = random_samples("s32", (44100, 2), 0.1)
    down = carovel.convert(stereo, 44100, 16000, channels=1)
    assert down.dtype == np.int32
    assert down.shape == (math.ceil(44100 * 16000 / 44100),)
    same = carovel.convert(stereo, 44100, 44100)
    np.testing.assert_array_equal(same, stereo)
    assert carovel.convert(np.zeros(0, np.uint8), 8000, 16000).shape == (0,)


def test_float_mix_keeps_headroom_and_high_rates_convert():
    # A float mix is the float sum, in source order, never clamped: sources
    # beyond full scale keep their level, integer sources come in scaled to
    # full scale 1.0.
    m = carovel.Mixer(96000, 2, "f32", frame_ms=10)  # 960 samples a frame
    assert m.dtype == np.dtype(np.float32) and m.frame_bytes == 960 * 2 * 4
    n = 4 * 960
    loud = RNG.uniform(-2.0, 2.0, size=(n, 2)).astype(np.float32)
    quiet = RNG.uniform(-0.5, 0.5, size=(n, 2)).astype(np.float32)
    ints = random_samples("s16", (n, 2))
    m.add(0, loud)
    m.add(1, quiet)
    m.add(2, ints)
    mixed = m.mix()
    assert mixed.dtype == np.dtype(np.float32) and mixed.shape == (n, 2)
    expected = loud.astype(np.float64) + quiet + ints / 32768.0
    np.testing.assert_allclose(mixed, expected, rtol=0, atol=4 * 2.0**-22)
    assert np.abs(mixed).max() > 1.5

    # A 192 kHz float source in a 48 kHz integer mix: converted, at its
    # level, rounded and clamped into 16 bits.
    m = carovel.Mixer(48000, 1, "s16")
    tone = (0.5 * np.sin(2 * np.pi * 1000 * np.arange(192000) / 192000)).astype(np.float32)
    m.add(1, tone, rate=192000)
    m.flush(1)
    m.add(0, np.zeros(48000, np.int16))
    mixed = m.mix()[4800:-4800].astype(np.float64)
    assert math.sqrt(np.mean(mixed**2)) == pytest.approx(0.5 * 32768 / math.sqrt(2), rel=0.01)

    # Float samples beyond full scale into an integer mix are clamped and
    # counted.
    m = carovel.Mixer(8000, 1, "s16", frame_ms=10)
    loud = np.full(80, 0.5, np.float32)
    loud[:7] = 1.5
    loud[7:10] = -2.0
    m.add(1, loud)
    m.add(0, np.zeros(80, np.int16))
    clipped = m.mix()
    assert clipped[0] == 32767 and clipped[8] == -32768 and clipped[20] == 16384
    by_source = {s["source"]: s for s in m.stats()["sources"]}
    assert by_source[1]["clipped_samples"] == 10 and by_source[0]["clipped_samples"] == 0
    assert m.stats()["live_passes"] == 0

    # Conversion of float samples at 192 kHz: float32 back, level and length.
    down = carovel.convert(tone, 192000, 48000)
    assert down.dtype == np.dtype(np.float32) and down.shape == (48000,)
    middle = down[4800:-4800].astype(np.float64)
    assert math.sqrt(np.mean(middle**2)) == pytest.approx(0.5 / math.sqrt(2), rel=0.01)


def test_bad_input_raises():
    for args, kwargs in [
        ((0, 1), {}),
        ((768001, 2), {}),
        ((8000, 0), {}),
        ((8000, 1, "f64"), {}),
        ((8000, 1, "s8"), {}),
        ((8000, 1, "s16", 0.01), {}),
        ((8000, 1, "s16", -20), {}),
        ((768000, 1000, "f32", 1000), {}),  # frames above 2^30 bytes
        ((8000, 1, "s16", float("inf")), {}),
        ((8000, 1, "s16", 1e300), {}),
        ((8000, 1), {"live_target_ms": 500, "live_max_ms": 60}),
    ]:
        with pytest.raises(ValueError):
            carovel.Mixer(*args, **kwargs)
    with pytest.raises(TypeError):
        carovel.Mixer("8000", 1)

    m = carovel.Mixer(8000, 2)
    with pytest.raises(TypeError, match="numpy array"):
        m.add(0, [1, 2, 3])
    with pytest.raises(TypeError, match="float32"):
        m.add(0, np.zeros((10, 2), np.float64))
    with pytest.raises(TypeError, match="dtype"):
        m.add(0, np.zeros((10, 2), np.int64))
    with pytest.raises(ValueError, match="shape"):
        m.add(0, np.zeros((10, 2, 2), np.int16))
    with pytest.raises(ValueError):
        m.add(0, np.zeros((10, 0), np.int16))
    with pytest.raises(ValueError):
        m.add(0, np.zeros(10, np.int16), rate=0)
    with pytest.raises(ValueError):
        m.add(0, np.zeros(10, np.int16), rate=768001)
    with pytest.raises(TypeError):
        m.add("zero", np.zeros(10, np.int16))
    with pytest.raises(ValueError):
        m.set_gain(1, 17.0)
    with pytest.raises(ValueError):
        m.set_gain(1, float("nan"))
    with pytest.raises(ValueError):
        m.set_limiter(True, threshold_dbfs=5.0)
    with pytest.raises(ValueError):
        m.mix(-1)
    with pytest.raises(TypeError):
        carovel.convert(np.zeros(10), 8000, 16000)
    with pytest.raises(ValueError):
        carovel.convert(np.zeros(10, np.int16), 0, 16000)
    with pytest.raises(ValueError):
        carovel.convert(np.zeros(10, np.int16), 8000, 16000, channels=0)
    with pytest.raises(TypeError):
        carovel.convert("samples", 8000, 16000)
    # Non-contiguous and byte-swapped arrays are read as their values.
    m.add(0, np.zeros((20, 4), np.int16)[:, ::2])
    m.add(0, np.zeros((300, 2), np.dtype(">i2")))
    assert m.mix().shape == (320, 2)
    m.close()
    assert not m.is_open
    with pytest.raises(RuntimeError, match="not open"):
        m.add(0, np.zeros(10, np.int16))


def test_feeding_while_another_thread_mixes():
    frame, frames = 160, 300
    a = random_samples("s16", frames * frame)
    b = random_samples("s16", frames * frame)
    m = carovel.Mixer(8000, 1, frame_ms=20)
    done = threading.Event()
    mixed_some = threading.Event()
    errors = []

    def feed():
        try:
            for k in range(frames):
                # Source 1's frame before the master's, so every pass finds it.
                m.add(1, b[k * frame : (k + 1) * frame])
                m.add(0, a[k * frame : (k + 1) * frame])
                if k == frames // 2:
                    # Half fed: the rest only once the other thread has
                    # mixed something, so that mixing and feeding overlap.
                    assert mixed_some.wait(timeout=120)
        except BaseException as e:  # reported below
            errors.append(e)
        finally:
            done.set()

    feeder = threading.Thread(target=feed)
    feeder.start()
    pieces = []
    while not done.is_set():
        piece = m.mix(max_passes=7)
        pieces.append(piece)
        if len(piece):
            mixed_some.set()
    feeder.join()
    pieces.append(m.mix())
    assert not errors
    mixed = np.concatenate(pieces)
    np.testing.assert_array_equal(mixed, clamped_sum("s16", a, b))
    assert all(len(p) <= 7 * frame for p in pieces[:-1])
    # Passes ran while the feeder still had half of its frames to go.
    assert sum(len(p) for p in pieces[:-1]) > 0


def test_a_failing_set_gain_on_another_thread_leaves_mix_alone():
    # A refused gain on one thread while another mixes: the mix neither
    # raises nor loses what it mixed.
    frame, frames = 160, 400
    a = random_samples("s16", frames * frame)
    m = carovel.Mixer(8000, 1, frame_ms=20)
    for k in range(frames):
        m.add(0, a[k * frame : (k + 1) * frame])
    stop = threading.Event()
    refused = []

    def refuse_gains():
        while not stop.is_set():
            try:
                m.set_gain(1, 20.0)
            except ValueError:
                refused.append(1)

    spoiler = threading.Thread(target=refuse_gains)
    spoiler.start()
    try:
        pieces = [m.mix(max_passes=1) for _ in range(frames)]
    finally:
        stop.set()
        spoiler.join()
    np.testing.assert_array_equal(np.concatenate(pieces), a)
    assert refused


def test_live_mode_mixes_on_its_own_thread():
    m = carovel.Mixer(8000, 1, frame_ms=20, live_target_ms=60, live_max_ms=400)
    assert m.live and m.stats()["live_mode"] is True
    tone = np.full(8000, 1000, np.int16)
    m.add(0, tone[:4000])
    m.add(1, tone[:4000])
    got = []
    # The thread mixes one frame per 20 ms; wait generously on a loaded machine.
    for _ in range(3000):
        got.append(m.mix())
        if sum(len(g) for g in got) >= 10 * 160:
            break
        threading.Event().wait(0.01)
    mixed = np.concatenate(got)
    assert len(mixed) >= 10 * 160
    assert len(mixed) % 160 == 0
    # Silence up to the target latency, then the sum of both sources (which
    # live mode may pass through its resampler).
    assert np.abs(mixed.astype(np.int64)).max() <= 2400
    assert (np.abs(mixed.astype(np.int64) - 2000) <= 50).any()
    m.close()


def test_type_stubs_name_what_the_module_has():
    import ast
    import pathlib

    stub = pathlib.Path(carovel.__file__).with_name("carovel.pyi")
    tree = ast.parse(stub.read_text())
    top = set()
    methods = set()
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            top.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            top.add(node.target.id)
        elif isinstance(node, ast.ClassDef):
            top.add(node.name)
            methods |= {n.name for n in node.body if isinstance(n, ast.FunctionDef)}
    public = {n for n in dir(carovel) if not n.startswith("_")} | {"__version__"}
    assert top - {"Samples"} == public
    mixer_public = {n for n in dir(carovel.Mixer) if not n.startswith("_")}
    assert {n for n in methods if not n.startswith("_")} == mixer_public
    assert {"__init__", "__enter__", "__exit__"} <= methods
