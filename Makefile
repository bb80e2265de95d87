# Everyday commands. Each target first makes sure the Debian packages it
# needs are there: as root it installs what is missing, otherwise it prints
# the apt-get line to run.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
PACKAGES_BUILD = cmake g++ make pkg-config libgtest-dev libbenchmark-dev
PACKAGES_FUZZ = clang libclang-rt-14-dev
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = receive replay filter linedef

.PHONY: all build test bench deps clean install test-asan test-tsan fuzz check-all

all: build

deps:
	@./scripts/ensure-packages.sh $(PACKAGES_BUILD)

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	@./scripts/run-benchmarks.sh $(BUILD)

# The whole suite with AddressSanitizer and UndefinedBehaviorSanitizer, halting
# on the first report, and with ThreadSanitizer.
test-asan: deps
	cmake -S . -B build-asan -DTQ_SANITIZE=address -DTQ_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

test-tsan: deps
	cmake -S . -B build-tsan -DTQ_SANITIZE=thread -DTQ_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --output-on-failure -j $(JOBS)

# libFuzzer targets, each run for FUZZ_SECONDS from its committed seed corpus.
fuzz: deps
	@./scripts/ensure-packages.sh $(PACKAGES_FUZZ)
	cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTQ_SANITIZE=fuzzer \
	  -DTQ_BUILD_TESTS=OFF -DTQ_BUILD_BENCH=OFF -DTQ_WERROR=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-fuzz -j $(JOBS)
	@./scripts/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

check-all: test test-asan test-tsan
	$(MAKE) fuzz FUZZ_SECONDS=30

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD)
