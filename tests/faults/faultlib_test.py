#!/usr/bin/env python3
"""Checks of the fault suite's harness that need neither a namespace nor the
programs: the seed a run prints, given back, repeats its random choices."""
import contextlib
import io
import os
import random
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
os.environ["TOV_FAULT_NAMESPACE"] = "1"  # run the cases in this process
import faultlib  # noqa: E402


def run_case(argv, env_seed=None, fail=False):
    """main() over a case that draws a few numbers: (printed lines, draws, exit code)."""
    draws = []

    def case():
        draws.extend(random.random() for _ in range(5))
        draws.append(random.Random(random.random()).randrange(1000))  # as hostile_peers derives its own
        if fail:
            raise faultlib.Failure("on purpose")

    saved_argv, saved_env = sys.argv, os.environ.pop("TOV_FAULT_SEED", None)
    sys.argv = argv
    if env_seed is not None:
        os.environ["TOV_FAULT_SEED"] = env_seed
    out = io.StringIO()
    try:
        with contextlib.redirect_stdout(out):
            code = faultlib.main(case)
    finally:
        sys.argv = saved_argv
        os.environ.pop("TOV_FAULT_SEED", None)
        if saved_env is not None:
            os.environ["TOV_FAULT_SEED"] = saved_env
    return out.getvalue().splitlines(), draws, code


CASE = os.path.join(HERE, "kill_crawler.py")


class Seed(unittest.TestCase):
    def test_a_new_seed_is_printed_and_given_back_repeats_the_run(self):
        lines, draws, code = run_case([CASE])
        self.assertEqual(code, 0)
        self.assertTrue(lines[0].startswith("seed "), lines)
        seed = lines[0][len("seed "):]
        again_lines, again, _ = run_case([CASE, "--seed", seed])
        self.assertEqual(again_lines[0], "seed " + seed)
        self.assertEqual(again, draws)
        _, from_env, _ = run_case([CASE], env_seed=seed)
        self.assertEqual(from_env, draws)

    def test_the_argument_comes_before_the_environment(self):
        lines, draws, _ = run_case([CASE, "--seed", "7"], env_seed="ci")
        self.assertEqual(lines[0], "seed 7")
        self.assertEqual(draws, run_case([CASE], env_seed="7")[1])
        self.assertEqual(run_case([CASE], env_seed="ci")[0][0], "seed ci")

    def test_a_failure_prints_the_command_that_repeats_it(self):
        lines, draws, code = run_case([CASE, "--kills", "3", "--seed", "x1"], fail=True)
        self.assertEqual(code, 1)
        self.assertEqual(lines[-2], "FAILED: on purpose")
        self.assertEqual(lines[-1], "repeat it with: python3 tests/faults/kill_crawler.py --kills 3 --seed x1")
        # The command as printed, run from the top of the tree.
        args = lines[-1].split(": ", 1)[1].split()[1:]
        args[0] = os.path.join(faultlib.ROOT, args[0])
        self.assertEqual(run_case(args, fail=True)[1], draws)


if __name__ == "__main__":
    unittest.main()
