BUILD_DIR ?= build
ASAN_DIR  ?= build-asan
FUZZ_DIR  ?= build-fuzz
TSAN_DIR  ?= build-tsan
FUZZ_SECONDS ?= 120
FUZZ_SMOKE_SECONDS ?= 15
CMAKE_FLAGS ?=
BENCH_ARGS ?=

.PHONY: all deps build run test test-asan fuzz fuzz-build fuzz-smoke test-tsan bench clean

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
# untrusted bytes. Then each fuzz target briefly, and the tests that start
# threads under ThreadSanitizer.
test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j2
	$(MAKE) --no-print-directory test-asan
	$(MAKE) --no-print-directory fuzz-smoke
	$(MAKE) --no-print-directory test-tsan

$(ASAN_DIR)/build.ninja:
	cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVARNO_ASAN=ON -DVARNO_WITH_GUI=OFF $(CMAKE_FLAGS)

test-asan: deps $(ASAN_DIR)/build.ninja
	cmake --build $(ASAN_DIR)
	ctest --test-dir $(ASAN_DIR) --output-on-failure -j2

# libFuzzer targets (fuzz/), built with clang; the libraries they link carry
# the fuzzer's coverage and ASan/UBSan. `make fuzz` runs each target for
# FUZZ_SECONDS on a working corpus in $(FUZZ_DIR)/fuzz-corpus and prints the
# executions reached; findings land in $(FUZZ_DIR)/fuzz-findings.
$(FUZZ_DIR)/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVARNO_FUZZ=ON -DVARNO_WITH_GUI=OFF $(CMAKE_FLAGS)

fuzz-build: deps $(FUZZ_DIR)/build.ninja
	cmake --build $(FUZZ_DIR) --target fuzzers

fuzz: fuzz-build
	sh fuzz/run.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

fuzz-smoke: fuzz-build
	sh fuzz/run.sh $(FUZZ_DIR) $(FUZZ_SMOKE_SECONDS)

# The test programs that start threads (TThread and the main-thread
# hand-over, the capture reader, the name query threads and their
# scheduling in TVarno) under ThreadSanitizer. Only those are built, so the
# other programs' tests show up as *_NOT_BUILT and are left out.
TSAN_TESTS = platform_tests platform_qt_tests capture_live_tests namequery_tests component_namequery_tests

$(TSAN_DIR)/build.ninja:
	cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVARNO_TSAN=ON -DVARNO_WITH_GUI=OFF $(CMAKE_FLAGS)

test-tsan: deps $(TSAN_DIR)/build.ninja
	cmake --build $(TSAN_DIR) --target $(TSAN_TESTS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/.ci/tsan.supp" \
	  ctest --test-dir $(TSAN_DIR) -E _NOT_BUILT --output-on-failure -j2

# Throughput figures: a bare libpcap loop, varno-replay and pmacctd on
# generated captures, and a live veth run with tcpreplay (needs root). About
# ten minutes; the table lands in $(BUILD_DIR)/bench-results.md. Options go to
# bench/run.py through BENCH_ARGS, e.g. BENCH_ARGS="--frames 20000000".
bench: build
	@sh scripts/install-deps.sh bench
	python3 bench/run.py --build-dir $(BUILD_DIR) $(BENCH_ARGS)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(FUZZ_DIR) $(TSAN_DIR)
