"""The pages' measured figures: one run of bench/docs_figures.py on one machine, copied alike into
every page that shows them, dated, and never an impossible figure marked ok."""
import os
import re
import sys
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "bench"))  # the generator and its benchlib, as the bench tests take them

import docs_figures  # noqa: E402


def read(rel):
    with open(os.path.join(ROOT, rel), encoding="utf-8") as f:
        return f.read()


def terminal_rows(block):
    """{column: value} of each row of a terminal table, cut at its header's label positions (the
    numbers are right-aligned under their labels, the check left-aligned under its own)."""
    lines = block.splitlines()
    head = next(i for i, line in enumerate(lines) if line.startswith("program "))
    header = lines[head]
    labels = [m for m in re.finditer(r"\S+(?: (?:CI|floor|by))?", header)]
    rows = []
    for line in lines[head + 1:]:
        if not re.match(r"^\w+ +(\d+|\?) ", line):
            break
        row, start = {}, 0
        for k, m in enumerate(labels):
            last = k == len(labels) - 1
            row[m.group()] = (line[m.start():] if last else line[start:m.end()]).strip()
            start = m.end()
        rows.append(row)
    return rows


def markdown_rows(text):
    """{column: value} of each row of every Markdown table in text that has a check column."""
    rows, header = [], None
    for line in text.splitlines():
        if not line.startswith("|"):
            header = None
            continue
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if header is None:
            header = cells
        elif not set(line) <= set("|-: "):
            rows.append(dict(zip(header, cells)))
    return [r for r in rows if "check" in r]


def number(text):
    m = re.match(r"^-?\d+(?:\.\d+)?", text or "")
    return float(m.group()) if m else None


class Figures(unittest.TestCase):
    def setUp(self):
        self.gen = docs_figures
        self.page = read("docs/results-2-cores.md")

    def test_every_page_shows_the_one_dated_run(self):
        self.assertRegex(self.page, r"Measured on \d{4}-\d\d-\d\d on `[^`]+`, a 2-core")
        self.assertIn("`python3 bench/docs_figures.py`", self.page)
        blocks = self.gen.blocks(self.page)
        self.assertEqual(sorted(blocks), ["busy", "runsuite", "scaling"])
        for name, fence in blocks.items():
            with self.subTest(block=name):
                self.assertIn("\nprogram ", fence)
                shown = read(self.gen.PAGES[name])
                self.assertIn(f"{self.gen.MARK.format(name)}\n{fence}\n{self.gen.END.format(name)}", shown)

    def test_no_impossible_figure_is_ok(self):
        rows = [r for fence in self.gen.blocks(self.page).values() for r in terminal_rows(fence)]
        rows += [dict(r, speedup=r.get("speedup"), **{"% floor": r.get("% of floor")})
                 for r in markdown_rows(self.page)]
        self.assertGreater(len(rows), 20)
        for r in rows:
            with self.subTest(row=" ".join(str(v) for v in r.values())[:80]):
                if not r["check"].startswith("ok"):
                    continue
                threads, speedup, floor = number(r["threads"]), number(r.get("speedup")), number(r.get("% floor"))
                low = number(r.get("speedup 95%"))  # the Markdown tables' interval, where a row has one
                if threads and low:
                    self.assertLessEqual(low, threads)
                elif threads and speedup:
                    self.assertLessEqual(speedup, 1.1 * threads)
                if floor:
                    self.assertGreaterEqual(floor, 95)


if __name__ == "__main__":
    unittest.main()
