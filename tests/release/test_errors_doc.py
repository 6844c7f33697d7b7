#!/usr/bin/python3
"""docs/errors.md lists exactly the codes the program can show, each once, with the box text as shown.

The codes are read from the program's sources, not from a list kept here: the enumerators named E_... and the
initialisers of the code tables (records of a type named ...Codes) in control/, discovery/, replace/ and common/.
The box texts are the sentences in the same sources, after "E<code>: ".
"""

import glob
import os
import re
import unittest

from support import SOURCE_DIR
from player_texts import guide_rows  # on the path support.py gives

PROGRAM_FOLDERS = ("control", "discovery", "replace", "common")

ENUMERATOR = re.compile(r"\bE_[A-Z0-9_]+\s*=\s*(\d+)\b")
CODE_TABLE = re.compile(r"\b\w*Codes\s+\w+\s*(?:\[\s*\d*\s*\])?\s*=\s*\{(.*?)\}\s*;", re.S)
NUMBER = re.compile(r"(?<![\w.])(\d+)(?![\w.])")
STRING = re.compile(r'"((?:[^"\\]|\\.)*)"')


def program_sources():
    for folder in PROGRAM_FOLDERS:
        for path in sorted(glob.glob(os.path.join(SOURCE_DIR, folder, "*.[ch]*"))):
            with open(path, encoding="utf-8") as f:
                yield path, re.sub(r"/\*.*?\*/|//[^\n]*", "", f.read(), flags=re.S)


def codes_in_sources():
    codes = set()
    for _, text in program_sources():
        codes |= {int(n) for n in ENUMERATOR.findall(text)}
        for table in CODE_TABLE.findall(text):
            codes |= {int(n) for n in NUMBER.findall(table)}
    return {"E%03d" % code for code in codes}


def box_texts_in_sources():
    """Patterns of every text a box can show after its code: the sentences, and the open failures' format."""
    patterns = []
    for _, text in program_sources():
        # Adjacent literals are one string, as the compiler joins them.
        joined = re.sub(r'"\s*\n\s*"', "", text)
        for literal in STRING.findall(joined):
            if literal.startswith("E%03d: "):
                literal = literal[len("E%03d: "):]
            if not literal or not re.search(r"[^\x00-\x7f]", literal):
                continue  # the Japanese sentences; file names and keys are plain ASCII
            patterns.append(re.compile("^" + re.escape(literal).replace("%s", r"[\w.]+") + "$"))
    return patterns


class ErrorsDocTest(unittest.TestCase):
    def test_the_table_lists_every_code_of_the_program_once_and_no_other(self):
        codes = codes_in_sources()
        # Every part of the program that shows a box has codes; finding none of a family means the scan is blind.
        self.assertEqual({code[1] for code in codes}, set("012345"), sorted(codes))
        documented = [code for code, _ in guide_rows()]
        self.assertEqual(len(documented), len(set(documented)), "a code listed twice")
        self.assertEqual(sorted(set(documented) - codes), [], "listed but not in the program")
        self.assertEqual(sorted(codes - set(documented)), [], "in the program but not listed")

    def test_each_row_shows_the_box_text_and_says_what_failed_and_what_to_do(self):
        sentences = box_texts_in_sources()
        self.assertTrue(sentences)
        for code, cells in guide_rows():
            with self.subTest(code):
                self.assertEqual(len(cells), 4, cells)
                box, what, remedy, maintainers = cells
                shown = re.fullmatch(r"`%s: (.+)`" % code, box)
                self.assertTrue(shown, box)
                self.assertTrue(any(p.match(shown.group(1)) for p in sentences), "not a text of the program: " + box)
                self.assertRegex(what + remedy, r"[ぁ-んァ-ン一-龥]", "Japanese for players")
                self.assertRegex(maintainers, r"[A-Za-z]{3}", "a word for maintainers")

    def test_the_readme_links_the_guide(self):
        with open(os.path.join(SOURCE_DIR, "README.md"), encoding="utf-8") as f:
            self.assertIn("(docs/errors.md)", f.read())


if __name__ == "__main__":
    unittest.main()
