#!/usr/bin/env python3
"""Checks the shape of shimlist.exe: a runtime-free console program that the system enters at
EntryPoint, with read-only sections only, three imported DLLs loaded from System32 alone, and its
manifest, version and icons.

Usage: check_exe.py EXE --arch i686|x86_64 --map LINKMAP
Prints one line per problem and exits with 1 when there is any, else prints a summary and exits 0.
"""
import argparse
import os
import re
import struct
import sys
import xml.etree.ElementTree as ElementTree

MACHINES = {'i686': 0x014C, 'x86_64': 0x8664}
ENTRY_SYMBOLS = {'i686': '_EntryPoint@0', 'x86_64': 'EntryPoint'}
SECTIONS = {'.text', '.rdata', '.rsrc', '.reloc'}
# clang may leave unwind tables on x86_64 for the few routines that need them.
SECTIONS_X86_64 = {'.pdata', '.xdata'}
SCN_MEM_EXECUTE, SCN_MEM_WRITE = 0x20000000, 0x80000000
SUBSYSTEM_CONSOLE = 3
DLLCHARACTERISTICS_NO_SEH = 0x0400
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x0800
# Where the load configuration holds DependentLoadFlags, a WORD, in the 32- and 64-bit layouts.
DEPENDENT_LOAD_FLAGS = {0x10B: 0x36, 0x20B: 0x4E}

IMPORTS = {
    'kernel32.dll': {'GetStdHandle', 'GetCommandLineW', 'WriteConsoleW', 'WriteFile',
                     'FlushFileBuffers', 'CloseHandle', 'LocalAlloc', 'LocalFree', 'GetLastError',
                     'SetLastError', 'FileTimeToSystemTime', 'ExitProcess'},
    'user32.dll': {'wvsprintfW'},
    'apphelp.dll': {'SdbGetDatabaseVersion', 'SdbOpenDatabase', 'SdbCloseDatabase',
                    'SdbGetFirstChild', 'SdbGetNextChild', 'SdbGetTagFromTagID', 'SdbTagToString',
                    'SdbReadWORDTag', 'SdbReadDWORDTag', 'SdbReadQWORDTag', 'SdbGetStringTagPtr',
                    'SdbGetBinaryTagData', 'SdbGetTagDataSize', 'SdbGUIDToString'},
}

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
ICON_SIZES = [48, 32, 16]
# The project's version, from the one file that holds it.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'VERSION'),
          encoding='ascii') as versionFile:
    VERSION_TEXT = versionFile.readline().strip()
VERSION = tuple(int(part) for part in VERSION_TEXT.split('.'))
# The copyright line of the licence, which the version resource repeats.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'LICENSE'),
          encoding='utf-8') as licenceFile:
    COPYRIGHT = next(line.strip() for line in licenceFile if line.startswith('Copyright'))
ASM_V1 = '{urn:schemas-microsoft-com:asm.v1}'
ASM_V3 = '{urn:schemas-microsoft-com:asm.v3}'
COMPAT = '{urn:schemas-microsoft-com:compatibility.v1}'
SETTINGS_2016 = '{http://schemas.microsoft.com/SMI/2016/WindowsSettings}'
SETTINGS_2020 = '{http://schemas.microsoft.com/SMI/2020/WindowsSettings}'
SUPPORTED_OS = {
    '{e2011457-1546-43c5-a5fe-008deee3d3f0}': 'Windows Vista',
    '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}': 'Windows 7',
    '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}': 'Windows 8',
    '{1f676c76-80e1-4239-95bb-83d0f6d0da78}': 'Windows 8.1',
    '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}': 'Windows 10',
}


