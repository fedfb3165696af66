#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the README's examples as a reader would after `make`: every line of an indented example
# block that starts with "$ " is a command, run in order from the top of a fresh copy of the
# source tree (its files under version control only, with the build tree as build/ and the
# kit's programs first on PATH). Each command must exit 0, and each line shown below a command
# (up to the next command or the end of the block) must be a line of what it printed, spaces at
# either end aside; a shown line ending in "..." stands for a printed line that begins with what
# is before the dots, and "..." alone for lines left out.
#
#   readme_test.sh --build DIR --source DIR
set -uo pipefail

build="" source=""
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) build="$2"; shift 2 ;;
    --source) source="$2"; shift 2 ;;
    *) echo "readme_test.sh: unknown argument '$1'" >&2; exit 1 ;;
  esac
done

work="$(mktemp -d "${TMPDIR:-/tmp}/readme-test.XXXXXX")"
trap 'rm -rf "$work"' EXIT
clone="$work/clone"
mkdir "$clone"
if git -C "$source" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # Tracked files, as they are in the work tree (uncommitted edits included).
  (cd "$source" && git ls-files -z | xargs -0 cp --parents -t "$clone" 2>/dev/null)
else
  (cd "$source" && tar --exclude='./build*' --exclude='./obj-*' -cf - .) | (cd "$clone" && tar -xf -)
fi
ln -s "$(realpath "$build")" "$clone/build"
export PATH="$(realpath "$build")/bin:$PATH" LC_ALL=C.UTF-8

# The examples: "C<TAB>command" and "O<TAB>output line" records, in README order.
examples="$(awk '
  /^    \$ / { sub(/^    \$ /, ""); print "C\t" $0; in_cmd = 1; next }
  /^$/ { next }
  in_cmd && /^    / { sub(/^    /, ""); print "O\t" $0; next }
  { in_cmd = 0 }
' "$source/README.md")"
[[ -n "$examples" ]] || { echo "FAIL: the README has no examples"; exit 1; }

failures=0 commands=0 command="" out=""
trim() { sed -e 's/^[[:space:]]*//' -e 's/[[:space:]]*$//'; }
while IFS=$'\t' read -r kind text; do
  if [[ "$kind" == C ]]; then
    command="$text"
    commands=$((commands + 1))
    echo "\$ $command"
    status=0
    # Progress written in place with carriage returns counts as lines of its own.
    out="$(cd "$clone" && bash -c "$command" 2>&1 </dev/null | tr '\r' '\n')" || status=$?
    out="$(trim <<<"$out")"
    if [[ $status -ne 0 ]]; then
      echo "FAIL: exit status $status from: $command"
      sed 's/^/    /' <<<"$out" | head -20
      failures=$((failures + 1))
    fi
  else
    line="$(trim <<<"$text")"
    [[ -z "$line" || "$line" == "..." ]] && continue
    if [[ "$line" == *" ..." ]]; then
      line="$(trim <<<"${line%...}")"
      found="$(awk -v p="$line" 'index($0, p) == 1 { print "yes"; exit }' <<<"$out")"
    else
      found="$(grep -xF -- "$line" <<<"$out" | head -1)"
    fi
    if [[ -z "$found" ]]; then
      echo "FAIL: '$command' did not print: $line"
      failures=$((failures + 1))
    fi
  fi
done <<<"$examples"

echo "$commands commands run"
if [[ $failures -gt 0 ]]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
