#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Makes a ctest folder whose tests are those of the given build trees, so that one ctest run
# holds every tree's tests (the sanitizer trees' names start with asan. and tsan.), and the
# resource description that lets CPUS of the tests that work run at once (kit_add_test gives each of
# them one "cpu" slot; the tests labelled realtime need none).
#
#   ctest-all-trees.sh --cpus N OUT TREE...
#   ctest --test-dir OUT -j M --resource-spec-file OUT/resources.json
set -euo pipefail

cpus=""
if [[ "${1:-}" == --cpus ]]; then
  cpus="$2"
  shift 2
fi
[[ $# -ge 2 ]] || { echo "usage: ctest-all-trees.sh [--cpus N] OUT TREE..." >&2; exit 1; }
[[ -n "$cpus" ]] || cpus="$(nproc 2>/dev/null || echo 2)"
out="$1"
shift
mkdir -p "$out"

# Written only when they change, so that ctest's record of each test's cost is kept.
write() {
  if ! cmp -s "$1.new" "$1"; then mv "$1.new" "$1"; else rm -f "$1.new"; fi
}

for tree in "$@"; do
  [[ -f "$tree/CTestTestfile.cmake" ]] || { echo "ctest-all-trees.sh: $tree has no tests (not built?)" >&2; exit 1; }
  echo "subdirs(\"$(realpath "$tree")\")"
done >"$out/CTestTestfile.cmake.new"
write "$out/CTestTestfile.cmake"

printf '{"version": {"major": 1, "minor": 0}, "local": [{"cpu": [{"id": "0", "slots": %d}]}]}\n' \
  "$cpus" >"$out/resources.json.new"
write "$out/resources.json"
