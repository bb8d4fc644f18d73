import random
import unittest
from unittest import mock

from ompsuite.analyse import significance as S


class RankTest(unittest.TestCase):
    def test_exact_small_samples(self):
        # a = [1,2,3] against b = [4,5,6]: no pair has a above b, U = 0. Of the C(6,3) = 20 equally likely
        # splits only this one has U <= 0, so p = 2 x 1/20 = 0.1, which is also the smallest possible p.
        self.assertEqual(S.mann_whitney([1, 2, 3], [4, 5, 6]), (0.0, 0.1))
        self.assertEqual(S.mann_whitney([4, 5, 6], [1, 2, 3]), (9.0, 0.1))
        self.assertAlmostEqual(S.smallest_p(3, 3), 0.1)
        self.assertAlmostEqual(S.smallest_p(5, 5), 2 / 252)
        self.assertEqual(S.smallest_p(1000, 1000), 0.0)  # C(2000, 1000) is far beyond any float
        # With ties: a = [1,2,2], b = [2,3,4]. Midranks 1 -> 1, the three 2s -> 3, 3 -> 5, 4 -> 6; a's rank sum
        # is 7, U = 7 - 6 = 1 (the two ties between a's 2s and b's 2 count half each). Of the 20 ways to draw
        # 3 of the ranks {1,3,3,3,5,6}, only {1,3,3} (3 ways) reaches a sum <= 7, and 7 is the least sum:
        # p = 2 x 3/20 = 0.3.
        u, p = S.mann_whitney([1, 2, 2], [2, 3, 4])
        self.assertEqual(u, 1.0)
        self.assertAlmostEqual(p, 0.3)
        self.assertEqual(S.mann_whitney([2, 2], [2, 2, 2]), (3.0, 1.0))
        with self.assertRaises(ValueError):
            S.mann_whitney([], [1.0])

    def test_normal_approximation(self):
        # 40 against 30 (1200 pairs, beyond the exact count). a = 20 ones and 20 twos, b = 10 ones and 20 twos.
        # U = 20x10 (a's 2 over b's 1) + (20x10 + 20x20)/2 (ties) = 500; mean 40x30/2 = 600. Ties: 30 ones and
        # 40 twos, so the variance is 40x30/12 x (71 - (30^3-30 + 40^3-40)/(70x69)) = 5217.3913, sd 72.23151;
        # z = (|500 - 600| - 0.5)/72.23151 = 1.377515, two-sided p = erfc(z/sqrt 2) = 0.168353.
        u, p = S.mann_whitney([1] * 20 + [2] * 20, [1] * 10 + [2] * 20)
        self.assertEqual(u, 500.0)
        self.assertAlmostEqual(p, 0.168353, places=6)
        # Where both apply, the approximation must be close to the exact count.
        rng = random.Random(3)
        a = [rng.gauss(1.0, 0.1) for _ in range(25)]
        b = [rng.gauss(1.05, 0.1) for _ in range(25)]
        exact = S.mann_whitney(a, b)
        with mock.patch.object(S, "EXACT_PAIRS", 0):
            approx = S.mann_whitney(a, b)
        self.assertEqual(exact[0], approx[0])
        self.assertTrue(0.01 < exact[1] < 0.5, exact)
        self.assertAlmostEqual(approx[1] / exact[1], 1.0, delta=0.05)


