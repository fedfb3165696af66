# SPDX-License-Identifier: Apache-2.0
# Front door of the kit. `make test` and `make run` are the two commands a newcomer needs.
# Only `make deps`, `make test` and `make run` install missing packages (scripts/install-deps);
# `make` builds with what is there, and a missing package shows as cmake's error.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# `make test` runs the tests of its three trees in one ctest run: at most JOBS of the tests that
# work at a time (one "cpu" slot each), and beside them the tests that mostly wait on real time
# (label realtime), up to TEST_JOBS tests in all.
TEST_JOBS ?= $(shell echo $$(( $(JOBS) * 5 )))
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
PLAIN_FLAGS = -DCMAKE_BUILD_TYPE=RelWithDebInfo $(DEV_FLAGS) $(CMAKE_FLAGS)
ASAN_FLAGS = -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DSANITIZE=address;undefined" $(DEV_FLAGS) $(CMAKE_FLAGS)
TSAN_FLAGS = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=thread $(DEV_FLAGS) $(CMAKE_FLAGS)

# A new tree is made with Ninja when it is installed (scripts/install-deps installs it); a tree
# made before keeps its generator.
GENERATOR = $(if $(shell command -v ninja 2>/dev/null),-G Ninja)

.PHONY: all deps build test test-again test-plain test-asan test-tsan run bench install uninstall package clean \
        configure-plain configure-asan configure-tsan build-asan build-tsan

all: build

deps:
	@scripts/install-deps

# configure(<tree>, <flags>): configures the tree when it has not been, or was with other flags.
# Otherwise the build itself configures again when a CMakeLists.txt has changed.
define configure
	@if [ ! -f $(1)/CMakeCache.txt ] || [ "$$(cat $(1)/kit-flags.txt 2>/dev/null)" != '$(strip $(2))' ]; then \
	  echo cmake -S . -B $(1) $(if $(wildcard $(1)/CMakeCache.txt),,$(GENERATOR)) $(2); \
	  cmake -S . -B $(1) $(if $(wildcard $(1)/CMakeCache.txt),,$(GENERATOR)) $(2) && \
	  echo '$(strip $(2))' > $(1)/kit-flags.txt; \
	fi
endef

configure-plain:
	$(call configure,build,$(PLAIN_FLAGS))
configure-asan:
	$(call configure,build-asan,$(ASAN_FLAGS))
configure-tsan:
	$(call configure,build-tsan,$(TSAN_FLAGS))

# Configures and builds build/.
build: configure-plain
	cmake --build build -j$(JOBS)

# The tree with AddressSanitizer and UndefinedBehaviorSanitizer: every test again.
build-asan: configure-asan
	cmake --build build-asan -j$(JOBS)

# The tree with ThreadSanitizer: the threading tests (label thread) and what they run.
build-tsan: configure-tsan
	cmake --build build-tsan -j$(JOBS) --target thread_tests

# Every test of the three trees, in one ctest run (cmake/ctest-all-trees.sh writes it). A test
# that passed before with the very same build trees, sources and environment is not run again
# (cmake/ctest-cached.py); `make test-again` runs every test.
test: deps
	@$(MAKE) --no-print-directory build build-asan build-tsan
	@cmake/ctest-all-trees.sh --cpus $(JOBS) build-tests build build-asan build-tsan
	$(SAN_ENV) $(TSAN_ENV) cmake/ctest-cached.py $(TEST_CACHE_FLAGS) --source . --tree build --tree build-asan \
	  --tree build-tsan -- --test-dir build-tests --output-on-failure -j$(TEST_JOBS) \
	  --resource-spec-file $(CURDIR)/build-tests/resources.json

test-again: TEST_CACHE_FLAGS = --again
test-again: test

# One tree's tests alone.
test-plain: build
	ctest --test-dir build --output-on-failure -j$(JOBS)
test-asan: build-asan
	$(SAN_ENV) ctest --test-dir build-asan --output-on-failure -j$(JOBS)
test-tsan: build-tsan
	$(TSAN_ENV) ctest --test-dir build-tsan --output-on-failure -j$(JOBS)

run: deps
	@$(MAKE) --no-print-directory build
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
package: build
	cd build && cpack -G DEB
	@ls -1 build/corvalis_*.deb

clean:
	rm -rf build build-asan build-tsan build-tests
