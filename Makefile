# TolvoDesk recorder service: the commands of the README.
#   make test   install dependencies, build, run the whole suite; then the same suite
#               built with AddressSanitizer and UndefinedBehaviorSanitizer; then the
#               concurrency-heavy suites built with ThreadSanitizer
#   make bench  build optimised and print the benchmark figures
#   make build  configure and build only
#   make run    build the service and tolvoctl, then a tour: a throwaway service and vault
#               under build/tour, driven with tolvoctl (scripts/tour.sh)
#   make soak   build the service and tolvoctl, then an hour's recording and a crash loop of
#               30 SIGKILLs on a private desktop (scripts/soak.sh; SOAK_SECONDS, SOAK_KILLS)

JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
# Queues, the service front, the recorder and its components (the recording suite drives the
# service binary, built with the same sanitizer).
TSAN_TARGETS ?= core_tests service_tests capture_tests context_tests system_event_tests recording_tests consumption_pipeline_tests text_recognition_worker_tests tolvo-recorder-service
BENCH_BUILD ?= build-bench
SOAK_SECONDS ?= 3600
SOAK_KILLS ?= 30
CTEST_FLAGS ?= --output-on-failure -j$(JOBS) --timeout 600

.PHONY: deps build test test-plain test-asan test-tsan bench run soak clean

deps:
	bash scripts/install-deps.sh

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVO_WERROR=ON
	cmake --build $(BUILD) -j$(JOBS)

test: deps
	$(MAKE) test-plain
	$(MAKE) test-asan
	$(MAKE) test-tsan

test-plain: build
	ctest --test-dir $(BUILD) $(CTEST_FLAGS)

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTOLVO_SANITIZE=ON -DTOLVO_WERROR=ON -DTOLVO_BUILD_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) $(CTEST_FLAGS)

# Only the suites of TSAN_TARGETS are built; ctest's placeholders for the others are skipped.
test-tsan:
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVO_TSAN=ON -DTOLVO_WERROR=ON -DTOLVO_BUILD_BENCH=OFF
	cmake --build $(TSAN_BUILD) -j$(JOBS) --target $(TSAN_TARGETS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --test-dir $(TSAN_BUILD) $(CTEST_FLAGS) -E '_NOT_BUILT'

bench: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DTOLVO_BUILD_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j$(JOBS)
	bash bench/run.sh $(BENCH_BUILD)

run:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVO_WERROR=ON
	cmake --build $(BUILD) -j$(JOBS) --target tolvoctl tolvo-recorder-service
	bash scripts/tour.sh $(BUILD)

soak:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVO_WERROR=ON
	cmake --build $(BUILD) -j$(JOBS) --target tolvoctl tolvo-recorder-service
	bash scripts/soak.sh $(BUILD) $(SOAK_SECONDS) $(SOAK_KILLS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(BENCH_BUILD)
