#!/usr/bin/env python3
"""Generates benchmark shim databases shaped like the platform's system database (sysmain.sdb).

Usage: python3 gen_bench_db.py TAGS OUT.sdb [--source OUT.sdbtxt]

The database holds about TAGS tags: an INDEXES list with two large and many empty INDEX_BITS,
a DATABASE with a LIBRARY of shims, flags and patches, layers and executables (EXE lists with
MATCHING_FILE children of DWORD, QWORD, STRINGREF and GUID items), and a large string table.
Everything grows with TAGS in the same proportions, so that the time per tag of a listing can
be compared across sizes; at about 320,000 tags the index blobs are about 80,000 bytes, as in
the real file. The output is the same for the same TAGS on every run (fixed random seed).

The source text is written in the database writer's format and compiled by the writer itself.
"""

import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sdbwriter"))
import sdbwrite  # noqa: E402

# Shape of the real file: tags per executable entry, and the share of the other parts.
SHIMS_PER_10K_TAGS = 4
FLAGS_PER_10K_TAGS = 1
LAYERS_PER_10K_TAGS = 1
PATCHES_PER_100K_TAGS = 6
EMPTY_INDEXES = 26
LONG_STRING_CHARS = 15825  # the longest string of the real file

EXTENSIONS = ("exe", "dll", "ocx", "sys", "cpl", "scr")
WORDS = ("Setup", "Update", "Player", "Studio", "Manager", "Viewer", "Editor", "Client",
         "Server", "Launcher", "Helper", "Service", "Installer", "Tools", "Office", "Game",
         "Reader", "Writer", "Monitor", "Backup", "Agent", "Center", "Suite", "Designer")
SHIM_WORDS = ("Correct", "File", "Paths", "Version", "Lie", "Ignore", "Free", "Library",
              "Force", "Admin", "Emulate", "Heap", "Handle", "Invalid", "Redirect", "Registry",
              "Disable", "Themes", "Virtualize", "Delay", "Load", "Win", "XP", "SP3")
MODULES = ("kernel32.dll", "user32.dll", "ntdll.dll", "", "gdi32.dll", "advapi32.dll")


class Source:
    """The source lines and the count of the tags they make."""

    def __init__(self):
        self.lines = []
        self.tags = 0
        self.strings = set()

    def item(self, indent, text):
        self.lines.append("    " * indent + text)
        self.tags += 1

    def text(self, indent, tag, value):
        self.strings.add(value)
        self.item(indent, '%s "%s"' % (tag, value.replace("\\", "\\\\").replace('"', '\\"')))

    def close(self, indent):
        self.lines.append("    " * indent + "}")


def version(rng):
    return "0x%04X%04X%04X%04X" % (rng.randint(1, 20), rng.randint(0, 99), rng.randint(0, 30000),
                                   rng.randint(0, 30000))


def guid(rng):
    return "%08x-%04x-%04x-%04x-%012x" % (rng.getrandbits(32), rng.getrandbits(16),
                                          rng.getrandbits(16), rng.getrandbits(16),
                                          rng.getrandbits(48))


def shim_name(rng):
    return "".join(rng.choice(SHIM_WORDS) for _ in range(rng.randint(2, 4)))


