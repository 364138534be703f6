# make demo   builds and runs the tour of zunfs on a built-in example
# make test   builds and passes every test, then again under ASan + UBSan
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
BENCH_BUILD ?= build-bench
FUZZ_BUILD ?= build-fuzz
FUZZ_TIME  ?= 60
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
GENERATOR  := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
CTEST      := ctest --output-on-failure -j $(JOBS)

.PHONY: all build demo test test-plain test-asan tsan bench bench-report fuzz fuzz-smoke soak install clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DZUNFS_CHECKS=ON

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Builds only what the tour needs: the tool, or the example when the tool is
# not configured (CLI11 or nlohmann-json missing).
demo: $(BUILD)/CMakeCache.txt
	@if grep -qs zunfs_cli $(BUILD)/build.ninja $(BUILD)/Makefile; then \
	  cmake --build $(BUILD) -j $(JOBS) --target zunfs_cli && $(BUILD)/tools/zunfs demo; \
	else \
	  cmake --build $(BUILD) -j $(JOBS) --target zunfs_example && $(BUILD)/examples/zunfs_example; \
	fi

test: test-plain test-asan

test-plain: build
	cd $(BUILD) && $(CTEST)

$(ASAN_BUILD)/CMakeCache.txt:
	cmake -S . -B $(ASAN_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 \
	  -DZUNFS_CHECKS=ON -DZUNFS_SANITIZE=address,undefined -DZUNFS_BUILD_EXAMPLES=OFF

test-asan: $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 $(CTEST)

$(TSAN_BUILD)/CMakeCache.txt:
	cmake -S . -B $(TSAN_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 \
	  -DZUNFS_SANITIZE=thread -DZUNFS_BUILD_EXAMPLES=OFF

tsan: $(TSAN_BUILD)/CMakeCache.txt
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && $(CTEST) -L threads

$(BENCH_BUILD)/CMakeCache.txt:
	cmake -S . -B $(BENCH_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DZUNFS_BUILD_BENCH=ON \
	  -DZUNFS_BUILD_TESTS=OFF

bench: $(BENCH_BUILD)/CMakeCache.txt
	cmake --build $(BENCH_BUILD) -j $(JOBS)

bench-report: bench
	$(BENCH_BUILD)/bench/zunfs_bench $(BENCH_ARGS)

# The randomized soak: SOAK_OPS steps (or SOAK_SECONDS, when set) from SOAK_SEED.
SOAK_OPS     ?= 1000000
SOAK_SECONDS ?= 0
SOAK_SEED    ?= 1
soak: build
	ZUNFS_SOAK_OPS=$(SOAK_OPS) ZUNFS_SOAK_SECONDS=$(SOAK_SECONDS) ZUNFS_SOAK_SEED=$(SOAK_SEED) \
	  $(BUILD)/tests/test_soak

# Fuzz targets: clang with libFuzzer, ASan and UBSan over the whole library.
# make fuzz builds them and writes the seed corpora into $(FUZZ_BUILD)/corpus;
# make fuzz-smoke runs each target for FUZZ_TIME seconds on one core.
$(FUZZ_BUILD)/CMakeCache.txt:
	CC=clang-14 CXX=clang++-14 cmake -S . -B $(FUZZ_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS="-O1 -gline-tables-only" -DZUNFS_CHECKS=ON -DZUNFS_WERROR=OFF \
	  -DZUNFS_SANITIZE=fuzzer-no-link,address,undefined -DZUNFS_BUILD_FUZZ=ON \
	  -DZUNFS_BUILD_TESTS=OFF -DZUNFS_BUILD_TOOLS=OFF -DZUNFS_BUILD_EXAMPLES=OFF

fuzz: $(FUZZ_BUILD)/CMakeCache.txt
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	$(FUZZ_BUILD)/fuzz/fuzz_seeds $(FUZZ_BUILD)/corpus

fuzz-smoke: fuzz
	for t in open ops; do \
	  $(FUZZ_BUILD)/fuzz/fuzz_$$t -max_total_time=$(FUZZ_TIME) -timeout=20 -rss_limit_mb=2048 \
	    -artifact_prefix=$(FUZZ_BUILD)/crash-$$t- $(FUZZ_BUILD)/corpus/$$t || exit 1; \
	done

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(BENCH_BUILD) $(FUZZ_BUILD)
