# Everyday commands. Each target first makes sure the Debian packages it
# needs are there: as root it installs what is missing, otherwise it prints
# the apt-get line to run.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
PACKAGES_BUILD = cmake g++ make pkg-config libgtest-dev libbenchmark-dev locales libcli11-dev
# tq serve: the web server.
PACKAGES_SERVE = libmicrohttpd-dev
# tq publish, tq archive, tq serve --nats: the engine's C client; the tests
# start the engine itself.
PACKAGES_FLEET = libnats-dev nats-server
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
# The virtual machine tq pen's device is checked in against libinput.
PACKAGES_TEST += qemu-system-x86 busybox-static cpio udev libinput-tools
# The Qt example of docs/python.md, run offscreen.
PACKAGES_TEST += python3-pyqt5
# The handwriting of the simulator; only `make samples` needs it (the bundled
# captures are committed, and tqsim falls back to a built-in font).
PACKAGES_SAMPLES = hershey-fonts-data
PACKAGES_FUZZ = clang libclang-rt-14-dev
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = receive replay filter linedef

.PHONY: all build test bench deps clean install demo samples test-asan test-tsan fuzz check-all

all: build

deps:
	@./scripts/ensure-packages.sh $(PACKAGES_BUILD) $(PACKAGES_PEN) $(PACKAGES_EXPORT) $(PACKAGES_SERVE) $(PACKAGES_FLEET)

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	@./scripts/ensure-packages.sh $(PACKAGES_TEST) $(PACKAGES_DEB)
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

# Debian packages (debian/): libtqapi1, libtqapi-dev, tqapi-tools and
# python3-tqapi, built by dpkg-buildpackage from a copy of the tree (the tree
# itself stays as it is) into $(DEB_BUILD), then checked by lintian.
DEB_BUILD ?= build-deb
PACKAGES_DEB = debhelper dpkg-dev dh-python fakeroot lintian
.PHONY: deb
deb: deps
	@./scripts/ensure-packages.sh $(PACKAGES_DEB)
	./scripts/build-deb.sh . $(DEB_BUILD) $(JOBS)
	lintian --fail-on error $(DEB_BUILD)/*.deb
	@echo "Install them with: sudo apt install $(abspath $(DEB_BUILD))/*.deb"

# The Python package: its tests and its install run on the system's Python 3.
PACKAGES_PYTHON = python3
.PHONY: deps-python
deps: deps-python
deps-python:
	@./scripts/ensure-packages.sh $(PACKAGES_PYTHON)

# ---- Windows: TQApi.dll cross-built with mingw-w64, tests run under Wine ----
# Two builds, one per host bitness (a DLL loads only into a process of its
# own): $(WINDOWS_BUILD)/x86 for 32-bit hosts, $(WINDOWS_BUILD)/x64 for
# 64-bit ones. $(WINDOWS_BUILD)/dist gathers what a host developer takes.
.PHONY: windows windows-dist test-windows windows-x86 windows-x64
WINDOWS_BUILD ?= build-windows
WINDOWS_JOBS ?= 2
WINDOWS_ARCHS = x86 x64
WINDOWS_TOOLCHAIN_x86 = cmake/mingw-w64-i686.cmake
WINDOWS_TOOLCHAIN_x64 = cmake/mingw-w64.cmake
WINDOWS_VERSION := $(shell sed -n 's/^project.TQApi VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
WINDOWS_ZIP = $(WINDOWS_BUILD)/TQApi-$(WINDOWS_VERSION)-windows.zip
# llvm-dlltool makes TQApi.lib; clang and lld-link try it as MSVC would.
PACKAGES_WINDOWS = cmake make g++ g++-mingw-w64-x86-64 g++-mingw-w64-i686 googletest llvm clang lld
# wine32 runs the 32-bit programs; gcc-multilib builds the 32-bit pty_modem
# preload for them.
PACKAGES_WINE = wine wine64 wine32:i386 socat gcc-multilib

$(WINDOWS_BUILD)/%/CMakeCache.txt:
	@./scripts/ensure-packages.sh $(PACKAGES_WINDOWS)
	cmake -S . -B $(WINDOWS_BUILD)/$* -DCMAKE_TOOLCHAIN_FILE=$(WINDOWS_TOOLCHAIN_$*) \
	  -DTQ_BUILD_BENCH=OFF $(CMAKE_FLAGS)

# TQApi.dll, TQApi.lib (MSVC) and libTQApi.dll.a (mingw) of one architecture,
# their exports checked against TQApi.h.
windows-x86 windows-x64: windows-%: $(WINDOWS_BUILD)/%/CMakeCache.txt
	@./scripts/ensure-packages.sh $(PACKAGES_WINDOWS)
	cmake --build $(WINDOWS_BUILD)/$* --target tqapi -j $(WINDOWS_JOBS)
	./scripts/check-windows-exports.sh $(WINDOWS_BUILD)/$*
	rm -rf $(WINDOWS_BUILD)/dist/$* && mkdir -p $(WINDOWS_BUILD)/dist/$*
	cp $(addprefix $(WINDOWS_BUILD)/$*/,TQApi.dll TQApi.lib libTQApi.dll.a) dist/windows/TQApi.def \
	  $(WINDOWS_BUILD)/dist/$*/

# Both DLLs with their import libraries in $(WINDOWS_BUILD)/dist/x86 and
# dist/x64, TQApi.h in dist/include, the README for host developers.
windows: $(addprefix windows-,$(WINDOWS_ARCHS))
	mkdir -p $(WINDOWS_BUILD)/dist/include
	cp include/TQApi.h $(WINDOWS_BUILD)/dist/include/
	cp dist/windows/README.txt $(WINDOWS_BUILD)/dist/

# The same as one zip, $(WINDOWS_ZIP).
windows-dist: windows
	@./scripts/ensure-packages.sh zip
	rm -f $(WINDOWS_ZIP)
	cd $(WINDOWS_BUILD)/dist && zip -q -X -r $(abspath $(WINDOWS_ZIP)) README.txt include $(WINDOWS_ARCHS)
	@echo "$(WINDOWS_ZIP):" && unzip -l $(WINDOWS_ZIP) | sed -n '4,$$p'

# The test programs of both architectures under Wine; both runs go through,
# and the target fails if either did.
test-windows: windows
	@./scripts/ensure-packages.sh $(PACKAGES_WINE)
	@set -e; for arch in $(WINDOWS_ARCHS); do \
	  echo "cmake --build $(WINDOWS_BUILD)/$$arch -j $(WINDOWS_JOBS)"; \
	  cmake --build $(WINDOWS_BUILD)/$$arch -j $(WINDOWS_JOBS); \
	done
	@status=0; for arch in $(WINDOWS_ARCHS); do \
	  echo "== Windows tests, $$arch"; \
	  ./scripts/wine-tests.sh $(WINDOWS_BUILD)/$$arch || status=1; \
	done; exit $$status

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
