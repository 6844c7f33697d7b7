#!/usr/bin/python3
"""The built updater, read with pefile: a 32-bit GUI program with exactly the expected resources and imports."""

import os
import struct
import unittest

import pefile

from support import SAMPLE, UPDATER_EXE, UPDATER_EXE64, catalogue, read, resources, special_build, version_block

RT_ICON, RT_GROUP_ICON, RT_VERSION = 3, 14, 16
JAPANESE = 0x0411


class ExecutableTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.isfile(UPDATER_EXE):
            raise AssertionError("no updater at %r (WELLHAVEN_UPDATER_EXE; run ./build.sh first)" % UPDATER_EXE)
        cls.pe = pefile.PE(UPDATER_EXE)
        cls.embedded = os.path.join(os.path.dirname(UPDATER_EXE), "embedded-payload")
        cls.resources = {}  # (type name or id, id) -> [(language, bytes)]
        for (type_key, rid, language), data in resources(cls.pe).items():
            cls.resources.setdefault((type_key, rid), []).append((language, data))

    def test_a_32_bit_gui_program(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"])
        self.assertEqual(self.pe.OPTIONAL_HEADER.Magic, pefile.OPTIONAL_HEADER_MAGIC_PE)
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem, pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"])
        self.assertEqual(self.pe.FILE_HEADER.TimeDateStamp, 0)

    def test_only_the_programs_own_code_and_three_system_dlls(self):
        """Both Windows builds (the shipped PE32 and, where it is given, the PE32+ twin the Wine tests run): no
        C runtime, no TLS, none of the runtime's sections, relocatable and NX, and everything but the resources
        within 9.5 KiB on disk."""
        builds = [exe for exe in (UPDATER_EXE, UPDATER_EXE64) if exe]
        print("checked:", ", ".join(builds))
        for exe in builds:
            with self.subTest(exe):
                pe = pefile.PE(exe)
                dlls = {entry.dll.decode().upper() for entry in pe.DIRECTORY_ENTRY_IMPORT}
                self.assertEqual(dlls, {"KERNEL32.DLL", "ADVAPI32.DLL", "USER32.DLL"})
                sizes = {s.Name.rstrip(b"\0").decode(): s.SizeOfRawData for s in pe.sections}
                runtime = [name for name in sizes if name in (".CRT", ".tls") or name.startswith(".eh_fram")]
                self.assertEqual(runtime, [], "the C runtime's sections")
                self.assertFalse(hasattr(pe, "DIRECTORY_ENTRY_TLS"), "a TLS directory")
                dynamic_base_and_nx = 0x0040 | 0x0100
                self.assertEqual(pe.OPTIONAL_HEADER.DllCharacteristics & dynamic_base_and_nx, dynamic_base_and_nx)
                relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
                self.assertGreater(relocations.Size, 0, "no relocation table")
                code = sum(size for name, size in sizes.items() if not name.startswith(".rsrc"))
                self.assertLessEqual(code, 9728, "bytes on disk per section: %s" % sizes)

    def test_resources_are_the_payloads_the_icon_and_the_version_block_in_japanese(self):
        expected = {("BINARY", pid) for pid in catalogue.PAYLOADS}
        expected |= {(RT_GROUP_ICON, 101), (RT_ICON, 1), (RT_VERSION, 1)}
        self.assertEqual(set(self.resources), expected, "no manifest or any other resource")
        for key, languages in self.resources.items():
            self.assertEqual([lang for lang, _ in languages], [JAPANESE], key)

    def test_payloads_are_the_checked_files_byte_for_byte(self):
        for pid, (size, *_) in catalogue.PAYLOADS.items():
            with self.subTest(pid):
                [(_, data)] = self.resources[("BINARY", pid)]
                self.assertEqual(len(data), size)
                self.assertEqual(data, read(os.path.join(self.embedded, catalogue.payload_file_name(pid))))

    def test_one_icon_of_48_by_48_with_24_bits(self):
        [(_, group)] = self.resources[(RT_GROUP_ICON, 101)]
        reserved, kind, count = struct.unpack_from("<HHH", group)
        self.assertEqual((reserved, kind, count), (0, 1, 1))
        width, height, colours, _, planes, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", group, 6)
        self.assertEqual((width, height, colours, planes, bits), (48, 48, 0, 1, 24))
        [(_, image)] = self.resources[(RT_ICON, icon_id)]
        self.assertEqual(len(image), size)
        header_size, bmp_width, bmp_height, _, bmp_bits = struct.unpack_from("<IiiHH", image)
        self.assertEqual((header_size, bmp_width, bmp_height, bmp_bits), (40, 48, 96, 24))

    def test_version_block(self):
        fixed, strings, translations = version_block(self.pe)
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), (0x00010000, 0x00000001))
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), (0x00010000, 0x00030000))
        self.assertEqual(list(strings), [b"041104b0"])
        table = strings[b"041104b0"]
        self.assertEqual(table["FileDescription"], "Wellhavenアップデートver1.03")
        self.assertEqual((table["FileVersion"], table["ProductVersion"]), ("1.0.0.1", "1.0.3.0"))
        self.assertEqual(translations, [{b"Translation": "0x0411 0x04b0"}])

    def test_a_sample_build_says_so_in_its_version_block_and_a_release_build_does_not(self):
        sample_payload = os.path.join(SAMPLE, "payload")
        built_from_sample = all(read(os.path.join(self.embedded, name)) == read(os.path.join(sample_payload, name))
                                for name in map(catalogue.payload_file_name, catalogue.PAYLOADS))
        flag, text = special_build(self.pe)
        if built_from_sample:
            self.assertTrue(flag, "VS_FF_SPECIALBUILD")
            self.assertIn("not for players", text or "")
        else:
            self.assertEqual((flag, text), (False, None))


if __name__ == "__main__":
    unittest.main()
