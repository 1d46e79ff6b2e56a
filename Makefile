# Convenience wrapper around CMake. `make test` and `make demo` install what
# is missing, configure, build and run.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= 2
CMAKE_ARGS ?=

.PHONY: all deps configure build test demo bench clean san-deps test-asan test-tsan \
  test-tsan-gcc fuzz format-deps format format-check test-windows python-deps python test-python

all: build

deps:
	@scripts/install-deps.sh

$(BUILD_DIR)/build.ninja:
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_ARGS)

configure: deps $(BUILD_DIR)/build.ninja

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# Mixes the example clips: the 8 kHz voice is the master and paces the mix.
DEMO_CLIPS = examples/audio/voice.wav examples/audio/beat.aiff \
             examples/audio/pads.flac examples/audio/bass.flac

# Builds only what the demo runs: the library and carovel-mix, not the tests,
# benchmarks or examples.
DEMO_TARGETS = carovel carovel-mix

demo: configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target $(DEMO_TARGETS)
	@mkdir -p out
	$(BUILD_DIR)/tools/carovel-mix -o out/mix.wav --master-out out/master.wav $(DEMO_CLIPS)

bench: build
	$(BUILD_DIR)/bench/carovel_bench_mix

clean:
	rm -rf $(BUILD_DIR) out

# clang-format over every tracked C and C++ source and header: `make format` rewrites
# them, `make format-check` (run by CI) fails on any difference.
CLANG_FORMAT ?= clang-format
FORMAT_FILES = git ls-files -z -- '*.c' '*.cpp' '*.h'

format-deps:
	@scripts/install-deps.sh clang-format

format: format-deps
	@git rev-parse --is-inside-work-tree >/dev/null
	$(FORMAT_FILES) | xargs -0 -r $(CLANG_FORMAT) -i

format-check: format-deps
	@git rev-parse --is-inside-work-tree >/dev/null
	@$(CLANG_FORMAT) --version
	$(FORMAT_FILES) | xargs -0 -r $(CLANG_FORMAT) --dry-run --Werror

# Sanitizer suites and fuzzing: clang builds in their own directories, with
# warnings as errors, plus a gcc ThreadSanitizer build (static by default;
# TSAN_GCC_SHARED=ON for a shared library). The consumer tests (label
# 'consumer') are left out there: a program built without the sanitizers
# cannot link the instrumented library, and the add_subdirectory consumer
# builds its own uninstrumented carovel. The fuzz targets share the ASan+UBSan
# build.
ASAN_DIR ?= build-asan
TSAN_DIR ?= build-tsan
TSAN_GCC_DIR ?= build-tsan-gcc
TSAN_GCC_SHARED ?= OFF
FUZZ_SECONDS ?= 30
SAN_COMMON_ARGS = -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCAROVEL_WERROR=ON \
  -DCAROVEL_BUILD_BENCH=OFF -DCAROVEL_BUILD_EXAMPLES=OFF
SAN_CMAKE_ARGS = $(SAN_COMMON_ARGS) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
SAN_CTEST = ctest --output-on-failure -j $(JOBS) -LE consumer

export ASAN_OPTIONS ?= detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1
export UBSAN_OPTIONS ?= print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS ?= halt_on_error=1:second_deadlock_stack=1

san-deps:
	@scripts/install-deps.sh clang libclang-rt-14-dev

$(ASAN_DIR)/build.ninja:
	cmake -S . -B $(ASAN_DIR) $(SAN_CMAKE_ARGS) \
	  -DCAROVEL_SANITIZE=address,undefined -DCAROVEL_BUILD_FUZZ=ON -DCAROVEL_CHECK_CALLS=ON

$(TSAN_DIR)/build.ninja:
	cmake -S . -B $(TSAN_DIR) $(SAN_CMAKE_ARGS) -DCAROVEL_SANITIZE=thread

$(TSAN_GCC_DIR)/build.ninja:
	cmake -S . -B $(TSAN_GCC_DIR) $(SAN_COMMON_ARGS) -DCMAKE_CXX_COMPILER=g++ \
	  -DCAROVEL_SANITIZE=thread -DCAROVEL_SHARED=$(TSAN_GCC_SHARED)

test-asan: san-deps $(ASAN_DIR)/build.ninja
	cmake --build $(ASAN_DIR) -j $(JOBS)
	$(SAN_CTEST) --test-dir $(ASAN_DIR)

test-tsan: san-deps $(TSAN_DIR)/build.ninja
	cmake --build $(TSAN_DIR) -j $(JOBS)
	$(SAN_CTEST) --test-dir $(TSAN_DIR)

test-tsan-gcc: deps $(TSAN_GCC_DIR)/build.ninja
	cmake --build $(TSAN_GCC_DIR) -j $(JOBS)
	$(SAN_CTEST) --test-dir $(TSAN_GCC_DIR)

# Every fuzz target for FUZZ_SECONDS each; e.g. `make fuzz FUZZ_SECONDS=3600`.
fuzz: san-deps $(ASAN_DIR)/build.ninja
	cmake --build $(ASAN_DIR) -j $(JOBS)
	scripts/run-fuzzers.sh $(ASAN_DIR) $(FUZZ_SECONDS)

# The Windows build: carovel.dll and the test suite cross-built with
# mingw-w64 (scripts/build-windows.sh installs what it needs), the tests run
# under wine64. The wine server the tests start is stopped afterwards.
# WIN_CMAKE_ARGS go to the Windows build's configuration.
# Now and then (about one run of the whole suite in ten here) wine loses a
# program as it starts: the test fails at once with no output at all. So a
# test that fails here is run once more, and fails the target only if it
# fails again; the native builds run every test once, with no second try.
WIN_DIR ?= build-windows
WIN_CMAKE_ARGS ?=
WIN_WINE = cmake/toolchains/wine64-run.sh $(abspath $(WIN_DIR))/wineprefix

test-windows:
	JOBS=$(JOBS) scripts/build-windows.sh $(WIN_DIR) $(WIN_CMAKE_ARGS)
	status=0; ctest --test-dir $(WIN_DIR) --output-on-failure --repeat until-pass:2 \
	  -j $(JOBS) || status=$$?; \
	  $(WIN_WINE) --stop; exit $$status

# The Python module: `make python` builds it into $(BUILD_DIR)/python
# (PYTHONPATH=$(BUILD_DIR)/python), `make test-python` runs its pytest suite.
# Built and tested with Debian's interpreter whatever python3 is first on the
# PATH, since pybind11, numpy and pytest come from Debian's packages.
PYTHON ?= /usr/bin/python3

python-deps:
	@scripts/install-deps.sh --python

python: deps python-deps $(BUILD_DIR)/build.ninja
	cmake -S . -B $(BUILD_DIR) -DCAROVEL_BUILD_PYTHON=ON -DPython3_EXECUTABLE=$(PYTHON)
	cmake --build $(BUILD_DIR) -j $(JOBS) --target carovel_python

test-python: python
	PYTHONPATH=$(abspath $(BUILD_DIR))/python $(PYTHON) -m pytest -q -p no:cacheprovider python/tests
