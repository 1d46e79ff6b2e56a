# Convenience wrapper around CMake. `make test` and `make demo` install what
# is missing, configure, build and run.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= 2
CMAKE_ARGS ?=

.PHONY: all deps configure build test demo bench clean san-deps test-asan test-tsan fuzz

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

demo: build
	@mkdir -p out
	$(BUILD_DIR)/tools/carovel-mix -o out/mix.wav --master-out out/master.wav $(DEMO_CLIPS)

bench: build
	$(BUILD_DIR)/bench/carovel_bench_mix

clean:
	rm -rf $(BUILD_DIR) out

# Sanitizer suites and fuzzing: clang builds in their own directories. The
# install-consumer test is left out there: a program built without the
# sanitizers cannot link the instrumented library; so is the pacing test,
# which measures real-time behaviour that instrumentation distorts. The fuzz targets share the
# ASan+UBSan build.
ASAN_DIR ?= build-asan
TSAN_DIR ?= build-tsan
FUZZ_SECONDS ?= 30
SAN_CMAKE_ARGS = -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCAROVEL_BUILD_BENCH=OFF -DCAROVEL_BUILD_EXAMPLES=OFF
SAN_CTEST = ctest --output-on-failure -j $(JOBS) -E 'carovel_install_consumer|PacingDrift\.' 
export ASAN_OPTIONS ?= detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1
export UBSAN_OPTIONS ?= print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS ?= halt_on_error=1:second_deadlock_stack=1

san-deps:
	@scripts/install-deps.sh clang libclang-rt-14-dev

$(ASAN_DIR)/build.ninja:
	cmake -S . -B $(ASAN_DIR) $(SAN_CMAKE_ARGS) \
	  -DCAROVEL_SANITIZE=address,undefined -DCAROVEL_BUILD_FUZZ=ON

$(TSAN_DIR)/build.ninja:
	cmake -S . -B $(TSAN_DIR) $(SAN_CMAKE_ARGS) -DCAROVEL_SANITIZE=thread

test-asan: san-deps $(ASAN_DIR)/build.ninja
	cmake --build $(ASAN_DIR) -j $(JOBS)
	$(SAN_CTEST) --test-dir $(ASAN_DIR)

test-tsan: san-deps $(TSAN_DIR)/build.ninja
	cmake --build $(TSAN_DIR) -j $(JOBS)
	$(SAN_CTEST) --test-dir $(TSAN_DIR)

# Every fuzz target for FUZZ_SECONDS each; e.g. `make fuzz FUZZ_SECONDS=3600`.
fuzz: san-deps $(ASAN_DIR)/build.ninja
	cmake --build $(ASAN_DIR) -j $(JOBS)
	scripts/run-fuzzers.sh $(ASAN_DIR) $(FUZZ_SECONDS)
