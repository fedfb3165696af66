#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Runs ctest, leaving out the tests that passed before with the very same inputs.

    ctest-cached.py [--again] --source DIR --tree TREE... -- CTEST_ARGS...

CTEST_ARGS name the test folder (--test-dir OUT) and whatever else ctest is to do. The inputs of
a run are, byte for byte: every file of the build trees (their programs, libraries, test lists
and data; the build tool's own logs aside), every file of OUT but ctest's results, every source
file (git's tracked and untracked files, its ignored ones aside), the list of installed packages,
the kernel's release, the variables of the environment that the tests read (below) and
CTEST_ARGS. All of them make one digest. A test that passed under the digest the inputs have now
is reported as passed before and not run again; any change to any input runs every test again,
and so does a record more than a day old (its oldest pass, that is).
--again (or KIT_TEST_CACHE=0 in the environment) runs every test whatever was recorded, and so
does a continuous integration run (CI set in the environment, as CI services do): a build there
judges a change, and a record carried over from an earlier build must not stand in for it.

What passed is recorded in OUT/test-cache/passed.json once ctest has ended, from ctest's own
verdicts (its JUnit report): a test that failed, timed out or was skipped runs again next time; a
test disabled in the test lists is not run at all (ctest would only say so). When every test runs again because an
input changed, the run names the first inputs that did (OUT/test-cache/inputs.json holds them).
"""
import argparse
import hashlib
import json
import os
import re
import stat
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

FORMAT = "kit-test-cache 2"
# A record older than this is not used: what a test reads beyond the inputs (the date, the
# machine's state) is not in the digest, and a day's runs are what the record is for.
MAX_AGE_S = 24 * 3600
# The variables that reach the tests and change what they do.
ENV_NAMES = re.compile(r"^(PATH|LANG|LANGUAGE|TZ|HOME|USER|TMPDIR|SHELL|DISPLAY|WAYLAND_DISPLAY|"
                       r"XDG_RUNTIME_DIR|LD_LIBRARY_PATH|LD_PRELOAD|LC_.*|.*SAN_OPTIONS|QT_.*|"
                       r"GTEST_.*|CORVALIS_.*|PULSE_.*|CTEST_.*|KIT_.*)$")
# Written by the build tool as it runs, read by no test; and written by tests as they run, the
# same each time: the layer test's scratch trees and the install test's manifest. (Counted, they
# made the second run after a fresh clone's first run every test again.)
TREE_SKIP = {".ninja_log", ".ninja_deps", "Testing", "kit_layers_test", "install_manifest.txt"}
CHUNK = 1 << 20


def file_digest(path, st):
    """The digest of one file: its kind, permissions and content (a link's target)."""
    h = hashlib.sha256()
    if stat.S_ISLNK(st.st_mode):
        h.update(b"link\0" + os.readlink(path).encode("utf-8", "surrogateescape"))
    elif stat.S_ISREG(st.st_mode):
        h.update(b"file\0%o\0" % (st.st_mode & 0o7777))
        with open(path, "rb") as f:
            while chunk := f.read(CHUNK):
                h.update(chunk)
    else:
        h.update(b"other\0%o\0" % st.st_mode)
    return h.digest()


class Inputs:
    """The digest of a run's inputs, and what each input was, so that a change can be named."""

    def __init__(self):
        self.h = hashlib.sha256()
        self.parts = {}

    def add(self, label, d):
        self.h.update(label.encode("utf-8", "surrogateescape") + b"\0" + d + b"\0")
        self.parts[label] = d.hex()

    def hexdigest(self):
        return self.h.hexdigest()


def add_file(h, label, path):
    try:
        st = os.lstat(path)
        d = file_digest(path, st)
    except FileNotFoundError:
        d = b"missing"
    h.add(label, d)


def add_tree(h, label, root, skip_top=()):
    """Every file under root, in name order, with its path relative to root."""
    files = []
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        if rel == ".":
            dirnames[:] = [d for d in dirnames if d not in skip_top]
            filenames = [f for f in filenames if f not in skip_top]
        # A link to a folder is listed among the folders, and os.walk does not follow it.
        for d in dirnames:
            if os.path.islink(os.path.join(dirpath, d)):
                filenames.append(d)
        files.extend(os.path.normpath(os.path.join(rel, f)) for f in filenames)
    for rel in sorted(files):
        add_file(h, f"{label}/{rel}", os.path.join(root, rel))


def add_sources(h, source, skip_dirs):
    try:
        out = subprocess.run(["git", "-C", source, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                             check=True, capture_output=True).stdout
        names = sorted(set(n.decode("utf-8", "surrogateescape") for n in out.split(b"\0") if n))
        for n in names:
            add_file(h, "source/" + n, os.path.join(source, n))
    except (OSError, subprocess.CalledProcessError):
        # Not a git checkout: every file but the build trees' and the tests' folder's.
        skip = {".git"} | {os.path.relpath(os.path.realpath(t), os.path.realpath(source)) for t in skip_dirs}
        add_tree(h, "source", source, skip_top=skip)


def inputs_digest(args, ctest_args, test_dir):
    h = Inputs()
    h.add("format", FORMAT.encode())
    h.add("ctest arguments", json.dumps(ctest_args).encode())
    env = {k: v for k, v in os.environ.items() if ENV_NAMES.match(k) and k != "KIT_TEST_CACHE"}
    for k, v in sorted(env.items()):
        h.add(f"environment {k}", v.encode("utf-8", "surrogateescape"))
    u = os.uname()
    h.add("kernel", f"{u.sysname} {u.release} {u.machine}".encode())
    add_file(h, "packages", "/var/lib/dpkg/status")
    for i, tree in enumerate(args.tree):
        add_tree(h, f"tree{i}", tree, skip_top=TREE_SKIP)
    add_tree(h, "tests", test_dir, skip_top={"Testing", "test-cache"})
    add_sources(h, args.source, args.tree + [test_dir])
    return h


def test_dir_of(ctest_args):
    for i, a in enumerate(ctest_args):
        if a == "--test-dir" and i + 1 < len(ctest_args):
            return ctest_args[i + 1]
        if a.startswith("--test-dir="):
            return a.split("=", 1)[1]
    return "."


def list_tests(test_dir):
    """ctest's numbers and names of every test that is not disabled (listing them also brings the
    tests' lists of cases up to date, so that the digest sees them as the run will)."""
    r = subprocess.run(["ctest", "--test-dir", test_dir, "-N"], capture_output=True, text=True)
    if r.returncode != 0:
        return None
    tests = []
    for line in r.stdout.splitlines():
        m = re.match(r"^\s*Test\s+#(\d+): (.*)$", line)
        if m and not m.group(2).endswith(" (Disabled)"):
            tests.append((int(m.group(1)), m.group(2)))
    return tests


def passed_in(junit):
    """The tests that ctest judged passed in its JUnit report."""
    passed = set()
    for case in ET.parse(junit).getroot().iter("testcase"):
        if case.get("status") == "run" and not any(c.tag in ("failure", "error", "skipped") for c in case):
            passed.add(case.get("name"))
    return passed


def load(path):
    try:
        with open(path, encoding="utf-8") as f:
            state = json.load(f)
        if state.get("format") == FORMAT:
            return state.get("digest"), set(state.get("passed", [])), float(state.get("made", 0))
    except (OSError, ValueError, TypeError):
        pass
    return None, set(), 0.0


def save(path, digest, passed, made):
    tmp = path + ".new"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump({"format": FORMAT, "digest": digest, "made": made, "passed": sorted(passed)}, f, indent=0)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)


def save_inputs(path, parts):
    """What each input was, kept beside the record to name what changed next time."""
    tmp = path + ".new"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(parts, f, indent=0, sort_keys=True)
    os.replace(tmp, path)


def changed_inputs(path, parts, shown=5):
    """The inputs that differ from the recorded ones, as a short list for the user."""
    try:
        with open(path, encoding="utf-8") as f:
            old = json.load(f)
        if not isinstance(old, dict):
            return ""
    except (OSError, ValueError):
        return ""
    names = sorted(k for k in set(old) | set(parts) if old.get(k) != parts.get(k))
    text = ", ".join(names[:shown])
    if len(names) > shown:
        text += f" and {len(names) - shown} more"
    return text


def say(text):
    print(f"test cache: {text}", flush=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--again", action="store_true")
    p.add_argument("--source", required=True)
    p.add_argument("--tree", action="append", default=[])
    p.add_argument("ctest_args", nargs=argparse.REMAINDER)
    args = p.parse_args()
    ctest_args = args.ctest_args[1:] if args.ctest_args[:1] == ["--"] else args.ctest_args
    ci = os.environ.get("CI", "").lower() not in ("", "0", "false", "no")
    again = args.again or os.environ.get("KIT_TEST_CACHE", "1") == "0" or ci
    test_dir = os.path.abspath(test_dir_of(ctest_args))
    cache_dir = os.path.join(test_dir, "test-cache")
    os.makedirs(cache_dir, exist_ok=True)
    state_path = os.path.join(cache_dir, "passed.json")
    junit = os.path.join(cache_dir, "last-run.xml")

    tests = list_tests(test_dir)
    if tests is None:
        # ctest cannot list the tests: the run itself shows why.
        say("ctest cannot list the tests; every test runs")
        return subprocess.run(["ctest"] + ctest_args).returncode

    inputs = inputs_digest(args, ctest_args, test_dir)
    digest = inputs.hexdigest()
    inputs_path = os.path.join(cache_dir, "inputs.json")
    old_digest, old_passed, old_made = load(state_path)
    now = time.time()
    names = {name for _, name in tests}
    if again:
        kept = set()
        why = "make test-again" if args.again else "KIT_TEST_CACHE=0" if not ci else "CI is set"
        say(f"every test runs ({why})")
    elif old_digest is None:
        kept = set()
        say("no earlier run recorded here: every test runs")
    elif not 0 <= now - old_made <= MAX_AGE_S:
        kept = set()
        say("the record of the last run is more than a day old: every test runs")
    elif old_digest != digest:
        kept = set()
        changed = changed_inputs(inputs_path, inputs.parts)
        say("the build trees, the sources or the environment changed since the last run"
            + (f" ({changed})" if changed else "") + ": every test runs")
    else:
        kept = old_passed & names
    to_run = [n for n, name in tests if name not in kept]
    if kept:
        if to_run:
            say(f"{len(kept)} of {len(tests)} tests passed before with these same inputs and are not run "
                f"again (make test-again runs every test); {len(to_run)} run now")
        else:
            say(f"all {len(tests)} tests passed before with these same inputs: none is run again "
                f"(make test-again runs every test)")
            return 0

    try:
        os.remove(junit)
    except FileNotFoundError:
        pass
    run = ["ctest"] + ctest_args + ["--output-junit", junit]
    if kept:
        selection = os.path.join(cache_dir, "to-run.txt")
        with open(selection, "w") as f:
            # Start, end and stride select nothing; the numbers after them are the tests to run.
            f.write("0,0,0," + ",".join(str(n) for n in to_run) + "\n")
        run += ["-I", selection]
    try:
        rc = subprocess.run(run).returncode
    except KeyboardInterrupt:
        rc = 130
    passed_now = set()
    if os.path.exists(junit):
        try:
            passed_now = passed_in(junit)
        except ET.ParseError:
            pass
    # The record is as old as the oldest pass it holds.
    save_inputs(inputs_path, inputs.parts)
    save(state_path, digest, (kept | passed_now) & names, old_made if kept else now)
    if kept and rc == 0:
        say(f"{len(passed_now)} tests passed now and {len(kept)} passed before with these same inputs")
    return rc


if __name__ == "__main__":
    sys.exit(main())
