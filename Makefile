# Thin wrapper over CMake: installs what is missing, configures, builds, runs.
BUILD     ?= build
SANITIZE  ?=
JOBS      ?= 2
CMAKEARGS ?=

.PHONY: all deps configure build test demo bench clean

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

clean:
	rm -rf $(BUILD)
