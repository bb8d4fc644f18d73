import unittest

from ompsuite.escape import gnuplot_data_label, gnuplot_string, markdown_cell, printable

HOSTILE = ['lab\nsystem "touch PWNED"\nlab', "lab\rsystem 'touch PWNED'", "`touch PWNED`", "it's", "'", "''", "'''a'", "a''''b",
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

class OtherTargets(unittest.TestCase):
    def test_markdown_cell_stays_one_cell_and_shows_as_is(self):
        self.assertEqual(markdown_cell("  a|b\nc  "), "a\\|b c")
        self.assertEqual(markdown_cell("a\\|b"), "a\\\\\\|b")  # the backslash cannot unescape the pipe
        self.assertEqual(markdown_cell("<img src=x>[l](u)`c`*e*"), "\\<img src=x\\>\\[l\\](u)\\`c\\`\\*e\\*")
        self.assertEqual(markdown_cell(3.5), "3.5")

    def test_printable_is_one_visible_line(self):
        self.assertEqual(printable("a\nb\r\x1b[31m\u202eend\udcff"), "a\\nb\\r\\x1b[31m\\u202eend\\xff")
        self.assertEqual(printable(b"\xffok"), "\ufffdok")
        self.assertEqual(printable("x" * 50, 10), "xxxxxxx...")
        self.assertEqual(printable("plain é"), "plain é")


if __name__ == "__main__":
    unittest.main()
