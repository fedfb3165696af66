# Front door of the kit. `make test` and `make run` are the two commands a newcomer needs.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
SAN_ENV = ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
          LSAN_OPTIONS=suppressions=$(CURDIR)/cmake/lsan.supp
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

.PHONY: all deps build test test-plain test-asan test-tsan run bench clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS)

test: test-plain test-asan test-tsan

test-plain: build
	ctest --test-dir build --output-on-failure -j$(JOBS)

# The same tests again with AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DSANITIZE=address;undefined" $(CMAKE_FLAGS)
	cmake --build build-asan -j$(JOBS)
	$(SAN_ENV) ctest --test-dir build-asan --output-on-failure -j$(JOBS)

# The threading tests again with ThreadSanitizer.
test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=thread $(CMAKE_FLAGS)
	cmake --build build-tsan -j$(JOBS) --target thread_tests
	$(TSAN_ENV) ctest --test-dir build-tsan --output-on-failure -j$(JOBS) -L thread --no-tests=ignore

run: build
	@scripts/run-demo

bench: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS)
	@if [ -x scripts/run-bench ]; then scripts/run-bench; else echo "no benchmarks yet"; fi

clean:
	rm -rf build build-asan build-tsan