class IntervalTest(unittest.TestCase):
    def test_median_interval_order_statistics(self):
        # n = 6: P(Binomial(6, 1/2) = 0) = 1/64, so [x_(1), x_(6)] covers 1 - 2/64 = 0.96875; [x_(2), x_(5)]
        # would cover only 1 - 2x7/64 = 0.78.
        self.assertEqual(S.median_ranks(6), (1, 6, 0.96875))
        self.assertEqual(S.median_interval([5.0, 3.0, 6.0, 1.0, 4.0, 2.0]), (1.0, 6.0))
        # n = 10: P(B <= 1) = 11/1024 gives [x_(2), x_(9)] at 1 - 22/1024 = 0.978515625; P(B <= 2) = 56/1024
        # would leave 0.890625.
        self.assertEqual(S.median_ranks(10), (2, 9, 1 - 22 / 1024))
        self.assertEqual(S.median_interval([10, 1, 9, 2, 8, 3, 7, 4, 6, 5]), (2, 9))
        self.assertEqual(S.median_ranks(10, 0.99), (1, 10, 1 - 2 / 1024))
        self.assertIsNone(S.median_interval([1, 2, 3, 4, 5]))  # 1 - 2/32 = 0.9375 < 0.95
        low, high, coverage = S.median_ranks(2000)  # 2 ** 2000 is far beyond any float
        self.assertEqual(low + high, 2001)
        self.assertTrue(0.95 <= coverage < 0.96, coverage)

    def test_ratio_bootstrap(self):
        rng = random.Random(11)
        base = [2.0 * rng.uniform(0.95, 1.05) for _ in range(15)]
        times = [1.0 * rng.uniform(0.95, 1.05) for _ in range(15)]
        low, high = S.ratio_interval(base, times, seed=5)
        self.assertLess(low, 2.0)
        self.assertGreater(high, 2.0)
        self.assertLess(high - low, 0.3)
        self.assertEqual(S.ratio_interval(base, times, seed=5), (low, high))
        self.assertNotEqual(S.ratio_interval(base, times, seed=6), (low, high))
        self.assertIsNone(S.ratio_interval(base, times[:2]))
        with self.assertRaises(ValueError):
            S.ratio_interval(base, times + [0.0])

    def test_precision(self):
        self.assertTrue(S.precision_met((0.98, 1.02), 1.0))
        self.assertFalse(S.precision_met((0.96, 1.01), 1.0))
        self.assertFalse(S.precision_met((0.99, 1.04), 1.0))
        self.assertFalse(S.precision_met(None, 1.0))


class VerdictTest(unittest.TestCase):
    BEFORE = [1.00, 1.01, 0.99, 1.02, 0.98]

    def test_labels(self):
        faster = S.verdict(self.BEFORE, [v * 0.8 for v in self.BEFORE])
        self.assertEqual(faster.label, "faster")
        self.assertAlmostEqual(faster.ratio, 0.8)
        self.assertAlmostEqual(faster.p, 2 / 252)
        self.assertEqual(faster.u, 0.0)
        self.assertTrue(faster.interval[0] <= 0.8 <= faster.interval[1])
        self.assertEqual(S.verdict(self.BEFORE, [v * 1.25 for v in self.BEFORE]).label, "slower")

        # Every run after is slower (p at its smallest), but by 1%: inside the noise band.
        tight = [1.000, 1.001, 0.999, 1.002, 0.998]
        small = S.verdict(tight, [v + 0.01 for v in tight])
        self.assertLess(small.p, 0.05)
        self.assertEqual(small.label, "~")
        self.assertIn("noise", small.note)

        few = S.verdict([1.0, 1.01, 0.99], [0.5, 0.51, 0.49])
        self.assertEqual(few.label, "~")
        self.assertIn("smallest possible p 0.1", few.note)

    def test_instability(self):
        self.assertIsNone(S.instability([1.00, 1.01, 0.99, 1.02, 0.98]))
        self.assertIsNone(S.instability([1.5, 1.0]))
        # The rest identical (MAD 0): 1% off is not an outlier.
        self.assertIsNone(S.instability([1.01, 1.0, 1.0, 1.0]))
        # First run 20% above the rest's median, 0.6745 x 0.2 / 0.01 = 13.5 robust deviations; the standard
        # deviation of all six is only 7.9% of the mean, so only the first-run rule can see it.
        cold = S.instability([1.20, 1.00, 1.01, 0.99, 1.00, 1.02])
        self.assertIn("first run 20% slower", cold)
        self.assertNotIn("standard deviation", cold)
        spread = S.instability([1.0, 1.3, 0.8, 1.2, 0.9])  # sd 19% of the mean; first run 5% off
        self.assertNotIn("first run", spread)
        self.assertIn("standard deviation", spread)


if __name__ == "__main__":
    unittest.main()
