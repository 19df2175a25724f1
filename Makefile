BUILD_DIR ?= build
ASAN_DIR  ?= build-asan
CMAKE_FLAGS ?=

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

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j2

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR)
