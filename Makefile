# Front door of the kit. `make test` and `make run` are the two commands a newcomer needs.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
SAN_ENV = ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
          LSAN_OPTIONS=suppressions=$(CURDIR)/cmake/lsan.supp
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# `make install` puts the programs, manual pages, menu entry and docs under PREFIX (staged under
# DESTDIR when given); `make package` makes the Debian package build/corvalis_<version>_<arch>.deb.
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: all deps build test test-plain test-asan test-tsan run bench install uninstall package clean

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

# After `make`, `sudo make install` only brings the build up to date, which writes nothing when it
# is: configuring again as root would leave root's files in the user's build tree. The list of
# what was installed (DESTDIR included) is kept apart from cmake's own, which packaging rewrites.
install:
	@[ -f build/CMakeCache.txt ] || $(MAKE) build
	cmake --build build -j$(JOBS)
	DESTDIR="$(DESTDIR)" cmake --install build --prefix "$(PREFIX)"
	@sed 's|^|$(DESTDIR)|' build/install_manifest.txt >build/installed-files.new
	@mv -f build/installed-files.new build/installed-files.txt && rm -f build/install_manifest.txt

# Removes what the last `make install` put there, and the documentation folder it made.
uninstall:
	@[ -f build/installed-files.txt ] || { echo "uninstall: nothing installed from this tree" >&2; exit 1; }
	xargs -d '\n' rm -f -- <build/installed-files.txt
	@sed -n 's|\(/share/doc/corvalis\)/.*|\1|p' build/installed-files.txt | sort -u | \
	  xargs -d '\n' -r -I{} find {} -depth -type d -empty -delete
	@rm -f build/installed-files.txt

package: build
	cd build && cpack -G DEB
	@ls -1 build/corvalis_*.deb

clean:
	rm -rf build build-asan build-tsan
