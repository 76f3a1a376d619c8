# Thin wrapper over CMake. `make` builds, `make test` runs the whole suite in
# the normal build and again under AddressSanitizer + UndefinedBehaviorSanitizer,
# `make demo` shows kel at work on a small sample tree, `make coverage` runs the
# suite in an unoptimised build with gcov counters and reports the line and
# branch coverage of src/ (gcovr; build-cov/coverage.txt, and
# build-cov/coverage/index.html), `make golden` rewrites the expected-output
# files under tests/golden from what the tests produce (review the diff),
# `make fuzz` builds the fuzz targets with clang and libFuzzer into
# build-fuzz/ for long runs.

GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD := build
ASAN_BUILD := build-asan
COV_BUILD := build-cov
FUZZ_BUILD := build-fuzz
PREFIX ?= /usr/local

.PHONY: all build test test-normal test-asan coverage golden demo install bench fuzz format clean

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

golden: build
	cd $(BUILD) && KEL_UPDATE_GOLDEN=1 ctest --output-on-failure -j $(JOBS)

# -O0 so that every line and branch gcov counts is one of the source's. Branches
# that only unwinding can take are left out: the library is built without
# exceptions, and the tests' own are not what is measured.
coverage:
	cmake -S . -B $(COV_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS="--coverage -O0" -DCMAKE_C_FLAGS="--coverage -O0" \
	  -DCMAKE_EXE_LINKER_FLAGS=--coverage
	cmake --build $(COV_BUILD) -j $(JOBS)
	find $(COV_BUILD) -name '*.gcda' -delete
	cd $(COV_BUILD) && ctest -j $(JOBS) || true
	mkdir -p $(COV_BUILD)/coverage
	gcovr -r . --object-directory $(COV_BUILD) --filter 'src/' --exclude-throw-branches \
	  --exclude-unreachable-branches -j $(JOBS) --txt $(COV_BUILD)/coverage.txt \
	  --html-details $(COV_BUILD)/coverage/index.html --print-summary

# Only what the demo runs: kel and dorvex-tool, not the test suite.
demo: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target kel dorvex-tool
	bash demo/demo.sh $(BUILD)/kel $(BUILD)/dorvex-tool

# The libraries, headers, kelfs.pc, kel, dorvex-tool and the manual pages
# under $(PREFIX) (default /usr/local), below $(DESTDIR) when it is given.
install: $(BUILD)/CMakeCache.txt
	cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target kelfs_shared kelfs_static kel dorvex-tool
	DESTDIR="$(if $(DESTDIR),$(abspath $(DESTDIR)))" cmake --install $(BUILD)

bench:
	cmake -S . -B build-bench $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DKEL_BENCH=ON -DKEL_TESTS=OFF
	cmake --build build-bench -j $(JOBS)

# The whole build instrumented for coverage; libFuzzer's main in the
# targets. How to run them: README, "Fuzzing".
fuzz:
	cmake -S . -B $(FUZZ_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
	  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
	  -DKEL_SANITIZE=ON -DKEL_TESTS=OFF -DKEL_LIBFUZZER=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_all

format:
	find src include tests bench demo fuzz -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(COV_BUILD) $(FUZZ_BUILD) build-bench
