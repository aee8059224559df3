# The README's commands. Every target installs what it needs first.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build test demo bench format check-format test-sanitize fuzz accuracy clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# CI runs this: formatting, a warning-free build, every test.
test: deps check-format
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DORVALT_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 900

demo: build
	@scripts/demo $(BUILD)

bench: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	@scripts/run-benchmarks $(BUILD)

format: deps
	git ls-files -co --exclude-standard -- '*.cpp' '*.hpp' | xargs -r clang-format -i

check-format: deps
	@scripts/check-format

test-sanitize: deps
	cmake -S . -B $(BUILD)-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVALT_SANITIZE=ON -DORVALT_BUILD_BENCH=OFF
	cmake --build $(BUILD)-sanitize -j $(JOBS)
	cd $(BUILD)-sanitize && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS) --timeout 1800

FUZZ_SECONDS ?= 60
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVALT_FUZZ=ON -DORVALT_BUILD_TESTS=OFF -DORVALT_BUILD_BENCH=OFF
	cmake --build $(BUILD)-fuzz -j $(JOBS)
	@scripts/run-fuzzers $(BUILD)-fuzz $(FUZZ_SECONDS)

accuracy: build
	@scripts/run-accuracy $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD)-sanitize $(BUILD)-fuzz
