#!/usr/bin/env python3
"""Designs the prototype filters of the whole-factor upsampler and writes them
as src/convert/upsample_prototypes.cpp.

Each factor L from 2 to 16 gets an equiripple linear-phase lowpass of
TAPS * L - 1 taps (odd, centred on an output sample) by the Parks-McClellan
(Remez exchange) algorithm: passband to 0.9 of the source's Nyquist frequency
within +-LOW_DB at low frequencies, the allowance growing to +-PASS_DB at
the edge (speech and music keep their level to a few thousandths of a dB),
stopband from that Nyquist frequency on at least STOP_DB down. For the same
stopband an equiripple filter needs about three quarters of the taps of a
windowed sinc, which spends its ripple budget on a passband far flatter than
asked. The price: the images of a tone lie STOP_DB down wherever they fall,
where a windowed sinc's fall further away from the stopband's edge.

Needs python3 and numpy (both installed by scripts/install-deps.sh). Run from
the repository's root, then clang-format the output:

    python3 scripts/design-upsample-filters.py > src/convert/upsample_prototypes.cpp
    clang-format -i src/convert/upsample_prototypes.cpp
"""
import sys

import numpy as np

TAPS = 70  # per phase; keep in step with Upsampler::kTaps
PASS_EDGE = 0.9  # of the source's Nyquist frequency
PASS_DB = 0.2  # allowed at the passband's edge
LOW_DB = 0.005  # allowed at low frequencies; the allowance grows as (f / edge)^6
STOP_DB = 93.0
MAX_FACTOR = 16


def barycentric_weights(x):
    """1 / prod_{j != i} (x_i - x_j), scaled to a largest magnitude of 1."""
    d = x[:, None] - x[None, :]
    np.fill_diagonal(d, 1.0)
    log_mag = -np.sum(np.log(np.abs(d)), axis=1)
    sign = np.prod(np.sign(d), axis=1)
    return sign * np.exp(log_mag - log_mag.max())


def interpolate(xi, wi, ci, x):
    """The polynomial through (xi, ci), barycentric form, at x."""
    d = x[:, None] - xi[None, :]
    hit = d == 0.0
    d[hit] = 1.0
    t = wi / d
    value = (t @ ci) / t.sum(axis=1)
    rows, cols = np.nonzero(hit)
    value[rows] = ci[cols]
    return value


def remez_lowpass(length, f_pass, f_stop, pass_weight, weight_stop, density=16, max_iterations=100):
    """Equiripple type I lowpass of an odd length; band edges in cycles per
    sample. pass_weight maps the passband's frequencies, as fractions of
    f_pass, to weights; weight_stop weighs the stopband. Returns the taps and
    the weighted ripple delta."""
    m = (length - 1) // 2
    r = m + 2
    grid_size = density * (m + 1)
    n_pass = max(8, int(round(grid_size * f_pass / (f_pass + 0.5 - f_stop))))
    n_stop = max(8, grid_size - n_pass)
    f = np.concatenate([np.linspace(0.0, f_pass, n_pass), np.linspace(f_stop, 0.5, n_stop)])
    want = np.concatenate([np.ones(n_pass), np.zeros(n_stop)])
    weight = np.concatenate(
        [pass_weight(np.linspace(0.0, f_pass, n_pass) / f_pass), np.full(n_stop, weight_stop)]
    )
    x = np.cos(2 * np.pi * f)
    ext = np.round(np.linspace(0, len(f) - 1, r)).astype(int)
    alt = (-1.0) ** np.arange(r)
    for _ in range(max_iterations):
        b = barycentric_weights(x[ext])
        delta = np.sum(b * want[ext]) / np.sum(b * alt / weight[ext])
        xi = x[ext[:-1]]
        ci = want[ext[:-1]] - alt[:-1] * delta / weight[ext[:-1]]
        wi = barycentric_weights(xi)
        err = weight * (interpolate(xi, wi, ci, x) - want)
        # Local extrema of the error, each band's edges counted as ends.
        cand = []
        for k, e in enumerate(err):
            around = []
            if k > 0 and k != n_pass:
                around.append(err[k - 1])
            if k + 1 < len(err) and k != n_pass - 1:
                around.append(err[k + 1])
            if (e > 0 and all(e >= v for v in around)) or (e < 0 and all(e <= v for v in around)):
                cand.append(k)
        # Alternating signs: of a run of one sign, the largest.
        kept = [cand[0]]
        for k in cand[1:]:
            if np.sign(err[k]) == np.sign(err[kept[-1]]):
                if abs(err[k]) > abs(err[kept[-1]]):
                    kept[-1] = k
            else:
                kept.append(k)
        while len(kept) > r:
            if abs(err[kept[0]]) < abs(err[kept[-1]]):
                kept.pop(0)
            else:
                kept.pop()
        if len(kept) < r:
            raise RuntimeError("exchange lost alternation")
        new_ext = np.array(kept)
        converged = np.max(np.abs(err)) <= abs(delta) * (1 + 1e-9) or np.array_equal(new_ext, ext)
        ext = new_ext
        if converged:
            break
    else:
        raise RuntimeError("no convergence")
    # Taps from the response on length equally spaced frequencies.
    w = 2 * np.pi * np.arange(length) / length
    b = barycentric_weights(x[ext])
    delta = np.sum(b * want[ext]) / np.sum(b * alt / weight[ext])
    xi = x[ext[:-1]]
    ci = want[ext[:-1]] - alt[:-1] * delta / weight[ext[:-1]]
    a = interpolate(xi, barycentric_weights(xi), ci, np.cos(w))
    n = np.arange(length) - m
    taps = np.array([np.sum(a * np.cos(w * k)) / length for k in n])
    return taps, abs(delta)


