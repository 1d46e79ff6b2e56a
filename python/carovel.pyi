"""carovel: real-time PCM audio mixing for numpy arrays.

Samples are numpy arrays of shape (n,) (one channel) or (n, channels), whose
dtype gives the sample type: uint8 (unsigned, silence at 128), int16 or int32
(signed), float32 (full scale 1.0; a float mix keeps values beyond it).
float64 arrays are refused with TypeError: astype(numpy.float32) first.

Bad input raises TypeError (wrong type or dtype) or ValueError (a value out
of range: rate, channels, frame length, gain, limiter or live-mode settings);
memory exhaustion raises MemoryError; a call the mixer's state does not allow
(e.g. on a closed mixer) raises RuntimeError.
"""

from typing import Any, Dict, Optional, Union

import numpy
import numpy.typing

__version__: str

Samples = numpy.typing.NDArray[Union[numpy.uint8, numpy.int16, numpy.int32, numpy.float32]]

class Mixer:
    """Mixes any number of sources into one stream.

    Each source is told apart by an int; source 0 is the master: a pass takes
    frames only when the master has one queued, so the master paces the mix.
    Every source's audio is converted to the mixing format, cut into frames
    of frame_ms and queued; a pass sums the oldest frame of every source,
    clamping each sample once.

    Without live mode the mixer is host-driven: mix() runs the pending passes
    on the calling thread. With live_target_ms and live_max_ms the mixer's
    own thread runs a pass every frame period and keeps every source near
    live_target_ms of backlog (see carovel/mixer.h, CMixer::SetLiveMode);
    mix() then returns what it mixed since the last call.

    add, flush, mix, clear and close may be called from several Python
    threads: they are serialised by the mixer, and the interpreter's lock is
    released while they mix, convert or wait.
    """

    def __init__(
        self,
        rate: int,
        channels: int,
        sample_type: str = "s16",
        frame_ms: float = 20.0,
        *,
        mix_minus: bool = False,
        include_idle: bool = False,
        live_target_ms: int = 0,
        live_max_ms: int = 0,
        live_master_timeout_ms: int = 0,
    ) -> None:
        """Opens a mixer: rate 1..768000, channels 1..65535, sample_type one
        of "u8", "s16", "s24", "s32", "f32" (float, summed in float and
        never clamped), frames of frame_ms (a whole number of samples, at
        most 2^30 bytes). mix_minus collects every source's mix of all the other
        sources (mix_minus()); include_idle gives sources without a frame in
        a pass the full mix."""
    def add(self, source: int, samples: Samples, rate: Optional[int] = None) -> None:
        """Feeds a block of source (copied): its dtype and shape give the
        sample type and channels, rate defaults to the mixer's. Blocks may
        have any length; a frame is queued as each one completes."""
    def flush(self, source: int) -> None:
        """Ends source's stream: what its resampler holds back and its last
        partial frame (padded with silence) are queued, so that every sample
        fed is mixed."""
    def mix(self, max_passes: Optional[int] = None) -> Samples:
        """Runs the passes pending (while the master has a frame queued; at
        most max_passes) and returns their mix, one frame per pass, in the
        mixer's dtype (int32 holding 24-bit values for "s24", float32 for
        "f32"), shape (n,) for one channel, else (n, channels). In live mode
        it returns the passes the mixer's thread ran since the last call (at
        most max_passes)."""
    def mix_minus(self) -> Dict[int, Samples]:
        """The mix-minus outputs of the passes since the last call, by
        source: each the mix of all the other sources of those passes in
        which the source took part (or was present, with include_idle)."""
    def set_gain(self, source: int, gain: float) -> None:
        """Sets source's gain (0 mutes, 1 is plain mixing, at most 16) in the
        mix and in the others' mix-minus outputs."""
    def set_limiter(
        self, enabled: bool = True, threshold_dbfs: float = -1.0, release_ms: float = 100.0
    ) -> None:
        """Limits the mix and the mix-minus outputs instead of clamping them:
        threshold_dbfs -60..0, release_ms 1..10000."""
    def clear(self) -> None:
        """Discards every source's staged and queued audio and what was
        mixed but not yet returned. Gains set by set_gain stay."""
    def close(self) -> None:
        """Closes the mixer (also at the end of a with block)."""
    def stats(self) -> Dict[str, Any]:
        """The mixer's figures: "sources" (a list of dicts with source,
        backlog_frames, backlog_ms, frames_mixed, frames_cut, dropouts,
        trim_ppm, clipped_samples (float samples beyond full scale clamped
        into an integer mix), rms_dbfs and peak_dbfs, None before the first
        frame), callback_exceptions, live_mode, target_ms, max_ms,
        master_timeout_ms, catch_up_passes, passes_without_master, and live
        mode's own cost: live_passes, live_control_us_per_pass and
        live_trim_us_per_pass."""
    def __enter__(self) -> "Mixer": ...
    def __exit__(self, *args: object) -> None: ...
    @property
    def is_open(self) -> bool: ...
    @property
    def live(self) -> bool: ...
    @property
    def rate(self) -> int: ...
    @property
    def channels(self) -> int: ...
    @property
    def sample_type(self) -> str: ...
    @property
    def frame_bytes(self) -> int: ...
    @property
    def dtype(self) -> numpy.dtype[Any]: ...

def convert(
    samples: Samples, from_rate: int, to_rate: int, channels: Optional[int] = None
) -> Samples:
    """Converts a whole stream from from_rate to to_rate (1..768000) and to
    channels (default: the input's), keeping the sample type: ceil(n *
    to_rate / from_rate) samples per channel come back, aligned in time with
    the input. Shape (n,) for one channel, else (n, channels). Resamples with
    the library's fast resampler (Resampler::kFast, libsoxr), as the whole
    stream is at hand."""
