# Everyday commands. Each target first makes sure the Debian packages it
# needs are there: as root it installs what is missing, otherwise it prints
# the apt-get line to run.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
PACKAGES_BUILD = cmake g++ make pkg-config libgtest-dev libbenchmark-dev locales libcli11-dev
# tq serve: the web server.
PACKAGES_SERVE = libmicrohttpd-dev
# tq pen: the pen device (libevdev); its tests read the events back with
# libevemu and check the systemd unit.
PACKAGES_PEN = libevdev-dev libevemu-dev systemd

# tq export: drawing with cairo, gzip for Xournal++ documents; the tests
# read the documents back with libxml2.
PACKAGES_EXPORT = libcairo2-dev zlib1g-dev libxml2-dev
# What the export tests open the documents with: Xournal++ (under a virtual
# display), xmllint and the PDF tools.
PACKAGES_TEST = xournalpp xvfb xauth libxml2-utils poppler-utils
# The browser the tests load tq serve's page in.
PACKAGES_TEST += chromium
# The handwriting of the simulator; only `make samples` needs it (the bundled
# captures are committed, and tqsim falls back to a built-in font).
PACKAGES_SAMPLES = hershey-fonts-data
PACKAGES_FUZZ = clang libclang-rt-14-dev
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = receive replay filter linedef

.PHONY: all build test bench deps clean install demo samples test-asan test-tsan fuzz check-all

all: build

deps:
	@./scripts/ensure-packages.sh $(PACKAGES_BUILD) $(PACKAGES_PEN) $(PACKAGES_EXPORT) $(PACKAGES_SERVE)

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	@./scripts/ensure-packages.sh $(PACKAGES_TEST)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	@./scripts/run-benchmarks.sh $(BUILD)

# The whole suite with AddressSanitizer and UndefinedBehaviorSanitizer, halting
# on the first report, and with ThreadSanitizer.
test-asan: deps
	@./scripts/ensure-packages.sh $(PACKAGES_TEST)
	cmake -S . -B build-asan -DTQ_SANITIZE=address -DTQ_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

test-tsan: deps
	@./scripts/ensure-packages.sh $(PACKAGES_TEST)
	cmake -S . -B build-tsan -DTQ_SANITIZE=thread -DTQ_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/sanitizer/tsan.supp ctest --output-on-failure -j $(JOBS)

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

# The Python package: its tests and its install run on the system's Python 3.
PACKAGES_PYTHON = python3
.PHONY: deps-python
deps: deps-python
deps-python:
	@./scripts/ensure-packages.sh $(PACKAGES_PYTHON)

# ---- Windows: TQApi.dll cross-built with mingw-w64, tests run under Wine ----
.PHONY: windows test-windows
WINDOWS_BUILD ?= build-windows
WINDOWS_JOBS ?= 2
PACKAGES_WINDOWS = cmake make g++ g++-mingw-w64-x86-64 googletest
PACKAGES_WINE = wine wine64 socat

$(WINDOWS_BUILD)/CMakeCache.txt:
	@./scripts/ensure-packages.sh $(PACKAGES_WINDOWS)
	cmake -S . -B $(WINDOWS_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DTQ_BUILD_BENCH=OFF $(CMAKE_FLAGS)

# TQApi.dll, its import library and TQApi.h, gathered in $(WINDOWS_BUILD)/dist.
windows: $(WINDOWS_BUILD)/CMakeCache.txt
	@./scripts/ensure-packages.sh $(PACKAGES_WINDOWS)
	cmake --build $(WINDOWS_BUILD) --target tqapi -j $(WINDOWS_JOBS)
	./scripts/check-windows-exports.sh $(WINDOWS_BUILD)/TQApi.dll
	mkdir -p $(WINDOWS_BUILD)/dist
	cp $(WINDOWS_BUILD)/TQApi.dll $(WINDOWS_BUILD)/libTQApi.dll.a include/TQApi.h $(WINDOWS_BUILD)/dist/

test-windows: windows
	@./scripts/ensure-packages.sh $(PACKAGES_WINE)
	cmake --build $(WINDOWS_BUILD) -j $(WINDOWS_JOBS)
	./scripts/wine-tests.sh $(WINDOWS_BUILD)

# A bundled capture of handwriting replayed through the whole pipeline, with a
# summary and a picture of the raw points beside the delivered strokes;
# docs/demo.svg is that picture, and the tools' tests check it is current.
DEMO_SAMPLE ?= samples/eraser-v3.raw
demo: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target tq tqsim
	@echo "== tq replay $(DEMO_SAMPLE) (first messages)"
	@$(BUILD)/tq replay $(DEMO_SAMPLE) --events | head -n 8; rm -f $(DEMO_SAMPLE:.raw=.val) $(DEMO_SAMPLE:.raw=.out)
	@echo "== tq render"
	@$(BUILD)/tq render $(DEMO_SAMPLE) --svg $(BUILD)/demo.svg
	@echo "The picture is $(abspath $(BUILD)/demo.svg)"
	@echo "A virtual board on a pty: $(BUILD)/tqsim --pty --link /tmp/tq-board, then"
	@echo "  TQ_COM1=/tmp/tq-board $(BUILD)/tq live --port 1 --events --svg live.svg"

# Regenerates the bundled captures (fixed seeds) and their expected message lists.
samples: build
	@./scripts/ensure-packages.sh $(PACKAGES_SAMPLES)
	./scripts/make-samples.sh $(BUILD)
