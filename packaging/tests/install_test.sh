#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the kit from a build tree into a temporary folder (as `make install DESTDIR=...` does)
# and, with --package, builds the Debian package and unpacks it into another; then checks each
# tree: the files that must be there and nothing from tests or benchmarks, the programs run from
# there, the desktop entry and metainfo pass their validators, every manual page renders without
# a warning and names every option its program's --help lists. `make uninstall` then has to leave
# the folders as they were before, in a prefix with folders of its own and in a fresh one.
# Nothing is installed into the machine's own folders.
#
#   install_test.sh --build DIR --source DIR --appstream-id ID --version X.Y.Z
#                   (--package|--no-package) PROGRAM...
set -uo pipefail

build="" source="" appstream_id="" version="" package=0 programs=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) build="$2"; shift 2 ;;
    --source) source="$2"; shift 2 ;;
    --appstream-id) appstream_id="$2"; shift 2 ;;
    --version) version="$2"; shift 2 ;;
    --package) package=1; shift ;;
    --no-package) package=0; shift ;;
    *) programs+=("$1"); shift ;;
  esac
done

work="$(mktemp -d "${TMPDIR:-/tmp}/install-test.XXXXXX")"
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# check DESCRIPTION COMMAND...: runs the command, its output shown only when it fails.
check() {
  local what="$1" out
  shift
  if ! out="$("$@" 2>&1)"; then fail "$what"; printf '%s\n' "$out" | sed 's/^/    /'; fi
}

