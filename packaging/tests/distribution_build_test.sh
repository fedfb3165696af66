#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Configures the source tree as the Debian package's build does (debian/rules: build type None,
# BUILD_TESTING and KIT_WERROR off, the flags of dpkg-buildflags with all hardening), with
# GoogleTest and RapidCheck hidden so that needing them fails, and checks from a dry run of the
# build what it would do: link the installed programs and nothing else, compile nothing of the
# tests, benchmarks or fuzz targets, pass every compiler and linker flag of dpkg-buildflags, and
# never -Werror. Building the package itself (dpkg-buildpackage) takes minutes; this takes seconds.
#
#   distribution_build_test.sh --source DIR PROGRAM...
set -uo pipefail

source="" programs=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --source) source="$2"; shift 2 ;;
    *) programs+=("$1"); shift ;;
  esac
done

work="$(mktemp -d "${TMPDIR:-/tmp}/distribution-build-test.XXXXXX")"
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags="$(dpkg-buildflags --get LDFLAGS)"
# Who builds with ccache keeps it; the dry run compiles nothing either way.
if ! CXXFLAGS="$cxxflags" CFLAGS="$cxxflags" LDFLAGS="$ldflags" \
  cmake -S "$source" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=None \
  -DBUILD_TESTING=OFF -DKIT_WERROR=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_rapidcheck=ON \
  >"$work/configure.log" 2>&1; then
  echo "FAIL: configuring without tests"
  sed 's/^/    /' "$work/configure.log"
  exit 1
fi
if ! ninja -C "$work/build" -n -v all >"$work/commands" 2>&1; then
  echo "FAIL: the dry run of the build"
  sed 's/^/    /' "$work/commands" | tail -20
  exit 1
fi

# The executables linked: the installed programs, nothing else.
linked="$(grep -oE ' -o bin/[^ ]+' "$work/commands" | sed 's| -o bin/||' | sort -u)"
expected="$(printf '%s\n' "${programs[@]}" | sort)"
[[ "$linked" == "$expected" ]] ||
  fail "the build links [$(echo $linked)], expected only [$(echo $expected)]"
strays="$(grep -oE ' -o [^ ]+' "$work/commands" | grep -E '(^| -o )[^ ]*(tests|testing|bench|fuzz|e2e)/' | sort -u)"
[[ -z "$strays" ]] || fail "the build makes what only tests need: $(echo $strays | head -c 600)"

# Every compile and link command carries the distribution's flags, and none makes warnings errors.
compiles="$(grep -E ' -c [^ ]+\.cpp' "$work/commands")"
links="$(grep -E ' -o bin/' "$work/commands")"
[[ -n "$compiles" ]] || fail "no compile command in the dry run"
for flag in $cxxflags; do
  missing="$(grep -vcF -- " $flag" <<<"$compiles")"
  [[ "$missing" -eq 0 ]] || fail "$missing compile commands lack $flag"
done
for flag in $ldflags; do
  missing="$(grep -vcF -- " $flag" <<<"$links")"
  [[ "$missing" -eq 0 ]] || fail "$missing link commands lack $flag"
done
werror="$(grep -cE -- ' -Werror( |$)' "$work/commands")"
[[ "$werror" -eq 0 ]] || fail "$werror commands have -Werror with KIT_WERROR off"

echo "$(wc -l <<<"$compiles") compile and $(wc -l <<<"$links") link commands checked"
if [[ $failures -gt 0 ]]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
