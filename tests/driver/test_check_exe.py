"""The executable checks find each kind of fault: damaged copies of the built shimlist.exe."""
import os
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_exe  # noqa: E402

BIN = os.environ.get('SHIMLIST_BIN', '')
ARCH = 'i686' if os.environ.get('SHIMLIST_ARCH', '').startswith('i686') else 'x86_64'
EXE = os.path.join(BIN, 'shimlist.exe')
MAP = os.path.join(BIN, '..', 'shimlist.map')
# A version of the same length that is not the project's.
OTHER_VERSION_TEXT = (check_exe.VERSION_TEXT[:-1]
                      + ('1' if check_exe.VERSION_TEXT[-1] != '1' else '2'))


def Replace(data, old, new, offset=0):
    """A copy of data with the first occurrence of old from offset replaced by new, same size."""
    assert len(old) == len(new)
    at = data.index(old, offset)
    return data[:at] + new + data[at + len(old):]


@unittest.skipUnless(os.path.exists(EXE) and os.path.exists(MAP), 'needs the built shimlist.exe')
class CheckExeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(EXE, 'rb') as exe:
            cls.data = exe.read()
        with open(MAP, encoding='utf-8') as linkMap:
            cls.map = linkMap.read()
        cls.image = check_exe.Image(cls.data)
        cls.pe = struct.unpack_from('<I', cls.data, 0x3C)[0]

    def Problems(self, data, mapText=None):
        return check_exe.CheckImage(data, ARCH, self.map if mapText is None else mapText)

    def assertOnly(self, problems, *fragments):
        """Every problem names one of the fragments, and every fragment is named."""
        for fragment in fragments:
            self.assertTrue(any(fragment in problem for problem in problems),
                            'no problem names %r in %s' % (fragment, problems))
        for problem in problems:
            self.assertTrue(any(fragment in problem for fragment in fragments),
                            'unexpected problem %r' % problem)

    def test_built_image_passes(self):
        self.assertEqual(self.Problems(self.data), [])

    def test_header_faults(self):
        machine = struct.pack('<H', 0x01C4)  # ARM
        data = self.data[:self.pe + 4] + machine + self.data[self.pe + 6:]
        self.assertOnly(self.Problems(data), 'machine is 0x01C4')
        subsystem = self.pe + 24 + 68
        data = self.data[:subsystem] + struct.pack('<H', 2) + self.data[subsystem + 2:]
        self.assertOnly(self.Problems(data), 'subsystem is 2')
        entry = self.pe + 24 + 16
        moved = struct.pack('<I', self.image.entry + 0x10)
        data = self.data[:entry] + moved + self.data[entry + 4:]
        self.assertOnly(self.Problems(data), 'entry point is at RVA')
        self.assertOnly(self.Problems(self.data, mapText=''), 'EntryPoint not found')

    def test_section_faults(self):
        table = self.pe + 24 + struct.unpack_from('<H', self.data, self.pe + 20)[0]
        names = [section[0] for section in self.image.sections]
        rdata = table + 40 * names.index('.rdata')
        flags = struct.unpack_from('<I', self.data, rdata + 36)[0] | check_exe.SCN_MEM_WRITE
        data = self.data[:rdata + 36] + struct.pack('<I', flags) + self.data[rdata + 40:]
        self.assertOnly(self.Problems(data), 'section .rdata is writable')
        data = self.data[:rdata] + b'.data\0\0\0' + self.data[rdata + 8:]
        self.assertOnly(self.Problems(data), 'section .data is present', 'section .rdata is missing')

    def test_load_config_faults(self):
        optional = self.pe + 24
        directory = optional + (96 if self.image.magic == 0x10B else 112) + 8 * 10
        config = self.image.Offset(self.image.directories[10][0])
        field = check_exe.DEPENDENT_LOAD_FLAGS[self.image.magic]
        characteristics = self.image.dllCharacteristics & ~check_exe.DLLCHARACTERISTICS_NO_SEH
        for at, new, fragment, arches in (
                (optional + 70, struct.pack('<H', characteristics), 'lack NO_SEH', ('i686',)),
                (directory, struct.pack('<II', 0, 0), 'no load configuration', (ARCH,)),
                (config, struct.pack('<I', field), 'does not cover', (ARCH,)),
                (directory + 4, struct.pack('<I', field + 1), 'does not cover', (ARCH,)),
                # Default directories include the program's own folder.
                (config + field, struct.pack('<H', 0x1000), 'DependentLoadFlags is 0x1000',
                 (ARCH,))):
            if ARCH in arches:
                with self.subTest(fragment=fragment, at=at):
                    data = self.data[:at] + new + self.data[at + len(new):]
                    self.assertOnly(self.Problems(data), fragment)

    def test_import_faults(self):
        data = Replace(self.data, b'USER32.dll', b'SHELL2.dll')
        self.assertOnly(self.Problems(data), 'imports from SHELL2.dll',
                        'imports nothing from user32.dll')
        data = Replace(self.data, b'WriteConsoleW\0', b'WriteConsoleA\0')
        self.assertOnly(self.Problems(data), 'imports WriteConsoleA from KERNEL32.dll')

    def test_manifest_faults(self):
        for old, new, fragment in (
                (b'"asInvoker"', b'"asInvokeX"', 'execution level'),
                (b'uiAccess="false"', b'uiAccess="true" ', 'uiAccess'),
                (b'processorArchitecture="*"', b'processorArchitecture="x"', 'processorArch'),
                (b'version="%s" processor' % check_exe.VERSION_TEXT.encode(),
                 b'version="%s" processor' % OTHER_VERSION_TEXT.encode(),
                 'identity version'),
                (b'>true</longPathAware>', b'>TRUE</longPathAware>', 'longPathAware'),
                (b'>SegmentHeap<', b'>SegmentHeaq<', 'heapType'),
                (b'{1f676c76-80e1-4239-95bb-83d0f6d0da78}', b'{1f676c76-80e1-4239-95bb-83d0f6d0da79}',
                 'supportedOS'),
                (b'2020/WindowsSettings', b'2019/WindowsSettings', 'heapType'),
                (b'<assembly ', b'<assembl< ', 'well-formed')):
            with self.subTest(new=new):
                self.assertOnly(self.Problems(Replace(self.data, old, new)), fragment)

    def test_version_faults(self):
        fixed = self.data.index(struct.pack('<I', 0xFEEF04BD))
        fileLs = fixed + 12
        major, minor, patch, tweak = check_exe.VERSION
        data = (self.data[:fileLs] + struct.pack('<HH', tweak + 1, patch)
                + self.data[fileLs + 4:])
        self.assertOnly(self.Problems(data),
                        'file version is %d.%d.%d.%d' % (major, minor, patch, tweak + 1))
        data = Replace(self.data, '040904B0'.encode('utf-16-le'), '040704B0'.encode('utf-16-le'))
        self.assertOnly(self.Problems(data), 'string tables')
        data = Replace(self.data, '(c) 2026'.encode('utf-16-le'), '(c) 2025'.encode('utf-16-le'))
        self.assertOnly(self.Problems(data), 'LegalCopyright is')
        translation = self.data.index('Translation\0'.encode('utf-16-le'))
        data = Replace(self.data, struct.pack('<HH', 0x409, 1200), struct.pack('<HH', 0x409, 1252),
                       translation)
        self.assertOnly(self.Problems(data), 'Translation is')

    def test_icon_faults(self):
        resources = self.image.Resources()
        group = resources[(check_exe.RT_GROUP_ICON, 1)]
        at = self.data.index(group)
        damaged = bytearray(group)
        damaged[6 + 14 * 2] = 24  # the third icon claims 24 pixels
        data = self.data[:at] + bytes(damaged) + self.data[at + len(group):]
        self.assertOnly(self.Problems(data), 'icon 3 is 16x16, expected 24x', 'icon sizes')
        damaged = bytearray(group)
        damaged[4] = 2  # the group lists two icons only
        data = self.data[:at] + bytes(damaged) + self.data[at + len(group):]
        self.assertOnly(self.Problems(data), 'icon sizes [48, 32]')


if __name__ == '__main__':
    unittest.main()
