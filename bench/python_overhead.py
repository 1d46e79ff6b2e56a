"""The cost of the Python module per call, the cases of
carovel_binding_overhead (bench/binding_overhead.cpp) through carovel.Mixer:

  empty_add  Mixer.add of an empty int16 array;
  cycle      one 10 ms frame of 48000 Hz stereo int16 from each of two
             sources, then Mixer.mix(1), which returns the mix as a new array;
  stats      Mixer.stats() (a dict of the mixer's and every source's figures;
             the C++ and C cases read one source).

Prints microseconds per iteration, the best of R rounds of N iterations.

  PYTHONPATH=build/python /usr/bin/python3 bench/python_overhead.py [N] [R]
"""

import sys
import timeit

import numpy as np

import carovel

calls = int(sys.argv[1]) if len(sys.argv) > 1 else 50000
rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 7

m = carovel.Mixer(48000, 2, "s16", frame_ms=10)
frame0 = (np.arange(480 * 2) * 7).astype(np.int16).reshape(480, 2)
frame1 = (np.arange(480 * 2) * 13).astype(np.int16).reshape(480, 2)
empty = np.zeros((0, 2), np.int16)


def empty_add():
    m.add(1, empty)


def cycle():
    m.add(1, frame1)
    m.add(0, frame0)
    m.mix(1)


def stats():
    m.stats()


cycle()
print(f"{'case':<10} {'Python us':>12}")
for name, step in (("empty_add", empty_add), ("cycle", cycle), ("stats", stats)):
    best = min(timeit.repeat(step, number=calls, repeat=rounds)) / calls
    print(f"{name:<10} {best * 1e6:12.3f}")