# The checks of one installed tree: ROOT is DESTDIR, PREFIX the prefix under it.
check_tree() {
  local root="$1" prefix="$2" label="$3"
  local top="$root$prefix" doc="$root$prefix/share/doc/corvalis"
  echo "== $label: $top"
  local files
  files="$(cd "$root" && find . \( -type f -o -type l \) | sed 's|^\.||' | sort)"
  echo "   $(wc -l <<<"$files") files"

  # Exactly the kit's programs in bin, each with its manual page.
  local in_bin expected
  in_bin="$(ls "$top/bin" 2>/dev/null | sort)"
  expected="$(printf '%s\n' "${programs[@]}" | sort)"
  [[ "$in_bin" == "$expected" ]] || fail "$label: bin holds [$(echo $in_bin)], expected [$(echo $expected)]"
  local program
  for program in "${programs[@]}"; do
    [[ -x "$top/bin/$program" ]] || fail "$label: $program is not installed"
    [[ -s "$top/share/man/man1/$program.1.gz" ]] || fail "$label: no manual page for $program"
  done
  local wanted
  for wanted in share/applications/corvalis.desktop "share/metainfo/$appstream_id.metainfo.xml" \
    share/icons/hicolor/scalable/apps/corvalis.svg share/icons/hicolor/256x256/apps/corvalis.png \
    share/doc/corvalis/README.md share/doc/corvalis/copyright share/doc/corvalis/changelog.gz \
    share/doc/corvalis/docs/screenshots/conditions.png \
    share/doc/corvalis/examples/script.txt; do
    [[ -s "$top/$wanted" ]] || fail "$label: $prefix/$wanted is missing"
  done
  # Nothing of the test suites, benchmarks, fuzzers or build helpers, nothing outside the prefix.
  local strays
  strays="$(grep -E '_test$|_bench$|_fuzz$|/fieldtext$|_screenshots$|_literal$|/docs/man/|\.scd$' <<<"$files")"
  [[ -z "$strays" ]] || fail "$label: installed what is not for users: $(echo $strays)"
  strays="$(grep -v "^$prefix/" <<<"$files")"
  [[ -z "$strays" ]] || fail "$label: installed outside $prefix: $(echo $strays)"

  # The programs run from where they were installed, on the examples installed beside them.
  local run="$work/run-$label"
  mkdir -p "$run"
  local out
  out="$(cd "$run" && "$top/bin/score" "$doc/examples/score-master.txt" "$doc/examples/score-compare.txt" score.txt)" ||
    fail "$label: score on the examples failed"
  grep -q 'Percentage Error (TCER) =  2.38' <<<"$out" || fail "$label: score gave [$out]"
  out="$(cd "$run" && "$top/bin/cerscore" "$doc/examples/reference.txt" "$doc/examples/received.txt" cer.txt 2>/dev/null)" ||
    fail "$label: cerscore on the examples failed"
  grep -q 'Character error rate (in %):  7.35' <<<"$out" || fail "$label: cerscore gave [$out]"
  out="$("$top/bin/ttysim" --help)" || fail "$label: ttysim --help failed"
  grep -q '^Usage: ttysim --device TYPE' <<<"$out" || fail "$label: ttysim --help gave [$out]"
  for program in ttysim fieldreport softtty rttmodem; do
    out="$("$top/bin/$program" --version)" || fail "$label: $program --version failed"
    [[ "$out" == "$program "*" $version" ]] || fail "$label: $program --version gave [$out], not $version"
  done
  # softtty turns text into tones and back from where it was installed (no sound card needed).
  out="$(cd "$run" && echo "Call 911, GA" | "$top/bin/softtty" --encode --output call.wav &&
    "$top/bin/softtty" --decode call.wav --quiet 2>/dev/null)" || fail "$label: softtty --encode/--decode failed"
  [[ "$out" == "CALL 911, GA"* ]] || fail "$label: softtty decoded [$out]"
  out="$("$top/bin/corvalis" --version)" || fail "$label: corvalis --version failed"
  [[ "$out" == "corvalis "*" $version" ]] || fail "$label: corvalis --version gave [$out], not $version"
  # Anything else is refused before a window is made: no display is asked for.
  local status=0
  out="$(env -u QT_QPA_PLATFORM -u DISPLAY -u WAYLAND_DISPLAY "$top/bin/corvalis" --port COM2 2>&1)" || status=$?
  [[ $status -eq 1 && "$out" == *"unknown option '--port'"*"Usage: corvalis"* ]] ||
    fail "$label: corvalis --port gave status $status and [$out]"
  status=0
  out="$(env -u QT_QPA_PLATFORM -u DISPLAY -u WAYLAND_DISPLAY "$top/bin/corvalis" capture.txt 2>&1)" || status=$?
  [[ $status -eq 1 && "$out" == *"unexpected argument 'capture.txt'"* ]] ||
    fail "$label: corvalis capture.txt gave status $status and [$out]"

  check "$label: desktop-file-validate" desktop-file-validate "$top/share/applications/corvalis.desktop"
  check "$label: appstreamcli validate" appstreamcli validate --no-net --strict \
    "$top/share/metainfo/$appstream_id.metainfo.xml"
  # The metainfo names every installed program.
  for program in "${programs[@]}"; do
    grep -q "<binary>$program</binary>" "$top/share/metainfo/$appstream_id.metainfo.xml" ||
      fail "$label: the metainfo does not name $program"
  done

  # Manual pages: rendered with all of groff's warnings on, none given; every option that the
  # program's --help lists is in its page.
  local page text option
  for program in "${programs[@]}"; do
    page="$top/share/man/man1/$program.1.gz"
    [[ -s "$page" ]] || continue
    text="$(MANWIDTH=80 man --warnings=w -E UTF-8 -l "$page" 2>"$work/man-warnings")"
    [[ ! -s "$work/man-warnings" ]] || fail "$label: man $program warns: $(cat "$work/man-warnings")"
    [[ "$text" == *NAME*SYNOPSIS*DESCRIPTION*"EXIT STATUS"*EXAMPLES* ]] ||
      fail "$label: man $program lacks a section"
    if out="$("$top/bin/$program" --help 2>/dev/null)"; then
      for option in $(grep -oE -- '--[a-z][a-z-]+' <<<"$out" | sort -u); do
        [[ "$text" == *"$option"* ]] || fail "$label: man $program does not mention $option"
      done
    fi
  done
}

# The folders under ROOT, one a line.
folders() { (cd "$1" && find . -type d | sort); }

# make install DESTDIR=... from this build tree, as `make install` does it, into a prefix that
# already has two empty folders of its own (as /usr/local/bin and /usr/local/share/man are on
# Debian): make uninstall takes away what it put there and leaves those.
prefix=/usr/local
mkdir -p "$work/destdir$prefix/bin" "$work/destdir$prefix/share/man"
folders_before="$(folders "$work/destdir")"
install_tree=("$source/packaging/install-tree.sh")
if "${install_tree[@]}" install --build "$build" --prefix "$prefix" --destdir "$work/destdir" \
  --record "$work/record" >"$work/install.log" 2>&1; then
  check_tree "$work/destdir" "$prefix" "make-install"
  check "make uninstall" "${install_tree[@]}" uninstall --record "$work/record"
  left="$(cd "$work/destdir" && find . ! -type d)"
  [[ -z "$left" ]] || fail "make uninstall left files: $(echo $left)"
  [[ "$(folders "$work/destdir")" == "$folders_before" ]] ||
    fail "make uninstall left the folders [$(folders "$work/destdir" | tr '\n' ' ')], not [$(tr '\n' ' ' <<<"$folders_before")]"
