# SPDX-License-Identifier: Apache-2.0
# Front door of the kit. `make test` and `make run` are the two commands a newcomer needs.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
SAN_ENV = ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
          LSAN_OPTIONS=suppressions=$(CURDIR)/cmake/lsan.supp
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# `make install` puts the programs, manual pages, menu entry and docs under PREFIX (staged under
# DESTDIR when given); `make package` makes the Debian package build/corvalis_<version>_<arch>.deb
# from build/. The distribution's package comes from debian/: dpkg-buildpackage -us -uc -b.
PREFIX ?= /usr/local
DESTDIR ?=

# The development trees build the tests and treat warnings as errors (a distribution build
# turns both off).
DEV_FLAGS = -DBUILD_TESTING=ON -DKIT_WERROR=ON

.PHONY: all deps build test test-plain test-asan test-tsan run bench install uninstall package clean

all: build

deps:
	@scripts/install-deps

# Configures and builds build/.
define build_tree
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(DEV_FLAGS) $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS)
endef

build: deps
	$(build_tree)

test: test-plain test-asan test-tsan

test-plain: build
	ctest --test-dir build --output-on-failure -j$(JOBS)

# The same tests again with AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DSANITIZE=address;undefined" $(DEV_FLAGS) $(CMAKE_FLAGS)
	cmake --build build-asan -j$(JOBS)
	$(SAN_ENV) ctest --test-dir build-asan --output-on-failure -j$(JOBS)

# The threading tests again with ThreadSanitizer.
test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=thread $(DEV_FLAGS) $(CMAKE_FLAGS)
	cmake --build build-tsan -j$(JOBS) --target thread_tests
	$(TSAN_ENV) ctest --test-dir build-tsan --output-on-failure -j$(JOBS) -L thread --no-tests=ignore

run: build
	@scripts/run-demo

bench: build
	@if [ -x scripts/run-bench ]; then scripts/run-bench; else echo "no benchmarks yet"; fi

# After `make`, `sudo make install` only brings the build up to date, which writes nothing when it
# is: configuring again as root would leave root's files in the user's build tree. What was
# installed, and which folders had to be made for it, is recorded in build/installed-*.txt.
install:
	@[ -f build/CMakeCache.txt ] || $(MAKE) build
	cmake --build build -j$(JOBS)
	packaging/install-tree.sh install --build build --prefix "$(PREFIX)" --destdir "$(DESTDIR)" --record build

# Removes what `make install` put there, and the folders it made when they are empty.
uninstall:
	packaging/install-tree.sh uninstall --record build

# Installs nothing on the machine: a missing package shows as cmake's error.
package:
	$(build_tree)
	cd build && cpack -G DEB
	@ls -1 build/corvalis_*.deb

clean:
	rm -rf build build-asan build-tsan
