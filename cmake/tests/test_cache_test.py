#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""make test's record of passed tests (cmake/ctest-cached.py), on a tree of two small tests: one
that passes, and one that fails until a file appears in the sources. A test is left out only
when it passed before and nothing it could see has changed, and the run says so.

    test_cache_test.py CTEST_CACHED_PY
"""
import json
import os
import subprocess
import sys
import tempfile

script = os.path.abspath(sys.argv[1])
failures = []


def check(what, ok, detail=""):
    if not ok:
        failures.append(f"{what}\n{detail}")


with tempfile.TemporaryDirectory(prefix="kit-test-cache.") as top:
    src, tree, out = (os.path.join(top, d) for d in ("src", "tree", "out"))
    log = os.path.join(top, "ran.log")  # outside every input: which tests ran, one line each
    for d in (src, tree, out):
        os.mkdir(d)
    with open(os.path.join(src, "code.txt"), "w") as f:
        f.write("one\n")
    with open(os.path.join(tree, "program"), "w") as f:
        f.write("built\n")
    with open(os.path.join(tree, "CTestTestfile.cmake"), "w") as f:
        f.write(f'add_test(steady sh -c "echo steady >> {log}")\n'
                f'add_test(waits sh -c "echo waits >> {log}; test -f {src}/ready")\n'
                # A disabled test is never run, and is no reason to start ctest again.
                f'add_test(off sh -c "echo off >> {log}")\n'
                f'set_tests_properties(off PROPERTIES DISABLED TRUE)\n')
    with open(os.path.join(out, "CTestTestfile.cmake"), "w") as f:
        f.write(f'subdirs("{tree}")\n')

    base_env = {k: v for k, v in os.environ.items() if k not in ("CI", "KIT_TEST_CACHE")}

    def run(*extra, env=None):
        """The tests that ran (in name order), the exit status and what was printed."""
        if os.path.exists(log):
            os.remove(log)
        r = subprocess.run([sys.executable, script, *extra, "--source", src, "--tree", tree, "--",
                            "--test-dir", out], env=env or base_env, capture_output=True, text=True)
        ran = sorted(open(log).read().split()) if os.path.exists(log) else []
        return ran, r.returncode, r.stdout + r.stderr

    def step(name, expect_ran, expect_ok, expect_said, *extra, env=None):
        ran, rc, said = run(*extra, env=env)
        check(f"{name}: ran {ran}, expected {expect_ran}", ran == expect_ran, said)
        check(f"{name}: exit status {rc}", (rc == 0) == expect_ok, said)
        check(f"{name}: no line saying '{expect_said}'", expect_said in said, said)

    # A folder without a record runs everything, as a fresh clone does.
    step("first run", ["steady", "waits"], False, "no earlier run recorded here: every test runs")
    # Only the failed test runs again, and the run says why the other one did not.
    step("second run", ["waits"], False, "1 of 2 tests passed before with these same inputs and are not run again")
    # Any change to the sources runs everything, the tests that passed included.
    open(os.path.join(src, "ready"), "w").close()
    step("after a new source file", ["steady", "waits"], True,
         "changed since the last run (source/ready): every test runs")
    step("nothing changed", [], True, "all 2 tests passed before with these same inputs: none is run again")
    # A rebuilt program, a variable the tests read, ctest's options.
    with open(os.path.join(tree, "program"), "w") as f:
        f.write("built again\n")
    step("after a rebuild", ["steady", "waits"], True, "changed since the last run (tree0/program): every test runs")
    step("after a rebuild, again", [], True, "none is run again")
    step("with another time zone", ["steady", "waits"], True, "(environment TZ)", env={**base_env, "TZ": "Asia/Tokyo"})
    step("with its own time zone again", ["steady", "waits"], True, "every test runs")
    # Asked for, or under continuous integration, everything runs whatever was recorded.
    step("--again", ["steady", "waits"], True, "every test runs (make test-again)", "--again")
    step("CI", ["steady", "waits"], True, "every test runs (CI is set)", env={**base_env, "CI": "true"})
    step("KIT_TEST_CACHE=0", ["steady", "waits"], True, "every test runs (KIT_TEST_CACHE=0)",
         env={**base_env, "KIT_TEST_CACHE": "0"})
    # A record a day old is not used, even with the same inputs; nor one from the future.
    record = os.path.join(out, "test-cache", "passed.json")
    for made, name in ((1, "a day old"), (4e9, "from the future")):
        step(f"before ageing ({name})", [], True, "none is run again")
        state = json.load(open(record))
        state["made"] = state["made"] - 25 * 3600 if made == 1 else made
        with open(record, "w") as f:
            json.dump(state, f)
        step(f"with a record {name}", ["steady", "waits"], True, "more than a day old: every test runs")
    # A record that cannot be read is no record.
    with open(os.path.join(out, "test-cache", "passed.json"), "w") as f:
        f.write("{ half")
    step("after a broken record", ["steady", "waits"], True, "no earlier run recorded here")

for failure in failures:
    print("FAILED:", failure, file=sys.stderr)
print(f"{len(failures)} failures")
sys.exit(1 if failures else 0)
