BUILD_DIR ?= build
ASAN_DIR  ?= build-asan
CMAKE_FLAGS ?=
BENCH_ARGS ?=

.PHONY: all deps build run test test-asan bench clean

all: build

deps:
	@sh scripts/install-deps.sh

$(BUILD_DIR)/build.ninja:
	cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS)

build: deps $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR)

run: build
	@sh scripts/run.sh $(BUILD_DIR)

# The whole suite, then the suite without the tray once more under
# AddressSanitizer and UndefinedBehaviorSanitizer: the decoders read
# untrusted bytes.
test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j2
	$(MAKE) --no-print-directory test-asan

$(ASAN_DIR)/build.ninja:
	cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVARNO_ASAN=ON -DVARNO_WITH_GUI=OFF $(CMAKE_FLAGS)

test-asan: deps $(ASAN_DIR)/build.ninja
	cmake --build $(ASAN_DIR)
	ctest --test-dir $(ASAN_DIR) --output-on-failure -j2

# Throughput figures: a bare libpcap loop, varno-replay and pmacctd on
# generated captures, and a live veth run with tcpreplay (needs root). About
# ten minutes; the table lands in $(BUILD_DIR)/bench-results.md. Options go to
# bench/run.py through BENCH_ARGS, e.g. BENCH_ARGS="--frames 20000000".
bench: build
	@sh scripts/install-deps.sh bench
	python3 bench/run.py --build-dir $(BUILD_DIR) $(BENCH_ARGS)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR)
