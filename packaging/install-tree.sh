#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# `make install` and `make uninstall`: installs a build tree under a prefix and keeps a record of
# what it put there, the files and the folders it had to make, so that uninstalling removes
# exactly those: the files, then each of those folders that is empty. Folders that were there
# before (on Debian /usr/local/bin, /usr/local/share/man, ...) stay.
#
#   install-tree.sh install --build DIR --prefix PREFIX [--destdir DIR] --record DIR
#   install-tree.sh uninstall --record DIR
#
# The record is RECORD/installed-files.txt and RECORD/installed-dirs.txt (DESTDIR included).
# Installing again adds to it, so one uninstall removes what several installs put there.
set -euo pipefail

action="${1:-}"
shift || true
build="" prefix="" destdir="" record=""
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) build="$2"; shift 2 ;;
    --prefix) prefix="$2"; shift 2 ;;
    --destdir) destdir="$2"; shift 2 ;;
    --record) record="$2"; shift 2 ;;
    *) echo "install-tree.sh: unknown argument '$1'" >&2; exit 1 ;;
  esac
done
[[ -n "$record" ]] || { echo "install-tree.sh: --record DIR is needed" >&2; exit 1; }
files="$record/installed-files.txt" dirs="$record/installed-dirs.txt"

case "$action" in
  install)
    [[ -n "$build" && -n "$prefix" ]] || { echo "install-tree.sh: --build and --prefix are needed" >&2; exit 1; }
    root="$destdir$prefix"
    while [[ "$root" == */ && "$root" != / ]]; do root="${root%/}"; done
    # The folders there before: every folder under the prefix, and the prefix's own folders up to
    # the first that exists (all of which the install makes).
    before="$(mktemp)"
    trap 'rm -f "$before"' EXIT
    made_above=()
    dir="$root"
    while [[ -n "$dir" && ! -d "$dir" ]]; do
      made_above+=("$dir")
      dir="${dir%/*}"
    done
    if [[ -d "$root" ]]; then find "$root" -type d | sort >"$before"; fi

    DESTDIR="$destdir" cmake --install "$build" --prefix "$prefix"

    # cmake's own list of what it installed, without DESTDIR, is rewritten by packaging: keep ours.
    new_files="$(sed "s|^|$destdir|" "$build/install_manifest.txt")"
    rm -f "$build/install_manifest.txt"
    # Every folder of an installed file from the prefix down that was not there before.
    new_dirs="$(
      while IFS= read -r file; do
        dir="${file%/*}"
        while [[ ${#dir} -gt ${#root} ]]; do
          echo "$dir"
          dir="${dir%/*}"
        done
      done <<<"$new_files" | sort -u | comm -13 "$before" -
    )"
    mkdir -p "$record"
    { [[ -f "$files" ]] && cat "$files"; printf '%s\n' "$new_files"; } | sed '/^$/d' | sort -u >"$files.new"
    { [[ -f "$dirs" ]] && cat "$dirs"; printf '%s\n' "$new_dirs" "${made_above[@]}"; } | sed '/^$/d' | sort -u >"$dirs.new"
    mv -f "$files.new" "$files"
    mv -f "$dirs.new" "$dirs"
    ;;
  uninstall)
    [[ -f "$files" ]] || { echo "uninstall: nothing installed from this tree" >&2; exit 1; }
    xargs -d '\n' rm -f -- <"$files"
    # Deepest first (a folder sorts before everything in it), so a folder emptied by removing the
    # ones inside it goes too.
    if [[ -f "$dirs" ]]; then
      sort -r "$dirs" | while IFS= read -r dir; do
        if [[ -d "$dir" ]]; then rmdir --ignore-fail-on-non-empty -- "$dir"; fi
      done
    fi
    rm -f "$files" "$dirs"
    ;;
  *)
    echo "usage: install-tree.sh install --build DIR --prefix PREFIX [--destdir DIR] --record DIR" >&2
    echo "       install-tree.sh uninstall --record DIR" >&2
    exit 1
    ;;
esac
