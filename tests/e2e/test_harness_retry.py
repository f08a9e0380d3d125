#!/usr/bin/env python3
"""The bench's one retry: a test runs again only when every failure it had
was Wine losing a process start (error 1359), and only once. Runs inner
test cases with dummy set-ups; no Wine needed."""
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402


def run_inner(case_class):
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(case_class)
    result = unittest.TestResult()
    suite.run(result)
    return result


class Retry(unittest.TestCase):
    def test_outcomes(self):
        tries = {}

        class Inner(harness.BenchCase):
            def setUp(self):
                tries[self._testMethodName] = tries.get(self._testMethodName, 0) + 1

            def test_lost_once(self):
                if tries["test_lost_once"] == 1:
                    self.fail("Could not start Windows' tar.exe (Windows error 1359).")

            def test_lost_always(self):
                raise harness.BenchError("observer failed (3): error what=CreateProcessW code=1359")

            def test_real_failure(self):
                self.assertEqual("a", "b")

            def test_real_failure_naming_1359_elsewhere(self):
                self.assertEqual(13590, 1359)

            def test_passes(self):
                pass

        result = run_inner(Inner)
        self.assertEqual(tries, {"test_lost_once": 2, "test_lost_always": 2, "test_real_failure": 1,
                                 "test_real_failure_naming_1359_elsewhere": 1, "test_passes": 1})
        self.assertEqual(result.testsRun, 5)
        self.assertEqual(sorted(t._testMethodName for t, _ in result.failures),
                         ["test_real_failure", "test_real_failure_naming_1359_elsewhere"])
        self.assertEqual([t._testMethodName for t, _ in result.errors], ["test_lost_always"])

    def test_skips_and_subtests_pass_through(self):
        class Inner(harness.BenchCase):
            def setUp(self):
                pass

            def test_skipped(self):
                self.skipTest("not here")

            def test_subtests(self):
                for i in range(3):
                    with self.subTest(i=i):
                        self.assertNotEqual(i, 1)

        result = run_inner(Inner)
        self.assertEqual(len(result.skipped), 1)
        self.assertEqual(len(result.failures), 1)
        self.assertIn("i=1", str(result.failures[0][0]))


if __name__ == "__main__":
    unittest.main(verbosity=2)
