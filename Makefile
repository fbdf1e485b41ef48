# TolvoDesk recorder service: the commands of the README.
#   make test   install dependencies, build, run the whole suite; then the same suite
#               built with AddressSanitizer and UndefinedBehaviorSanitizer
#   make bench  build optimised and print the benchmark figures
#   make build  configure and build only
#   make run    build the service and tolvoctl, then a tour: a throwaway service and vault
#               under build/tour, driven with tolvoctl (scripts/tour.sh)

JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= build-asan
BENCH_BUILD ?= build-bench
CTEST_FLAGS ?= --output-on-failure -j$(JOBS) --timeout 600

.PHONY: deps build test test-plain test-asan bench run clean

deps:
	bash scripts/install-deps.sh

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVO_WERROR=ON
	cmake --build $(BUILD) -j$(JOBS)

test: deps
	$(MAKE) test-plain
	$(MAKE) test-asan

test-plain: build
	ctest --test-dir $(BUILD) $(CTEST_FLAGS)

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTOLVO_SANITIZE=ON -DTOLVO_WERROR=ON -DTOLVO_BUILD_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) $(CTEST_FLAGS)

bench: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DTOLVO_BUILD_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j$(JOBS)
	bash bench/run.sh $(BENCH_BUILD)

run:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVO_WERROR=ON
	cmake --build $(BUILD) -j$(JOBS) --target tolvoctl tolvo-recorder-service
	bash scripts/tour.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BENCH_BUILD)