def design(factor):
    length = TAPS * factor - 1
    nyquist = 0.5 / factor  # the source's, in cycles per output sample
    ripple = 10 ** (PASS_DB / 20) - 1
    low = 10 ** (LOW_DB / 20) - 1
    stop = 10 ** (-STOP_DB / 20)

    def pass_weight(u):
        return ripple / (low + (ripple - low) * u**6)

    taps, _ = remez_lowpass(length, PASS_EDGE * nyquist, nyquist, pass_weight, ripple / stop)
    # Check what was asked, at a fine resolution.
    spectrum = np.abs(np.fft.rfft(taps, 1 << 18))
    f = np.linspace(0.0, 0.5, len(spectrum))
    passband = 20 * np.log10(spectrum[f <= PASS_EDGE * nyquist])
    lowband = 20 * np.log10(spectrum[f <= 0.3 * nyquist])
    stopband = 20 * np.log10(np.max(spectrum[f >= nyquist]))
    if passband.min() < -PASS_DB - 0.01 or passband.max() > PASS_DB + 0.01:
        raise RuntimeError(f"factor {factor}: passband {passband.min()}..{passband.max()} dB")
    if np.max(np.abs(lowband)) > 2 * LOW_DB:
        raise RuntimeError(f"factor {factor}: low band {lowband.min()}..{lowband.max()} dB")
    if stopband > -STOP_DB + 0.5:
        raise RuntimeError(f"factor {factor}: stopband {stopband} dB")
    print(
        f"factor {factor}: passband {passband.min():.3f}..{passband.max():.3f} dB "
        f"(to 0.3: {np.max(np.abs(lowband)):.4f}), stopband {stopband:.1f} dB",
        file=sys.stderr,
    )
    return taps[: (length + 1) // 2]


def literal(v):
    """A float literal that reads back as the float nearest v."""
    text = f"{float(np.float32(v)):.9g}"
    if "." not in text and "e" not in text:
        text += ".0"
    return text + "f"


def main():
    out = sys.stdout
    out.write(
        "// Generated by scripts/design-upsample-filters.py: do not edit.\n"
        "//\n"
        f"// The upsampler's prototype filters: for each factor L, the first half\n"
        f"// (centre included) of an equiripple lowpass of {TAPS} * L - 1 taps, at unit gain,\n"
        f"// passband to {PASS_EDGE} of the source's Nyquist frequency within +-{PASS_DB} dB\n"
        f"// (+-{LOW_DB} dB at low frequencies),\n"
        f"// stopband from it on {STOP_DB:g} dB down.\n"
        '#include "convert/upsample_kernel.h"\n'
        '#include "convert/upsampler.h"\n\n'
        "namespace _Carovel {\n\n"
        f"static_assert(Upsampler::kTaps == {TAPS}, "
        '"the filters are for another length: rerun scripts/design-upsample-filters.py");\n\n'
        "namespace {\n\n"
    )
    for factor in range(2, MAX_FACTOR + 1):
        half = design(factor)
        out.write(f"constexpr float kFactor{factor}[] = {{\n")
        out.write(",\n".join(f"    {literal(v)}" for v in half))
        out.write(",\n};\n\n")
    out.write("}  // namespace\n\n")
    out.write("const float* UpsamplePrototype(unsigned factor) {\n")
    out.write("    static const float* const kHalves[] = {\n        nullptr, nullptr,\n")
    out.write("".join(f"        kFactor{factor},\n" for factor in range(2, MAX_FACTOR + 1)))
    out.write("    };\n")
    out.write(f"    return factor < 2 || factor > {MAX_FACTOR} ? nullptr : kHalves[factor];\n")
    out.write("}\n\n}  // namespace _Carovel\n")


if __name__ == "__main__":
    main()
