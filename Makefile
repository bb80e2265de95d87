# Everyday commands. Each target first makes sure the Debian packages it
# needs are there: as root it installs what is missing, otherwise it prints
# the apt-get line to run.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
PACKAGES_BUILD = cmake g++ make pkg-config libgtest-dev libbenchmark-dev

.PHONY: all build test bench deps clean install

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

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD)
