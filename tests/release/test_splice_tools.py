#!/usr/bin/python3
"""Deriving and comparing splice payloads with the release tool on the sample archives."""

import os
import unittest

from support import SampleTestCase, read, run_tool, write

DATA, SCR = "data.xp3", "scr.xp3"
PAYLOAD = {DATA: "104.bin", SCR: "106.bin"}


class SpliceToolTest(SampleTestCase):
    def verify(self, old, new, payload=None):
        args = ["verify", old, new] + (["--payload", payload] if payload else [])
        return run_tool(*args)

    def test_sample_payloads_rebuild_the_finished_archives(self):
        for edition in ("0", "1"):
            for name in (DATA, SCR):
                with self.subTest(edition=edition, archive=name):
                    old, new = self.sample("installed", edition, name), self.sample("finished", edition, name)
                    for payload in (self.sample("payload", PAYLOAD[name]), None):
                        status, out, err = self.verify(old, new, payload)
                        self.assertEqual((status, err), (0, []))
                        self.assertIn("byte for byte", out)

    def test_an_archive_of_finished_size_is_left_as_it_is(self):
        status, _, err = self.verify(self.sample("installed", "2", DATA), self.sample("finished", "2", DATA),
                                     self.sample("payload", "104.bin"))
        self.assertEqual((status, err), (0, []))
        changed = self.copy_of("finished", "2", DATA)
        write(changed, b"Y" + read(changed)[1:])
        status, _, err = self.verify(changed, self.sample("finished", "2", DATA))
        self.assertEqual(status, 1)
        self.assertIn("first difference at offset 0 (0x0)", err[0])
        self.assertIn("already has the finished size", err[0])

    def test_cut_gives_the_sample_payloads(self):
        for name in (DATA, SCR):
            with self.subTest(name):
                out = os.path.join(self.scratch, name + ".payload")
                status, _, err = run_tool("cut", self.sample("finished", "0", name), out)
                self.assertEqual((status, err), (0, []))
                self.assertEqual(read(out), read(self.sample("payload", PAYLOAD[name])))

    def test_cut_refuses_what_is_not_a_finished_archive(self):
        out = os.path.join(self.scratch, "cut.bin")
        wrong_index = self.copy_of("finished", "0", DATA)
        write(wrong_index, read(wrong_index)[:11] + b"\x00" + read(wrong_index)[12:])
        for new, recipe, problem in ((self.sample("installed", "0", SCR), [], "the finished archive has 920803 bytes"),
                                     (self.sample("finished", "0", DATA), ["--recipe", SCR], "has 138482 bytes"),
                                     (wrong_index, ["--recipe", DATA], "index position in the head")):
            with self.subTest(problem):
                status, _, err = run_tool("cut", new, out, *recipe)
                self.assertEqual(status, 1)
                self.assertIn(problem, "\n".join(err))
                self.assertFalse(os.path.exists(out))

    def test_first_difference_is_reported_where_it_lands_in_the_finished_archive(self):
        # (archive, file changed, offset changed there, offset of the difference in the finished archive or None,
        #  run named)
        cases = [
            (DATA, "installed", 100, 100, "first kept run, taken from installed offset 100"),
            (DATA, "installed", 22424 + 100, None, None),            # inside the skipped old run
            (DATA, "installed", 31405 + 10, 31426, "second kept run, taken from installed offset 31415"),
            (DATA, "installed", 137000, None, None),                 # the dropped old index
            (DATA, "payload", 5, 5, "head"),
            (DATA, "payload", 16, 22424, "first payload run, taken from payload offset 16"),
            (DATA, "payload", 10598, 138481, "payload tail, taken from payload offset 10598"),
            (SCR, "installed", 17, 17, "first kept run"),             # a high byte of the index position
            (SCR, "installed", 400000, 400018, "second kept run, taken from installed offset 400000"),
        ]
        for name, changed, offset, expected, run in cases:
            with self.subTest(archive=name, changed=changed, offset=offset):
                old = self.copy_of("installed", "0", name)
                payload = self.copy_of("payload", PAYLOAD[name])
                target = old if changed == "installed" else payload
                data = read(target)
                write(target, data[:offset] + bytes([data[offset] ^ 0x5A]) + data[offset + 1:])
                status, out, err = self.verify(old, self.sample("finished", "0", name), payload)
                if expected is None:
                    self.assertEqual((status, err), (0, []))
                else:
                    self.assertEqual(status, 1)
                    self.assertRegex(err[0], r"first difference at offset %d \(0x%X\): rebuilt .*%s"
                                     % (expected, expected, run))

    def test_short_inputs_are_reported(self):
        old = self.copy_of("installed", "0", SCR)
        write(old, read(old)[:916366])
        status, _, err = self.verify(old, self.sample("finished", "0", SCR))
        self.assertEqual(status, 1)
        self.assertIn("has 916366 bytes, the recipe reads 916367", err[0])
        payload = self.copy_of("payload", "104.bin")
        write(payload, read(payload)[:-1])
        status, _, err = self.verify(self.sample("installed", "0", DATA), self.sample("finished", "0", DATA), payload)
        self.assertEqual(status, 1)
        self.assertIn("the payload has 10598 bytes, the recipe takes 10599", err[0])


if __name__ == "__main__":
    unittest.main()