else
  fail "make install"; sed 's/^/    /' "$work/install.log"
fi

# Into a fresh prefix, twice (the second install makes no folder): make uninstall leaves nothing,
# the prefix itself included.
mkdir "$work/fresh"
for round in 1 2; do
  "${install_tree[@]}" install --build "$build" --prefix "$work/fresh/prefix" --record "$work/record-fresh" \
    >"$work/install-fresh.log" 2>&1 || { fail "make install into a fresh prefix"; sed 's/^/    /' "$work/install-fresh.log"; }
done
check "make uninstall from a fresh prefix" "${install_tree[@]}" uninstall --record "$work/record-fresh"
left="$(cd "$work/fresh" && find . -mindepth 1)"
[[ -z "$left" ]] || fail "make uninstall left in a fresh prefix: $(echo $left)"

# The Debian package's version is the kit's.
changelog_version="$(dpkg-parsechangelog -l "$source/debian/changelog" -S Version)"
[[ "$changelog_version" == "$version" ]] ||
  fail "debian/changelog is at version $changelog_version, the kit at $version: add a changelog entry"

if [[ $package -eq 1 ]]; then
  if ! cpack --config "$build/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" 2>&1; then
    fail "cpack"; sed 's/^/    /' "$work/cpack.log"
  else
    deb="$(ls "$work"/package/corvalis_*.deb)"
    echo "== package $(basename "$deb"): $(stat -c %s "$deb") bytes"
    fields="$(dpkg-deb -f "$deb")"
    echo "$fields" | grep -E '^(Package|Version|Architecture|Depends|Recommends|Installed-Size):' | sed 's/^/   /'
    grep -q '^Package: corvalis$' <<<"$fields" || fail "package name"
    grep -qx "Version: $version" <<<"$fields" || fail "package version: not $version"
    # The description is the Debian source package's, word for word.
    [[ "$(sed -n '/^Description:/,/^[^ ]/p' "$source/debian/control" | sed '/^[^ D]/d')" == \
      "$(sed -n '/^Description:/,/^[^ ]/p' <<<"$fields" | sed '/^[^ D]/d')" ]] ||
      fail "package description differs from debian/control's"
    grep -q "^Architecture: $(dpkg --print-architecture)$" <<<"$fields" || fail "package architecture"
    # Depends comes from the libraries the programs link: Qt Widgets and the C and C++ runtimes.
    depends="$(sed -n 's/^Depends: //p' <<<"$fields")"
    # softtty's live audio: the sound server's client library, when softtty was built with it.
    needed=(libc6 libstdc++6 libqt6widgets6)
    if readelf -d "$build/bin/softtty" 2>/dev/null | grep -q 'NEEDED.*libpulse'; then needed+=(libpulse0); fi
    # rttmodem's SIP and RTP.
    if [[ -x "$build/bin/rttmodem" ]]; then needed+=(libre0); fi
    for lib in "${needed[@]}"; do
      [[ ", $depends," == *", $lib "* || ", $depends," == *", $lib,"* ]] ||
        fail "package Depends lacks $lib: [$depends]"
    done
    contents="$(dpkg-deb -c "$deb")"
    grep -q ' root/root .* \./usr/bin/corvalis$' <<<"$contents" || fail "package: /usr/bin/corvalis not owned by root"
    dpkg -x "$deb" "$work/unpacked"
    check_tree "$work/unpacked" /usr "package"
    # Stripped: no debugging sections left in the programs; nor a path of the source or build
    # tree, which would mean nothing on the machine the package is installed on.
    for program in "${programs[@]}"; do
      if readelf -S "$work/unpacked/usr/bin/$program" | grep -q '\.debug_info'; then
        fail "package: $program is not stripped"
      fi
      for tree in "$(realpath "$source")" "$(realpath "$build")"; do
        if grep -qaF "$tree" "$work/unpacked/usr/bin/$program"; then
          fail "package: $program holds the path $tree: $(strings -a "$work/unpacked/usr/bin/$program" | grep -F "$tree" | head -3)"
        fi
      done
    done
  fi
fi

if [[ $failures -gt 0 ]]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