def library(src, rng, tags, shims):
    """LIBRARY: shims with descriptions, flags with masks, patches with patch records."""
    src.item(1, "LIBRARY {")
    for index in range(len(shims)):
        src.item(2, "SHIM label=s%d {" % index)
        src.text(3, "NAME", shims[index])
        src.text(3, "DLLFILE", "AcGeneral.dll" if index % 3 else "AcLayers.dll")
        description = "Shim %d: %s. " % (index, shims[index]) * rng.randint(2, 8)
        if index == 0:
            # One text far beyond the formatter's 1024 characters, as the real file has.
            description = ("%s " % shims[0] * LONG_STRING_CHARS)[:LONG_STRING_CHARS]
        src.text(3, "DESCRIPTION", description)
        if index % 5 == 0:
            src.item(3, "FIX_ID guid %s" % guid(rng))
        src.close(2)
    for index in range(max(1, tags * FLAGS_PER_10K_TAGS // 10000)):
        src.item(2, "FLAG {")
        src.text(3, "NAME", "Flag%s%d" % (rng.choice(WORDS), index))
        src.item(3, "FLAG_MASK_KERNEL 0x%016X" % rng.getrandbits(63))
        src.item(3, "FLAG_MASK_USER 0x%016X" % rng.getrandbits(63))
        src.close(2)
    for index in range(max(1, tags * PATCHES_PER_100K_TAGS // 100000)):
        src.item(2, "PATCH label=p%d {" % index)
        src.text(3, "NAME", "Patch%s%d" % (rng.choice(WORDS), index))
        src.item(3, "PATCH_BITS patch {")
        for _ in range(rng.randint(5, 15)):
            pattern = " ".join("%02X" % rng.getrandbits(8) for _ in range(rng.randint(1, 43)))
            src.lines.append("    " * 4 + "%s module \"%s\" rva 0x%X unknown %d pattern %s" % (
                rng.choice(("match", "replace")), rng.choice(MODULES), rng.getrandbits(20),
                rng.getrandbits(3), pattern))
        src.lines.append("    " * 4 + "end")
        src.close(3)
        src.close(2)
    src.close(1)


def layers(src, rng, tags, shims):
    for index in range(max(1, tags * LAYERS_PER_10K_TAGS // 10000)):
        src.item(1, "LAYER label=l%d {" % index)
        src.text(2, "NAME", "Layer%s%d" % (rng.choice(WORDS), index))
        for _ in range(rng.randint(2, 8)):
            shim = rng.randrange(len(shims))
            src.item(2, "SHIM_REF {")
            src.text(3, "NAME", shims[shim])
            src.item(3, "SHIM_TAGID @s%d" % shim)
            src.close(2)
        src.close(1)


def matching_file(src, rng, name, vendor, product):
    """One MATCHING_FILE: a file the executable's folder must hold, with its attributes."""
    src.item(2, "MATCHING_FILE {")
    src.text(3, "NAME", name)
    for attribute in rng.sample(("SIZE", "CHECKSUM", "PE_CHECKSUM", "LINK_DATE", "MODULE_TYPE",
                                 "VERFILEOS", "VERFILETYPE", "VER_LANGUAGE", "LINKER_VERSION"),
                                rng.randint(2, 7)):
        value = rng.getrandbits(31) if attribute != "LINK_DATE" else rng.randint(700000000, 1700000000)
        src.item(3, "%s 0x%X" % (attribute, value))
    for attribute in rng.sample(("BIN_FILE_VERSION", "BIN_PRODUCT_VERSION",
                                 "UPTO_BIN_PRODUCT_VERSION", "UPTO_BIN_FILE_VERSION"),
                                rng.randint(0, 2)):
        src.item(3, "%s %s" % (attribute, version(rng)))
    if rng.random() < 0.5:
        src.text(3, "COMPANY_NAME", vendor)
        src.text(3, "PRODUCT_NAME", product)
    if rng.random() < 0.3:
        src.text(3, "FILE_VERSION", "%d.%d.%d" % (rng.randint(1, 12), rng.randint(0, 9),
                                                   rng.randint(0, 9999)))
    src.close(2)


def executable(src, rng, index, shims, patches, vendors):
    vendor = rng.choice(vendors)
    product = "%s %s %d" % (vendor.split()[0], rng.choice(WORDS), rng.randint(1, 2000))
    name = "%s%d.%s" % (rng.choice(WORDS).lower(), index, rng.choice(EXTENSIONS[:2]))
    src.item(1, "EXE label=e%d {" % index)
    src.text(2, "NAME", name)
    src.text(2, "APP_NAME", product)
    src.text(2, "VENDOR", vendor)
    src.item(2, "EXE_ID guid %s" % guid(rng))
    if rng.random() < 0.4:
        src.item(2, "RUNTIME_PLATFORM 0x%X" % rng.choice((4, 37, 0x25)))
    if rng.random() < 0.2:
        src.text(2, "0x6036", "RS%d" % rng.randint(1, 5))
    matching_file(src, rng, "*", vendor, product)
    for _ in range(rng.randint(1, 4)):
        # Paths inside the product's folder, mostly different from one product to the next.
        other = "%s\\%s\\%s%d.%s" % (vendor.split()[0], rng.choice(WORDS),
                                     rng.choice(WORDS).lower(), rng.randint(1, 999),
                                     rng.choice(EXTENSIONS))
        matching_file(src, rng, other, vendor, product)
    for _ in range(rng.randint(1, 2)):
        shim = rng.randrange(len(shims))
        src.item(2, "SHIM_REF {")
        src.text(3, "NAME", shims[shim])
        src.item(3, "SHIM_TAGID @s%d" % shim)
        src.close(2)
    if patches and rng.random() < 0.01:
        patch = rng.randrange(patches)
        src.item(2, "PATCH_REF {")
        src.item(3, "PATCH_TAGID @p%d" % patch)
        src.close(2)
    src.close(1)
    return name


def indexes(src, exe_names, shims):
    """INDEXES first, as the platform's compiler writes them: EXE by NAME and by a 64-bit key,
    SHIM by NAME, and the many empty indexes of the real file."""
    src.item(0, "INDEXES {")

    def index(tag, key, entries):
        src.item(1, "INDEX {")
        src.item(2, "INDEX_TAG 0x%04X" % tag)
        src.item(2, "INDEX_KEY 0x%04X" % key)
        src.item(2, "INDEX_FLAGS 1")
        src.item(2, "INDEX_BITS index {" if entries else "INDEX_BITS index { }")
        if entries:
            src.lines.extend("    " * 3 + entry for entry in entries)
            src.close(2)
        src.close(1)

    index(0x7007, 0x6001, ['"%s" @e%d' % (name, i) for i, name in enumerate(exe_names)])
    index(0x7007, 0x9004, ["0x%016X @e%d" % ((i * 0x9E3779B97F4A7C15) & (2**64 - 1), i)
                           for i in range(len(exe_names))])
    index(0x7004, 0x6001, ['"%s" @s%d' % (name, i) for i, name in enumerate(shims)])
    for number in range(EMPTY_INDEXES):
        index(0x7000 + 0x20 + number, 0x6001, [])
    src.close(0)


def generate(tags):
    """Source text of a database of about `tags` tags, and its exact tag count."""
    rng = random.Random(tags)
    shims = ["%s%d" % (shim_name(rng), i) for i in range(max(3, tags * SHIMS_PER_10K_TAGS // 10000))]
    vendors = ["%s %s" % (rng.choice(WORDS), rng.choice(("Corp", "Inc.", "Ltd", "GmbH", "Software")))
               for _ in range(max(10, tags // 600))]
    patches = max(1, tags * PATCHES_PER_100K_TAGS // 100000)

    body = Source()
    body.item(0, "DATABASE {")
    body.item(1, "TIME 0x01D1D7E3F1A8C000")
    body.text(1, "COMPILER_VERSION", "3.0.0.16")
    body.text(1, "NAME", "Microsoft Windows Application Compatibility Fix Database")
    body.item(1, "DATABASE_ID guid 11111111-1111-1111-1111-111111111111")
    library(body, rng, tags, shims)
    layers(body, rng, tags, shims)
    # Executables until the tags reach the target; the index entries and the string table
    # grow with them and are part of the count.
    exe_names = []
    index_tags = 1 + (3 + EMPTY_INDEXES) * 5
    while body.tags + index_tags + 1 + len(body.strings) < tags:
        exe_names.append(executable(body, rng, len(exe_names), shims, patches, vendors))
    body.close(0)

    head = Source()
    head.lines.append("# Benchmark database of about %d tags, made by bench/gen_bench_db.py" % tags)
    head.lines.append("version 3 0")
    indexes(head, exe_names, shims)
    total = head.tags + body.tags + 1 + len(body.strings)
    return "\n".join(head.lines + body.lines) + "\n", total


def main(argv):
    args = argv[1:]
    source_path = None
    if "--source" in args:
        at = args.index("--source")
        source_path = args[at + 1]
        del args[at:at + 2]
    if len(args) != 2:
        sys.stderr.write("usage: gen_bench_db.py TAGS OUT.sdb [--source OUT.sdbtxt]\n")
        return 2
    text, total = generate(int(args[0]))
    if source_path:
        with open(source_path, "w", encoding="utf-8") as f:
            f.write(text)
    data = sdbwrite.compile_source(text)
    tmp = args[1] + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, args[1])
    print("%s: %d tags, %d bytes" % (args[1], total, len(data)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
