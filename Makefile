# Convenience wrapper around CMake. `make test` and `make demo` install what
# is missing, configure, build and run.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= 2
CMAKE_ARGS ?=

.PHONY: all deps configure build test demo bench clean

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
