#!/usr/bin/env python3
"""Test programs started by hand, from a folder outside the tree and without
CTest's TOV_SOURCE_ROOT and TOV_BIN_DIR, still find the stand-ins and the
programs; given a variable that names no folder, they stop at once with a
line that names it.

  folders_test.py <bin dir>
"""
import os
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BIN = None

# One quick case each: a stand-in from the source tree under the network
# namespace, and a program from the bin folder.
STAND_IN_CASE = ["storage_sender_tests", "StorageSenderTest.AnOldSendingFileIsDeliveredBeforeTheSlotsFileTakesItsName"]
PROGRAM_CASE = ["link_tests", "LinkProcessTest.AttachAndMessagesBothWays"]


def run(case, netns, **variables):
    """The case's program, started in a fresh folder outside the tree with
    only the given TOV_SOURCE_ROOT / TOV_BIN_DIR. Its temporary folders go
    there too, so a program that stops leaves none behind."""
    program, name = case
    env = {k: v for k, v in os.environ.items() if k not in ("TOV_SOURCE_ROOT", "TOV_BIN_DIR")}
    command = [os.path.join(BIN, program), "--gtest_filter=" + name]
    if netns:
        command.insert(0, os.path.join(ROOT, "tests", "netns_run.sh"))
    with tempfile.TemporaryDirectory() as elsewhere:
        env.update(variables, LC_ALL="C", TMPDIR=elsewhere)
        return subprocess.run(command, cwd=elsewhere, env=env, capture_output=True, text=True, check=False)


class Folders(unittest.TestCase):
    def assertPassed(self, result):
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("[  PASSED  ] 1 test.", result.stdout)

    def assertStoppedNaming(self, result, variable, value):
        self.assertNotEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("%s=%s is no folder; set %s" % (variable, value, variable), result.stderr)
        self.assertNotIn("[  PASSED  ]", result.stdout)

    def test_stand_ins_are_found_without_the_variables(self):
        self.assertPassed(run(STAND_IN_CASE, netns=True))

    def test_programs_are_found_without_the_variables(self):
        self.assertPassed(run(PROGRAM_CASE, netns=False))

    def test_a_source_root_that_is_no_folder_stops_the_program(self):
        self.assertStoppedNaming(run(STAND_IN_CASE, netns=True, TOV_SOURCE_ROOT="/nonexistent"),
                                 "TOV_SOURCE_ROOT", "/nonexistent")

    def test_a_bin_dir_that_is_no_folder_stops_the_program(self):
        self.assertStoppedNaming(run(PROGRAM_CASE, netns=False, TOV_BIN_DIR="/nonexistent"),
                                 "TOV_BIN_DIR", "/nonexistent")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    BIN = sys.argv.pop(1)
    unittest.main()
