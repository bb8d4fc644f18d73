import unittest

from ompsuite.escape import markdown_cell, printable


class Targets(unittest.TestCase):
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
