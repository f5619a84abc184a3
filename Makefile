# make test  - install what is missing, build, run every test inside a private network
# make demo  - install, build, show a sweep and an update against a simulated lab
# make run   - start the window on this machine's real network (needs root or capabilities)
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
SAN_BUILD ?= build-san
JOBS ?= $(shell nproc)

.PHONY: all deps build build-san test test-plain test-san fuzz-smoke demo run fuzz bench clean

all: build

deps:
	tools/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

$(SAN_BUILD)/build.ninja:
	cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=ON

build-san: deps $(SAN_BUILD)/build.ninja
	cmake --build $(SAN_BUILD) -j $(JOBS)

# The whole suite runs in a fresh network namespace with only loopback: nothing a test
# sends can reach this machine's network, whatever the test does. `make test` runs it
# twice (plain, then under AddressSanitizer + UndefinedBehaviorSanitizer) and gives every
# fuzz target a short run.
test: test-plain test-san fuzz-smoke

test-plain: build
	tools/in-private-network ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-san: build-san
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  tools/in-private-network ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(JOBS)

fuzz-smoke: deps
	tools/in-private-network tools/fuzz 10

# Each fuzz target runs FUZZ_SECONDS (default 60) inside a private network.
FUZZ_SECONDS ?= 60
fuzz: deps
	tools/in-private-network tools/fuzz $(FUZZ_SECONDS)

demo: build
	tools/demo

# Benchmarks (bench/run): each figure printed beside its target, every program in network
# namespaces of its own; about a minute once built.
bench: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) --target quorvel_bench -j $(JOBS)
	bench/run $(BUILD)

run: build
	$(BUILD)/app/quorvel

clean:
	rm -rf $(BUILD) $(SAN_BUILD) build-fuzz