class Image:
    """The parts of a PE image that the checks read."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b'MZ':
            raise ValueError('no MZ header')
        pe = struct.unpack_from('<I', data, 0x3C)[0]
        if data[pe:pe + 4] != b'PE\0\0':
            raise ValueError('no PE signature at 0x%X' % pe)
        (self.machine, sectionCount, _, _, _, optionalSize,
         self.characteristics) = struct.unpack_from('<HHIIIHH', data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from('<H', data, optional)[0]
        self.entry = struct.unpack_from('<I', data, optional + 16)[0]
        if self.magic == 0x10B:
            self.imageBase = struct.unpack_from('<I', data, optional + 28)[0]
            directories = optional + 96
        elif self.magic == 0x20B:
            self.imageBase = struct.unpack_from('<Q', data, optional + 24)[0]
            directories = optional + 112
        else:
            raise ValueError('unknown optional header magic 0x%X' % self.magic)
        self.subsystem, self.dllCharacteristics = struct.unpack_from('<HH', data, optional + 68)
        self.directories = [struct.unpack_from('<II', data, directories + 8 * i)
                            for i in range(16)]
        self.sections = []
        table = optional + optionalSize
        for i in range(sectionCount):
            name, virtualSize, rva, rawSize, rawOffset = struct.unpack_from(
                '<8sIIII', data, table + 40 * i)
            flags = struct.unpack_from('<I', data, table + 40 * i + 36)[0]
            self.sections.append((name.rstrip(b'\0').decode('ascii', 'replace'), rva,
                                  max(virtualSize, rawSize), rawOffset, rawSize, flags))

    def Offset(self, rva):
        for _, start, size, rawOffset, rawSize, _ in self.sections:
            if start <= rva < start + size and rva - start < rawSize:
                return rawOffset + rva - start
        raise ValueError('RVA 0x%X lies in no section' % rva)

    def CString(self, rva):
        offset = self.Offset(rva)
        return self.data[offset:self.data.index(b'\0', offset)].decode('ascii', 'replace')

    def Imports(self):
        """{dll name: [function names]} from the import directory."""
        rva, size = self.directories[1]
        result = {}
        if size == 0:
            return result
        thunkFormat, ordinalBit = ('<I', 1 << 31) if self.magic == 0x10B else ('<Q', 1 << 63)
        step = struct.calcsize(thunkFormat)
        descriptor = self.Offset(rva)
        while True:
            lookup, _, _, nameRva, addresses = struct.unpack_from('<IIIII', self.data, descriptor)
            if nameRva == 0:
                break
            names = []
            thunk = self.Offset(lookup or addresses)
            while True:
                value = struct.unpack_from(thunkFormat, self.data, thunk)[0]
                if value == 0:
                    break
                names.append('#%d' % (value & 0xFFFF) if value & ordinalBit
                             else self.CString(value + 2))
                thunk += step
            result[self.CString(nameRva)] = names
            descriptor += 20
        return result

    def Resources(self):
        """{(type, name): bytes} of every resource, first language only."""
        rva, size = self.directories[2]
        if size == 0:
            return {}
        base = self.Offset(rva)

        def Entries(offset):
            named, numbered = struct.unpack_from('<HH', self.data, base + offset + 12)
            for i in range(named + numbered):
                ident, target = struct.unpack_from('<II', self.data, base + offset + 16 + 8 * i)
                yield ident, target

        result = {}
        for kind, typeTarget in Entries(0):
            for name, nameTarget in Entries(typeTarget & 0x7FFFFFFF):
                for _, leaf in Entries(nameTarget & 0x7FFFFFFF):
                    dataRva, dataSize = struct.unpack_from('<II', self.data, base + leaf)
                    start = self.Offset(dataRva)
                    result[(kind, name)] = self.data[start:start + dataSize]
                    break
        return result


def EntrySymbolRva(mapText, symbol, imageBase):
    """The address of symbol in lld's link map (RVAs, or full addresses in some versions)."""
    for line in mapText.splitlines():
        fields = line.split()
        if len(fields) >= 4 and fields[-1] == symbol and re.fullmatch(r'[0-9a-fA-F]+', fields[0]):
            address = int(fields[0], 16)
            return address - imageBase if address >= imageBase else address
    return None


def CheckHeaders(image, arch, entryRva, problems):
    if image.machine != MACHINES[arch]:
        problems.append('machine is 0x%04X, expected 0x%04X for %s'
                        % (image.machine, MACHINES[arch], arch))
    if image.subsystem != SUBSYSTEM_CONSOLE:
        problems.append('subsystem is %d, expected %d (console)'
                        % (image.subsystem, SUBSYSTEM_CONSOLE))
    if entryRva is None:
        problems.append('EntryPoint not found in the link map')
    elif image.entry != entryRva:
        problems.append('entry point is at RVA 0x%X, expected EntryPoint at 0x%X'
                        % (image.entry, entryRva))
    if image.directories[9][1] != 0:
        problems.append('the image has a TLS directory, expected none')


