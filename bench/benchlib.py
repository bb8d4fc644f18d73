"""What the benchmarks share: the tools' package on the path, and their lists of ratios."""
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.realpath(__file__))))


def min_median_max(values):
    return min(values), statistics.median(values), max(values)


def print_ratio(text, medians, num, den):
    """One line of a benchmark's list of ratios, when both medians were measured; whether it was."""
    if num in medians and den in medians and medians[den] > 0:
        print(f"  {text:<62} {medians[num] / medians[den]:7.3f}")
        return True
    return False

ROOT = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
