# Thin wrapper over CMake. `make` builds, `make test` runs the whole suite in
# the normal build and again under AddressSanitizer + UndefinedBehaviorSanitizer,
# `make demo` shows kel at work on a small sample tree.

GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD := build
ASAN_BUILD := build-asan

.PHONY: all build test test-normal test-asan demo bench format clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

$(ASAN_BUILD)/CMakeCache.txt:
	cmake -S . -B $(ASAN_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DKEL_SANITIZE=ON

test-normal: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

test: test-normal test-asan

demo: build
	bash demo/demo.sh $(BUILD)/kel $(BUILD)/dorvex-tool

bench:
	cmake -S . -B build-bench $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DKEL_BENCH=ON -DKEL_TESTS=OFF
	cmake --build build-bench -j $(JOBS)

format:
	find src include tests bench demo -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-bench
