# Thin wrapper over CMake: installs what is missing, configures, builds, runs.
BUILD     ?= build
SANITIZE  ?=
JOBS      ?= 2
CMAKEARGS ?=
FUZZTIME  ?= 60

.PHONY: all deps configure build test demo bench fuzz clean

all: build

deps:
	@./scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DTESS_SANITIZE=$(SANITIZE) $(CMAKEARGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	@./examples/run-demo.sh $(BUILD)

bench: build
	@./bench/run.sh $(BUILD)

# libFuzzer targets, built with clang in build-fuzz, FUZZTIME seconds each.
fuzz: deps
	@cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DTESS_FUZZ=ON -DTESS_SANITIZE=address \
		-DTESS_TESTS=OFF -DTESS_BENCH=OFF $(CMAKEARGS) >/dev/null
	@cmake --build build-fuzz -j $(JOBS) --target fuzz_scan_word fuzz_config fuzz_soundfile
	@./tests/fuzz/run.sh build-fuzz $(FUZZTIME)

clean:
	rm -rf $(BUILD)