def CheckLoadConfig(image, arch, problems):
    """The loader takes the imported DLLs from System32 only, and the 32-bit image says that it
    has no exception handlers (lld sets NO_SEH on 32-bit images only)."""
    if arch == 'i686' and not image.dllCharacteristics & DLLCHARACTERISTICS_NO_SEH:
        problems.append('DLL characteristics 0x%04X lack NO_SEH (0x%04X)'
                        % (image.dllCharacteristics, DLLCHARACTERISTICS_NO_SEH))
    rva, directorySize = image.directories[10]
    if rva == 0:
        problems.append('the image has no load configuration, expected DependentLoadFlags 0x%04X'
                        % LOAD_LIBRARY_SEARCH_SYSTEM32)
        return
    start = image.Offset(rva)
    size = struct.unpack_from('<I', image.data, start)[0]
    field = DEPENDENT_LOAD_FLAGS[image.magic]
    # lld copies Size into the directory; a loader that trusts either one reads no field beyond.
    if min(size, directorySize) < field + 2:
        problems.append('load configuration Size 0x%X (directory 0x%X) does not cover '
                        'DependentLoadFlags at 0x%X' % (size, directorySize, field))
    flags = struct.unpack_from('<H', image.data, start + field)[0]
    if flags != LOAD_LIBRARY_SEARCH_SYSTEM32:
        problems.append('DependentLoadFlags is 0x%04X, expected 0x%04X (System32 only)'
                        % (flags, LOAD_LIBRARY_SEARCH_SYSTEM32))


def CheckSections(image, arch, problems):
    allowed = SECTIONS | (SECTIONS_X86_64 if arch == 'x86_64' else set())
    for name, _, _, _, _, flags in image.sections:
        if name not in allowed:
            problems.append('section %s is present, expected only %s'
                            % (name, ', '.join(sorted(allowed))))
        if flags & SCN_MEM_WRITE:
            problems.append('section %s is writable (flags 0x%08X), expected read-only'
                            % (name, flags))
        if flags & SCN_MEM_EXECUTE and name != '.text':
            problems.append('section %s is executable (flags 0x%08X), expected only .text'
                            % (name, flags))
    names = [section[0] for section in image.sections]
    for required in ('.text', '.rdata', '.rsrc'):
        if required not in names:
            problems.append('section %s is missing' % required)


def CheckImports(image, problems):
    imports = image.Imports()
    for dll, functions in imports.items():
        known = IMPORTS.get(dll.lower())
        if known is None:
            problems.append('imports from %s (%s), expected only KERNEL32.dll, USER32.dll and '
                            'apphelp.dll' % (dll, ', '.join(functions)))
            continue
        for function in functions:
            if function not in known:
                problems.append('imports %s from %s, which is not among the functions used'
                                % (function, dll))
    for dll in IMPORTS:
        if dll not in (name.lower() for name in imports):
            problems.append('imports nothing from %s' % dll)
    return imports


def CheckManifest(text, problems):
    try:
        root = ElementTree.fromstring(text)
    except ElementTree.ParseError as error:
        problems.append('manifest is not well-formed XML: %s' % error)
        return

    def Expect(what, found, expected):
        if found != expected:
            problems.append('manifest %s is %r, expected %r' % (what, found, expected))

    Expect('root element', root.tag, ASM_V1 + 'assembly')
    identity = root.find(ASM_V1 + 'assemblyIdentity')
    if identity is None:
        problems.append('manifest has no assemblyIdentity')
    else:
        Expect('identity type', identity.get('type'), 'win32')
        Expect('identity processorArchitecture', identity.get('processorArchitecture'), '*')
        Expect('identity version', identity.get('version'), VERSION_TEXT)
        if not identity.get('name'):
            problems.append('manifest identity has no name')
    level = root.find('%strustInfo/%ssecurity/%srequestedPrivileges/%srequestedExecutionLevel'
                      % (ASM_V3, ASM_V3, ASM_V3, ASM_V3))
    if level is None:
        problems.append('manifest has no requestedExecutionLevel')
    else:
        Expect('execution level', level.get('level'), 'asInvoker')
        Expect('uiAccess', level.get('uiAccess'), 'false')
    settings = '%sapplication/%swindowsSettings/' % (ASM_V3, ASM_V3)
    longPath = root.find(settings + SETTINGS_2016 + 'longPathAware')
    Expect('longPathAware', None if longPath is None else longPath.text, 'true')
    heap = root.find(settings + SETTINGS_2020 + 'heapType')
    Expect('heapType', None if heap is None else heap.text, 'SegmentHeap')
    systems = [system.get('Id', '').lower()
               for system in root.findall('%scompatibility/%sapplication/%ssupportedOS'
                                      % (COMPAT, COMPAT, COMPAT))]
    Expect('supportedOS ids', sorted(systems), sorted(SUPPORTED_OS))


