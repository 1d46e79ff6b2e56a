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

demo: build
	$(BUILD_DIR)/examples/carovel_example

bench: build
	$(BUILD_DIR)/bench/carovel_bench_mix

clean:
	rm -rf $(BUILD_DIR) out
