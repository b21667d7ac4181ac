# Independent reference lister: reads a well-formed .sdb file byte by byte and gives the listing expected of shimlist.
"""Expected listings for the end-to-end tests, computed straight from the database bytes.

This reader shares nothing with the stand-in library or with shimlist: it walks the file by the
format's own rules (items, sizes, pad bytes, string table) and renders every line by the
listing rules, with its own calendar arithmetic. It handles the nine defined tag types only.
"""

import os
import struct

INDENT_RUN = 10
GUID_TAGS = {0x9004, 0x9006, 0x9007, 0x9008, 0x9009, 0x9010, 0x9011}
VERSION_TAGS = {0x5002, 0x5003, 0x5006, 0x500D}
DAY_NAMES = ["Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"]
FIXED_SIZES = {0x1000: 0, 0x2000: 1, 0x3000: 2, 0x4000: 4, 0x5000: 8, 0x6000: 4}


def tag_names():
    path = os.environ.get("SHIMLIST_TAG_NAMES") or os.path.join(
        os.environ.get("SHIMLIST_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", "..")),
        "standin", "sdb-tag-names.tsv")
    names = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            value, name = line.rstrip("\n").split("\t")[:2]
            names[int(value, 16)] = name
    return names


def civil_from_file_time(file_time):
    """(weekday, year, month, day, hour, minute, second, millisecond) of a file time."""
    days, rest = divmod(file_time, 864000000000)
    weekday = (1 + days) % 7  # 1601-01-01 was a Monday
    cycles, days = divmod(days, 146097)  # 1601 starts a 400-year cycle
    centuries = min(days // 36524, 3)
    days -= centuries * 36524
    quads, days = divmod(days, 1461)
    years = min(days // 365, 3)
    days -= years * 365
    year = 1601 + 400 * cycles + 100 * centuries + 4 * quads + years
    leap = year % 4 == 0 and (year % 100 != 0 or year % 400 == 0)
    month = 1
    for length in (31, 29 if leap else 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31):
        if days < length:
            break
        days -= length
        month += 1
    hour, rest = divmod(rest, 36000000000)
    minute, rest = divmod(rest, 600000000)
    second, rest = divmod(rest, 10000000)
    return weekday, year, month, days + 1, hour, minute, second, rest // 10000


def time_text(file_time):
    if file_time >= 1 << 63:
        return None  # the platform refuses these
    w, y, mo, d, h, mi, s, ms = civil_from_file_time(file_time)
    return ": %s, %04d-%02d-%02d %02d:%02d:%02d.%03d UTC\r\n" % (DAY_NAMES[w], y, mo, d, h, mi, s, ms)


# What a text from the database (or the path) is shown as: C0 controls but TAB as their
# control pictures, DEL as U+2421, the C1 controls but NEL as U+FFFD (counted as controls), NEL,
# LINE SEPARATOR and PARAGRAPH SEPARATOR as the characters below, and an unpaired surrogate as
# U+FFFD. Each replaced character is counted by kind.
LINE_SEPARATORS = {"\u0085": "\u2424", "\u2028": "\u21b5", "\u2029": "\u00b6"}


def shown_text(text, counts=None):
    """text as the listing shows it; counts (a dict with 'controls', 'separators',
    'surrogates') is added to."""
    counts = counts if counts is not None else {}
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        code = ord(c)
        if 0xD800 <= code <= 0xDBFF and i + 1 < len(text) and 0xDC00 <= ord(text[i + 1]) <= 0xDFFF:
            out.append(text[i:i + 2])
            i += 2
            continue
        if (code < 0x20 and c != "\t") or code == 0x7F:
            out.append(chr(0x2400 + code) if code < 0x20 else "\u2421")
            counts["controls"] = counts.get("controls", 0) + 1
        elif c in LINE_SEPARATORS:
            out.append(LINE_SEPARATORS[c])
            counts["separators"] = counts.get("separators", 0) + 1
        elif 0x80 <= code <= 0x9F:
            out.append("\ufffd")
            counts["controls"] = counts.get("controls", 0) + 1
        elif 0xD800 <= code <= 0xDFFF:
            out.append("\ufffd")
            counts["surrogates"] = counts.get("surrogates", 0) + 1
        else:
            out.append(c)
        i += 1
    return "".join(out)


def replacement_note(subject, counts):
    """The console line for a text shown with replacements, or None when it needed none."""
    if not any(counts.values()):
        return None
    return "%s shown with replacements: control characters %d, line separators %d, unpaired " \
           "surrogates %d" % (subject, counts.get("controls", 0), counts.get("separators", 0),
                              counts.get("surrogates", 0))


def add_counts(total, counts):
    """Adds the counts of one text (or tag) to total, both dicts as shown_text fills them."""
    for kind, number in counts.items():
        total[kind] = total.get(kind, 0) + number


def total_note(tags, counts):
    """The console line after the walk when more than one tag needed replacements, else None;
    counts are summed over all those tags, the first included."""
    if tags < 2:
        return None
    return "Texts of %d tags shown with replacements in all: control characters %d, line " \
           "separators %d, unpaired surrogates %d" % (tags, counts.get("controls", 0),
                                                      counts.get("separators", 0),
                                                      counts.get("surrogates", 0))


def hex_pairs(data):
    return "".join("%02X" % b for b in data)


def patch_lines(data, indent, counts=None):
    out = [":\r\n"]
    offset = 0
    fault = False
    while offset < len(data):
        left = len(data) - offset
        if left < 8:
            fault = True
            break
        action, size = struct.unpack_from("<II", data, offset)
        if action == 0 and size == 0:
            break
        if size == 0 or left < 84 or size < 84 or size > left:
            fault = True
            break
        length, rva, unknown = struct.unpack_from("<III", data, offset + 8)
        if length > size - 84:
            fault = True
            break
        if action in (2, 4):
            module = data[offset + 20:offset + 84].decode("utf-16-le", "surrogatepass")
            module = shown_text(module.split("\0")[0], counts)
            pattern = data[offset + 84:offset + 84 + length]
            out.append("%s Action  = %d (%s)\r\n" % (indent, action, "REPLACE" if action == 2 else "MATCH"))
            out.append("%s Module  = %s\r\n" % (indent, module))
            out.append("%s RVA     = 0x%08X\r\n" % (indent, rva))
            out.append("%s Length  = %d\r\n" % (indent, length))
            out.append("%s Pattern = 0x%s\r\n" % (indent, hex_pairs(pattern)))
            out.append("%s Unknown = 0x%08X\r\n" % (indent, unknown))
        offset += size
    if fault:
        out.append("%s Rest    = 0x%s\r\n" % (indent, hex_pairs(data[offset:])))
    return "".join(out)


class Reader:
    def __init__(self, data):
        self.data = data
        self.major = struct.unpack_from("<I", data, 0)[0]
        self.names = tag_names()
        self.string_table = None
        # Tags whose texts needed replacements so far, and their counts: only the first is
        # named on the console, the others go into the total after the walk.
        self.replaced_tags = 0
        self.replaced = {}
        for tagid in self.children(12, len(data)):
            if self.tag(tagid) == 0x7801:
                self.string_table = tagid

    def tag(self, tagid):
        return struct.unpack_from("<H", self.data, tagid)[0]

    def extent(self, tagid):
        """(header length, data length) of the item at tagid."""
        kind = self.tag(tagid) & 0xF000
        if kind in FIXED_SIZES:
            return 2, FIXED_SIZES[kind]
        if kind in (0x7000, 0x8000, 0x9000):
            return 6, struct.unpack_from("<I", self.data, tagid + 2)[0]
        raise ValueError("undefined tag type at 0x%X" % tagid)

    def children(self, start, end):
        position = start
        while position + 2 <= min(end, len(self.data)):
            yield position
            header, size = self.extent(position)
            position += header + size
            if self.major >= 2 and position % 2:
                position += 1

    def value(self, tagid, size):
        return int.from_bytes(self.data[tagid + 2:tagid + 2 + size], "little")

    def text_at(self, item):
        size = struct.unpack_from("<I", self.data, item + 2)[0]
        return self.data[item + 6:item + 6 + size].decode("utf-16-le", "surrogatepass").split("\0")[0]

    def line(self, tagid, level):
        tag = self.tag(tagid)
        kind = tag & 0xF000
        counts = {}
        head = "0x%08X%s0x%04X = %s" % (tagid, "\t" * min(level + 1, INDENT_RUN), tag,
                                        shown_text(self.names.get(tag, "InvalidTag"), counts))
        header, size = self.extent(tagid)
        console = []
        if kind in (0x1000, 0x7000):
            rest = "\r\n"
        elif kind == 0x3000:
            v = self.value(tagid, 2)
            rest = "\r\n" if v == 0xFFFF else ": 0x%04X\r\n" % v
        elif kind == 0x4000:
            v = self.value(tagid, 4)
            if v == 0xFFFFFFFF:
                rest = "\r\n"
            elif tag in (0x401D, 0x401E):
                rest = time_text(v * 10000000 + 116444736000000000)
            else:
                rest = ": 0x%08X\r\n" % v
        elif kind == 0x5000:
            v = self.value(tagid, 8)
            if v == (1 << 64) - 1:
                rest = "\r\n"
            elif tag == 0x5001:
                rest = time_text(v)
                if rest is None:
                    console.append("FileTimeToSystemTime")
                    rest = ": 0x%016X\r\n" % v
            elif tag in VERSION_TAGS:
                rest = ": %d.%d.%d.%d\r\n" % (v >> 48, (v >> 32) & 0xFFFF, (v >> 16) & 0xFFFF, v & 0xFFFF)
            else:
                rest = ": 0x%016X\r\n" % v
        elif kind == 0x6000:
            if self.string_table is None:
                rest = "\r\n"
            else:
                rest = ": %s\r\n" % shown_text(
                    self.text_at(self.string_table + self.value(tagid, 4)), counts)
        elif kind == 0x8000:
            rest = ": %s\r\n" % shown_text(self.text_at(tagid), counts)
        else:
            data = self.data[tagid + header:tagid + header + size]
            if tag == 0x9002:
                rest = patch_lines(data, "\t" * min(level + 3, INDENT_RUN), counts)
            elif tag in GUID_TAGS and size == 16:
                d1, d2, d3 = struct.unpack_from("<IHH", data, 0)
                rest = ": {%08x-%04x-%04x-%s-%s}\r\n" % (d1, d2, d3, data[8:10].hex(), data[10:16].hex())
            elif size:
                rest = ": 0x%s\r\n" % hex_pairs(data)
            else:
                rest = "\r\n"
        note = replacement_note("Text of TAGID 0x%08X" % tagid, counts)
        if note:
            if not self.replaced_tags:
                console.append(note)
            self.replaced_tags += 1
            add_counts(self.replaced, counts)
        return head + rest, console

    def listing(self, start, end, level, out, console):
        for tagid in self.children(start, end):
            text, notes = self.line(tagid, level)
            out.append(text)
            console.extend(notes)
            if self.tag(tagid) & 0xF000 == 0x7000:
                _, size = self.extent(tagid)
                self.listing(tagid + 6, tagid + 6 + size, level + 1, out, console)


def expected_listing(data):
    """(listing text after the header, console notes: the names of the conversions expected
    to fail and the line for the first tag whose texts needed replacements, in listing order,
    then the total line for all such tags when there were several)."""
    reader = Reader(data)
    out, console = [], []
    reader.listing(12, len(data), 0, out, console)
    total = total_note(reader.replaced_tags, reader.replaced)
    if total:
        console.append(total)
    return "".join(out), console


def expected_header(path, major, minor):
    return ("\ufeffShim database file:\t%s\r\nShim database version:\t%d.%d\r\n\r\n"
            "TAGID\t\tTAG    = TAGSTRING: TAGVALUE\r\n\r\n" % (shown_text(path), major, minor))


def path_note(path):
    """The console line for a path shown with replacements, or None."""
    counts = {}
    shown_text(path, counts)
    return replacement_note("Path of the database", counts)
