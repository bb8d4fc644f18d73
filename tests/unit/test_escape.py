import os
import shlex
import shutil
import subprocess
import tempfile
import unittest

from ompsuite.errors import SuiteError
from ompsuite.escape import gnuplot_data_label, gnuplot_string, markdown_cell, printable, shell_word

INJECTION = 'lab\nsystem "touch PWNED"\nlab'
HOSTILE = [INJECTION, "lab\rsystem 'touch PWNED'", "`touch PWNED`", "it's", "'", "''", "'''a'", "a''''b",
           "back\\slash\\", "\\n", '"quoted"', "@macro $1 %s", "é ∑", "", "a\x00b\x1b[31m\u2028c\x85d"]


class GnuplotString(unittest.TestCase):
    def test_no_control_character_survives_and_quotes_never_double(self):
        for ch in [chr(c) for c in range(32)] + ["\x7f", "\x85", "\u2028", "\u2029"]:
            self.assertEqual(gnuplot_string(f"a{ch}b"), "'a b'", repr(ch))
        self.assertEqual(gnuplot_string("it's"), "('it' . \"'\" . 's')")
        self.assertEqual(gnuplot_string("''"), "\"''\"")
        self.assertEqual(gnuplot_string("bad \udcff byte"), "'bad \ufffd byte'")
        # A data file label has no escape for its quote, and a newline would start a data line.
        self.assertEqual(gnuplot_data_label('lab "x"\n1 2'), '"lab \'x\' 1 2"')

    @unittest.skipIf(shutil.which("gnuplot") is None and os.environ.get("CI") != "true", "gnuplot is not installed")
    def test_gnuplot_reads_each_value_back_and_runs_nothing(self):
        with tempfile.TemporaryDirectory() as d:
            lines = ["set terminal dumb", "set output 'plot.txt'", "set print 'printed.txt'"]
            for text in HOSTILE:
                lines += [f"set title {gnuplot_string(text)}", f"set label 1 {gnuplot_string(text)} at 0, 0",
                          f"print {gnuplot_string(text)}"]
            with open(os.path.join(d, "t.gp"), "w") as f:
                f.write("\n".join(lines + ["plot x title " + gnuplot_string(INJECTION), ""]))
            proc = subprocess.run(["gnuplot", "t.gp"], cwd=d, capture_output=True, text=True, timeout=30)
            self.assertFalse(os.path.exists(os.path.join(d, "PWNED")), "gnuplot ran the injected command")
            self.assertEqual(proc.returncode, 0, proc.stderr)
            with open(os.path.join(d, "printed.txt")) as f:
                printed = f.read().split("\n")[:-1]
            self.assertEqual(printed, [_flat(t) for t in HOSTILE])


def _flat(text):
    return "".join(" " if ord(c) < 32 or c in "\x7f\x85\u2028" else c for c in text)


class OtherTargets(unittest.TestCase):
    def test_markdown_cell_stays_one_cell_and_shows_as_is(self):
        self.assertEqual(markdown_cell("  a|b\nc  "), "a\\|b c")
        self.assertEqual(markdown_cell("a\\|b"), "a\\\\\\|b")  # the backslash cannot unescape the pipe
        self.assertEqual(markdown_cell("<img src=x>[l](u)`c`*e*"), "\\<img src=x\\>\\[l\\](u)\\`c\\`\\*e\\*")
        self.assertEqual(markdown_cell(3.5), "3.5")

    def test_shell_word_reads_back_and_refuses_nul(self):
        for text in HOSTILE[:-1] + ["-rf", "$(touch x)", "a b\tc"]:
            self.assertEqual(shlex.split(shell_word(text)), [text])
        with self.assertRaises(SuiteError) as e:
            shell_word("a\0b", "host name")
        self.assertEqual(e.exception.status, 2)
        self.assertIn("host name", str(e.exception))

    def test_printable_is_one_visible_line(self):
        self.assertEqual(printable("a\nb\r\x1b[31m\u202eend\udcff"), "a\\nb\\r\\x1b[31m\\u202eend\\xff")
        self.assertEqual(printable(b"\xffok"), "\ufffdok")
        self.assertEqual(printable("x" * 50, 10), "xxxxxxx...")
        self.assertEqual(printable("plain é"), "plain é")


if __name__ == "__main__":
    unittest.main()
