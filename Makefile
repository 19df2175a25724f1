BUILD_DIR ?= build
ASAN_DIR  ?= build-asan
CMAKE_FLAGS ?=

.PHONY: all deps build run test test-asan clean

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

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR)