def CheckVersion(data, problems):
    signature = data.find(struct.pack('<I', 0xFEEF04BD))
    if signature < 0:
        problems.append('version resource has no fixed file information')
        return
    fileMs, fileLs, productMs, productLs = struct.unpack_from('<IIII', data, signature + 8)
    for what, ms, ls in (('file', fileMs, fileLs), ('product', productMs, productLs)):
        found = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        if found != VERSION:
            problems.append('%s version is %s, expected %s' % (
                what, '.'.join(map(str, found)), '.'.join(map(str, VERSION))))
    tables = re.findall(rb'((?:[0-9A-Fa-f]\0){8})\0\0', data)
    tables = [table.decode('utf-16-le') for table in tables]
    if tables != ['040904B0'] and tables != ['040904b0']:
        problems.append('string tables %s, expected exactly one, 040904B0' % tables)
    key = 'LegalCopyright\0'.encode('utf-16-le')
    at = data.find(key)
    if at < 0:
        problems.append('version resource has no LegalCopyright')
    else:
        start = (at + len(key) + 3) & ~3
        end = data.find(b'\0\0', start)
        while end >= 0 and (end - start) % 2:
            end = data.find(b'\0\0', end + 1)
        found = data[start:end].decode('utf-16-le', 'replace')
        if found != COPYRIGHT:
            problems.append('LegalCopyright is %r, expected %r as in LICENSE' % (found, COPYRIGHT))
    translation = data.find('Translation\0'.encode('utf-16-le'))
    if translation < 0:
        problems.append('version resource has no Translation value')
    else:
        value = (translation + len('Translation\0') * 2 + 3) & ~3
        found = struct.unpack_from('<HH', data, value)
        if found != (0x409, 1200):
            problems.append('Translation is 0x%X, %d; expected 0x409, 1200' % found)


def CheckIcons(resources, problems):
    groups = [data for (kind, _), data in resources.items() if kind == RT_GROUP_ICON]
    icons = {name: data for (kind, name), data in resources.items() if kind == RT_ICON}
    if len(groups) != 1:
        problems.append('%d icon groups, expected 1' % len(groups))
        return
    group = groups[0]
    count = struct.unpack_from('<H', group, 4)[0]
    sizes = []
    for i in range(count):
        width, height, _, _, _, _, _, ident = struct.unpack_from('<BBBBHHIH', group, 6 + 14 * i)
        sizes.append(width or 256)
        image = icons.get(ident)
        if image is None:
            problems.append('icon group names icon %d, which is missing' % ident)
            continue
        dibWidth, dibHeight = struct.unpack_from('<ii', image, 4)
        if (dibWidth, dibHeight) != (width or 256, 2 * (height or 256)):
            problems.append('icon %d is %dx%d, expected %dx%d as the group says' % (
                ident, dibWidth, dibHeight // 2, width, height))
    if sizes != ICON_SIZES:
        problems.append('icon sizes %s, expected %s' % (sizes, ICON_SIZES))
    if len(icons) != len(ICON_SIZES):
        problems.append('%d icons, expected %d' % (len(icons), len(ICON_SIZES)))


def CheckResources(image, problems):
    resources = image.Resources()
    manifest = resources.get((RT_MANIFEST, 1))
    if manifest is None:
        problems.append('no manifest (type 24, name 1)')
    else:
        CheckManifest(manifest, problems)
    version = resources.get((RT_VERSION, 1))
    if version is None:
        problems.append('no version resource (type 16, name 1)')
    else:
        CheckVersion(version, problems)
    CheckIcons(resources, problems)


def CheckImage(data, arch, mapText):
    """Returns the list of problems found in the image."""
    problems = []
    try:
        image = Image(data)
        entryRva = EntrySymbolRva(mapText, ENTRY_SYMBOLS[arch], image.imageBase)
        CheckHeaders(image, arch, entryRva, problems)
        CheckSections(image, arch, problems)
        CheckLoadConfig(image, arch, problems)
        CheckImports(image, problems)
        CheckResources(image, problems)
    except (ValueError, struct.error, IndexError) as error:
        problems.append('the image cannot be read: %s' % error)
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('exe')
    parser.add_argument('--arch', choices=sorted(MACHINES), required=True)
    parser.add_argument('--map', required=True, help="the link map written by lld's -Map")
    arguments = parser.parse_args()
    with open(arguments.exe, 'rb') as exe:
        data = exe.read()
    with open(arguments.map, encoding='utf-8', errors='replace') as linkMap:
        mapText = linkMap.read()
    problems = CheckImage(data, arguments.arch, mapText)
    for problem in problems:
        print('%s: %s' % (arguments.exe, problem))
    if problems:
        return 1
    image = Image(data)
    print('%s: %s console image, entry at RVA 0x%X, sections %s, imports %s' % (
        arguments.exe, arguments.arch, image.entry,
        ' '.join(section[0] for section in image.sections),
        ', '.join(sorted(image.Imports()))))
    return 0


if __name__ == '__main__':
    sys.exit(main())
