#!/usr/bin/env python3
"""Runs test programs whole: every case of a program in one process, as a
developer runs it by hand, where CTest runs each case in a process of its own.
State that one case leaves behind for the next (a process-wide worker, a
counter, a helper pool) shows up only this way.

    scripts/run_test_programs.py [--build DIR] [--label REGEX] [PROGRAM ...] [-- GTEST_ARGS]

Each program runs as CTest would run its cases: the same working directory,
environment and wrapper (the private network or process namespace of the
NETNS and PIDNS programs), with the time limits of all its cases together.
Without PROGRAM every test program of the build runs, one after the other;
--label keeps those whose cases carry a CTest label that REGEX matches (as
`ctest -L` reads it), such as '^crawler$' for one area. Naming no program
that exists, or a label no program carries, is an error.
What follows -- goes to each program, for example --gtest_repeat=2 or
--gtest_shuffle. A program's output goes to
DIR/Testing/Temporary/whole-PROGRAM.log; the exit code is 1 when any failed.
"""

import argparse
import json
import os
import re
import subprocess
import sys
import time


def programs_of(build):
    """The test programs of the build, with how CTest runs their cases."""
    out = subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, check=True,
                         capture_output=True, text=True).stdout
    programs = {}
    for test in json.loads(out)["tests"]:
        command = test.get("command") or []
        at = next((i for i, a in enumerate(command) if a.startswith("--gtest_filter=")), None)
        if at is None:
            continue  # not a GoogleTest case
        props = {p["name"]: p["value"] for p in test.get("properties", [])}
        name = os.path.basename(command[at - 1])
        p = programs.setdefault(name, {
            "command": command[:at],
            "env": props.get("ENVIRONMENT", []),
            "cwd": props.get("WORKING_DIRECTORY", build),
            "timeout": 0.0,
            "cases": 0,
            "labels": set(),
        })
        p["timeout"] += float(props.get("TIMEOUT", 1500))
        p["cases"] += 1
        p["labels"].update(props.get("LABELS", []))
    return programs


def run(name, p, gtest_args, log_dir):
    env = dict(os.environ)
    for assignment in p["env"]:
        key, _, value = assignment.partition("=")
        env[key] = value
    log = os.path.join(log_dir, f"whole-{name}.log")
    start = time.monotonic()
    with open(log, "wb") as out:
        try:
            rc = subprocess.run(p["command"] + gtest_args, cwd=p["cwd"], env=env, stdout=out,
                                stderr=subprocess.STDOUT, timeout=p["timeout"]).returncode
        except subprocess.TimeoutExpired:
            rc = "timeout"
    return rc, time.monotonic() - start, log


def main():
    argv = sys.argv[1:]
    gtest_args = []
    if "--" in argv:
        at = argv.index("--")
        argv, gtest_args = argv[:at], argv[at + 1:]
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    parser.add_argument("--label", help="only programs with a case whose label this regular expression matches")
    parser.add_argument("programs", nargs="*")
    args = parser.parse_args(argv)
    build = os.path.abspath(args.build)

    programs = programs_of(build)
    wanted = args.programs or sorted(programs)
    unknown = [n for n in wanted if n not in programs]
    if unknown:
        sys.exit(f"no such test program in {build}: {' '.join(unknown)}")
    if args.label is not None:
        label = re.compile(args.label)
        wanted = [n for n in wanted if any(label.search(l) for l in programs[n]["labels"])]
        if not wanted:
            sys.exit(f"no test program in {build} has a case labelled to match {args.label!r}")
    if not wanted:
        sys.exit(f"no test programs in {build}")
    log_dir = os.path.join(build, "Testing", "Temporary")
    os.makedirs(log_dir, exist_ok=True)

    failed = []
    for name in wanted:
        rc, seconds, log = run(name, programs[name], gtest_args, log_dir)
        verdict = "ok" if rc == 0 else f"FAILED ({rc})"
        print(f"{name:32} {programs[name]['cases']:4} cases {seconds:7.1f} s  {verdict}", flush=True)
        if rc != 0:
            failed.append((name, log))
    for name, log in failed:
        print(f"{name}: see {log}")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
