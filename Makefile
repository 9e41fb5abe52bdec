# Thin wrapper over CMake: installs what is missing, configures, builds, runs.
BUILD     ?= build
SANITIZE  ?=
JOBS      ?= 2
CMAKEARGS ?=
PREFIX    ?= /usr/local
DESTDIR   ?=
FUZZTIME  ?= 60

.PHONY: all deps configure build test demo bench bench-file plot install package fuzz clean

all: build

deps:
	@./scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DTESS_SANITIZE=$(SANITIZE) -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKEARGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	@./examples/run-demo.sh $(BUILD)

bench: build
	@./bench/run.sh $(BUILD)

# tessfile end to end on 20 s of noise through dense 4096-tap matrices,
# started as a user starts it (see docs/performance.md).
bench-file: build
	@$(BUILD)/bench/bench_tessfile $(BUILD)/programs/offline/tessfile 2:2 8:2 32:1 32:2 64:1 64:2

# Runs the benchmarks and draws docs/img/rt-factor.png (needs gnuplot).
plot: build
	@./bench/plot.sh $(BUILD)

# PREFIX (default /usr/local) is where the files go; DESTDIR stages them
# below another root, e.g. make install DESTDIR=/tmp/stage PREFIX=/usr
install: build
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD)

# A Debian package (installs under /usr) in the build folder.
package: build
	@cd $(BUILD) && cpack -G DEB

# libFuzzer targets, built with clang in build-fuzz, FUZZTIME seconds each.
fuzz: deps
	@cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DTESS_FUZZ=ON -DTESS_SANITIZE=address \
		-DTESS_TESTS=OFF -DTESS_BENCH=OFF $(CMAKEARGS) >/dev/null
	@cmake --build build-fuzz -j $(JOBS) --target fuzz_scan_word fuzz_config fuzz_soundfile fuzz_osc
	@./tests/fuzz/run.sh build-fuzz $(FUZZTIME)

clean:
	rm -rf $(BUILD)
