#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs a libFuzzer target as a test, from its seed inputs alone: the inputs it finds go to a
# folder of its own that is removed afterwards, so that with a fixed seed and a bounded number of
# runs every run tries the very same inputs, and nothing is written into the build tree (but
# the input of a failure, where -artifact_prefix says).
#
#   fuzz-test.sh FUZZER [OPTION...] [-- SEED_FOLDER...]
set -uo pipefail

fuzzer="$1"
shift
options=()
while (($#)) && [[ "$1" != -- ]]; do
  options+=("$1")
  shift
done
[[ "${1:-}" == -- ]] && shift

work="$(mktemp -d "${TMPDIR:-/tmp}/kit-fuzz.XXXXXX")" || exit 1
trap 'rm -rf "$work"' EXIT
# The first folder takes the inputs found; the seed folders are only read.
"$fuzzer" "${options[@]}" "$work" "$@"
