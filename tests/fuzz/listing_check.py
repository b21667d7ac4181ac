# Checks that a shimlist run is sound: a well-formed listing, a console that agrees with it, an honest exit code.
"""Judges one run of shimlist.exe on a database file, without a reference listing.

    problems = check_run(db_bytes, path_arg, exit_code, listing, console)

Returns a list of (category, detail) pairs; empty when the run is sound. The checks:

- The listing is valid UTF-16 (a strict decoder, like iconv, takes it whole), starts with FF FE
  and the header naming the path and the file's version, and ends every line with CR LF.
- Every line is a tag line (`0x%08X`, one tab per level plus one, `0x%04X = name`, a value
  part that fits the tag's type), a patch record line or a header line, whatever the database
  holds: no line holds a control character (C0, DEL, C1) other than TAB, nor U+2028 or U+2029.
- TAGIDs rise strictly and lie inside the file; names are the library's; nesting grows by at
  most one level per list; numbers, byte data, texts and patch records shown equal the file's
  bytes at the item, texts with the listing's replacements (reference_listing.shown_text).
- The console holds only known messages; its "Undefined TAG_TYPE" lines name exactly the tags
  that the listing shows with an undefined type, and its replacement lines the path and the
  first tag whose texts needed replacements, with their counts, and, when several tags did, the
  total of them all.
- Exit code 0 only for a complete listing with no failure on the console; any other exit code
  comes with a diagnostic; a crash code (0xC0000000 and up) is always a fault, among them
  the illegal instruction (0xC000001D) of a failed check in the checked build.
- The native command's own word on a run (damage=, stopped=: the text of its lines after
  "shimlist: ", as the harness takes them off the console): the first damage that the library
  found at open, whose figures must be those of the file's bytes, and a listing stopped at its
  bound, which must hold exactly the bytes the line names. When the program itself gave 0, the
  exit code is then 38 for a database cut short, 1392 for a damaged one, 1816 for a stopped
  listing; a code of the program's own stays. engines_agree() says when a native run and the
  Windows program's, which knows nothing of either, agree.
"""

import os
import re
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "listing"))
# Tag value -> name, as the library answers; other values are "InvalidTag".
from reference_listing import tag_names as load_tag_names  # noqa: E402
from reference_listing import patch_lines, path_note, shown_text, total_note  # noqa: E402

HEADER_FORMAT = ("\ufeffShim database file:\t%s\r\nShim database version:\t%d.%d\r\n\r\n"
                 "TAGID\t\tTAG    = TAGSTRING: TAGVALUE\r\n\r\n")

TAG_LINE_RE = re.compile(r"0x([0-9A-F]{8})(\t{1,10})0x([0-9A-F]{4}) = (.*)\Z", re.S)
RECORD_LINE_RE = re.compile(
    r"(\t{1,10}) (Action  = (\d+) \((REPLACE|MATCH)\)|Module  = (.*)|RVA     = 0x[0-9A-F]{8}"
    r"|Length  = (\d+)|Pattern = 0x((?:[0-9A-F]{2})*)|Unknown = 0x[0-9A-F]{8}"
    r"|Rest    = 0x((?:[0-9A-F]{2})*))\Z", re.S)
HEX_RE = re.compile(r": 0x((?:[0-9A-F]{2})+)\Z")
TIME_RE = re.compile(r": (Sun|Mon|Tues|Wednes|Thurs|Fri|Satur)day, \d{4,5}-\d\d-\d\d "
                     r"\d\d:\d\d:\d\d\.\d{3} UTC\Z")
VERSION_RE = re.compile(r": (\d+)\.(\d+)\.(\d+)\.(\d+)\Z")
GUID_RE = re.compile(r": \{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\}\Z")

# Characters that no listing line may hold: each is shown by a replacement.
UNREPLACED_RE = re.compile("[\x00-\x08\x0a-\x1f\x7f-\x9f\u2028\u2029]")

TIME_DWORD_TAGS = (0x401D, 0x401E)
VERSION_TAGS = (0x5002, 0x5003, 0x5006, 0x500D)
GUID_TAGS = (0x9004, 0x9006, 0x9007, 0x9008, 0x9009, 0x9010, 0x9011)
PATCH_BITS = 0x9002
RECORD_ORDER = ("Action", "Module", "RVA", "Length", "Pattern", "Unknown")

# The native command's lines on the database, after "shimlist: ": (kind, cut short, pattern).
# Figures are grouped by commas; one byte is "1 byte".
_AT = r"0x(?P<tagid>[0-9A-F]{8})"
_FIGURE = r"(?P<count>\d{1,3}(?:,\d{3})*) (?P<unit>bytes?)"
DAMAGE_PATTERNS = (
    ("tag-past-file-end", True, re.compile(
        r"the database is cut short: the tag at %s needs %s past the end of the file\Z"
        % (_AT, _FIGURE))),
    ("data-past-file-end", True, re.compile(
        r"the database is cut short: the data of the tag at %s needs %s past the end of the "
        r"file\Z" % (_AT, _FIGURE))),
    ("tag-past-list-end", False, re.compile(
        r"the database is damaged: the tag at %s runs %s past the end of its list, at "
        r"0x(?P<end>[0-9A-F]{8})\Z" % (_AT, _FIGURE))),
    ("bytes-after-tags", False, re.compile(
        r"the database is damaged: %s at %s, after its last tag, (?P<verb>is|are) no tag\Z"
        % (_FIGURE, _AT))),
    ("stringref-outside", False, re.compile(
        r"the database is damaged: the string reference at %s \(0x(?P<reference>[0-9A-F]{8})\) "
        r"names no item of its string table\Z" % _AT)),
)
STOPPED_RE = re.compile(r"the listing was stopped after (\d+) bytes, the most this database may "
                        r"give \(counted as UTF-16; --max-growth sets the factor\)\Z")
CUT_SHORT, DAMAGED, STOPPED = 38, 1392, 1816
# The least a listing may hold before the bound stops it: the bound's fixed part.
BOUND_FIXED = 16 << 20

# Console messages. Informational ones leave a complete listing; every other known message
# marks a failure, after which exit code 0 would hide the failure.
CONSOLE_PATTERNS = (
    ("version", False, re.compile(r"Shim database version: (\d+)\.(\d+)\Z")),
    ("undefined", False, re.compile(r"Undefined TAG_TYPE 0x([0-9A-F]{4}) for TAGID 0x([0-9A-F]{8})\Z")),
    ("open", True, re.compile(r"SdbOpenDatabase\(\) returned NULL for file '(.*)'\Z", re.S)),
    ("write-level", True, re.compile(r"WriteFile\(\) returned error (\d+) for level (\d+)\Z")),
    ("time", True, re.compile(r"FileTimeToSystemTime\(\) returned error (\d+)\Z")),
    ("returned-error", True, re.compile(r"(\w+)\(\) returned error (\d+)(: .*)?\Z")),
    ("nesting", True, re.compile(r"Lists nest deeper than (\d+) levels: the children of TAGID "
                                 r"0x([0-9A-F]{8}) are not listed\Z")),
    ("patch", True, re.compile(r"Patch record at offset (\d+) of the data of TAGID 0x([0-9A-F]{8}) "
                               r"cannot be decoded: .*; the rest is shown undecoded\Z")),
    ("guid", True, re.compile(r"SdbGUIDToString\(\) returned FALSE!\Z")),
    ("replaced", False, re.compile(r"Text of TAGID 0x([0-9A-F]{8}) shown with replacements: "
                                   r"control characters (\d+), line separators (\d+), "
                                   r"unpaired surrogates (\d+)\Z")),
    ("replaced-total", False, re.compile(r"Texts of \d+ tags shown with replacements in all: "
                                         r"control characters \d+, line separators \d+, "
                                         r"unpaired surrogates \d+\Z")),
    ("path-replaced", False, re.compile(r"Path of the database shown with replacements: control "
                                        r"characters \d+, line separators \d+, unpaired "
                                        r"surrogates \d+\Z")),
    ("no-argument", True, re.compile(r"No argument: a single file or path name of a shim "
                                     r"database must be given!\Z")),
)
# The version and undefined types never mark a failure. A patch record that cannot be decoded
# is shown as undecoded bytes, and a time the platform cannot convert as its number: the
# listing still holds every byte, so these do not either. STRICT_INFORMATIONAL counts them as
# failures.
DEFAULT_INFORMATIONAL = frozenset(("version", "undefined", "patch", "time", "replaced",
                                   "replaced-total", "path-replaced"))
STRICT_INFORMATIONAL = frozenset(("version", "undefined", "replaced", "replaced-total",
                                  "path-replaced"))


def parse_console(console):
    """Console text -> list of (kind, match or None, line)."""
    messages = []
    for line in console.split("\n"):
        if not line.strip():
            continue
        for kind, _, pattern in CONSOLE_PATTERNS:
            match = pattern.match(line)
            if match:
                messages.append((kind, match, line))
                break
        else:
            messages.append(("wine" if line.startswith("wine:") else "unknown", None, line))
    return messages


def _file_bytes(db, offset, count):
    """The file's bytes at offset, or None when they do not all lie inside the file."""
    if offset < 0 or offset + count > len(db):
        return None
    return db[offset:offset + count]


def _check_number(db, tagid, width, value, problems, line):
    stored = _file_bytes(db, tagid + 2, width)
    if stored is None:
        problems.append(("value-outside-file", line))
    elif int.from_bytes(stored, "little") != value:
        problems.append(("value-differs-from-file", "%s (file holds %s)" % (line, stored.hex())))


def _item_extent(db, tagid):
    """(data offset, data size) of the item at tagid, or None when its tag or size field is cut."""
    if tagid + 2 > len(db):
        return None
    kind = struct.unpack_from("<H", db, tagid)[0] & 0xF000
    if kind in (0x7000, 0x8000, 0x9000):
        if tagid + 6 > len(db):
            return None
        return tagid + 6, struct.unpack_from("<I", db, tagid + 2)[0]
    return tagid + 2, {0x2000: 1, 0x3000: 2, 0x4000: 4, 0x5000: 8, 0x6000: 4}.get(kind, 0)


def string_items(db, table):
    """The TAGIDs of the STRING children of the string table at table, as the walk gives them
    (each child while it lies whole inside the table): the items a reference may name."""
    extent = _item_extent(db, table)
    if extent is None:
        return set()
    items, offset, end = set(), extent[0], extent[0] + extent[1]
    while offset < end:
        extent = _item_extent(db, offset)
        if extent is None or extent[0] + extent[1] > end:
            break
        if db[offset + 1] & 0xF0 == 0x80:
            items.add(offset)
        offset = (extent[0] + extent[1] + 1) & ~1
    return items


def _text_of(db, item):
    """The text of the STRING item at item as the library hands it out: its characters up to the
    first zero character inside its data, or all of them (an odd last byte left out)."""
    extent = _item_extent(db, item) or (item, 0)  # a tag outside the file is reported apart
    raw = db[extent[0]:extent[0] + (extent[1] & ~1)]
    return raw.decode("utf-16-le", "surrogatepass").split("\0")[0]


def _check_text(db, kind, tagid, rest, line, problems, counts, string_table, members):
    """Checks a text value against the file's bytes with the listing's replacements. A reference
    has a text only when it names a STRING item of the string table (members)."""
    item = tagid
    if kind == 0x6000:
        reference = _file_bytes(db, tagid + 2, 4)
        if reference is None:
            problems.append(("value-outside-file", line[:200]))
            return
        named = None if string_table is None else string_table + int.from_bytes(reference, "little")
        item = named if named in members else None
    if item is None:
        if rest:
            problems.append(("text-without-string", line[:200]))
        return
    expected = ": " + shown_text(_text_of(db, item), counts)
    if rest != expected:
        problems.append(("text-differs-from-file", "%r, file holds %r" % (line[:200], expected[:200])))


def _check_value(db, tag, tagid, rest, line, problems, counts, string_table, members):
    """Checks the value part of a tag line; counts the replacements in its text."""
    kind = tag & 0xF000
    if kind == 0x1000 or kind == 0x7000 or kind == 0 or kind > 0x9000:
        if rest:
            problems.append(("value-on-valueless-tag", line))
        return
    if kind in (0x6000, 0x8000):
        _check_text(db, kind, tagid, rest, line, problems, counts, string_table, members)
        return
    if rest == "":
        return
    if kind == 0x3000:
        match = re.fullmatch(r": 0x([0-9A-F]{4})", rest)
        if not match or match.group(1) == "FFFF":
            problems.append(("bad-word-value", line))
        else:
            _check_number(db, tagid, 2, int(match.group(1), 16), problems, line)
        return
    if kind == 0x4000:
        match = re.fullmatch(r": 0x([0-9A-F]{8})", rest)
        if match and match.group(1) != "FFFFFFFF":
            _check_number(db, tagid, 4, int(match.group(1), 16), problems, line)
        elif not (tag in TIME_DWORD_TAGS and TIME_RE.match(rest)):
            problems.append(("bad-dword-value", line))
        return
    if kind == 0x5000:
        match = re.fullmatch(r": 0x([0-9A-F]{16})", rest)
        version = VERSION_RE.match(rest)
        if match and match.group(1) != "F" * 16:
            _check_number(db, tagid, 8, int(match.group(1), 16), problems, line)
        elif version and tag in VERSION_TAGS:
            parts = [int(p) for p in version.groups()]
            if max(parts) > 0xFFFF:
                problems.append(("bad-version-value", line))
            else:
                value = (parts[0] << 48) | (parts[1] << 32) | (parts[2] << 16) | parts[3]
                _check_number(db, tagid, 8, value, problems, line)
        elif not (tag == 0x5001 and TIME_RE.match(rest)):
            problems.append(("bad-qword-value", line))
        return
    # BYTE and BINARY data.
    if tag == PATCH_BITS:
        if rest != ":":
            problems.append(("bad-patch-line", line))
        return
    if tag in GUID_TAGS and GUID_RE.match(rest):
        return
    match = HEX_RE.match(rest)
    if not match:
        problems.append(("bad-byte-data", line))
        return
    shown = bytes.fromhex(match.group(1))
    start = tagid + (2 if kind == 0x2000 else 6)
    stored = _file_bytes(db, start, len(shown))
    if stored is None:
        problems.append(("data-outside-file", "%s (%d bytes at %#x, file %d bytes)"
                         % (line[:120], len(shown), start, len(db))))
    elif stored != shown:
        problems.append(("data-differs-from-file", line[:200]))


def check_listing(db, path, listing, names, complete=True):
    """Checks the listing of database bytes db opened as path. Returns (problems, info);
    info has 'undefined' (list of (tag, tagid)), 'tags' and 'lines'. With complete=False
    (a run whose writes failed) only a prefix of a sound listing is required."""
    problems = []
    info = {"undefined": [], "tags": 0, "lines": 0, "list_tagids": set(), "replaced": []}
    if len(listing) % 2:
        problems.append(("odd-byte-count", "%d bytes" % len(listing)))
    try:
        listing[:len(listing) & ~1].decode("utf-16-le")
    except UnicodeDecodeError as e:
        problems.append(("invalid-utf16", "at byte %d: %s" % (e.start, e.reason)))
    text = listing[:len(listing) & ~1].decode("utf-16-le", "surrogatepass")
    major, minor = struct.unpack_from("<II", db, 0) if len(db) >= 8 else (0, 0)
    header = HEADER_FORMAT % (shown_text(path), major, minor)
    if not text.startswith(header):
        if complete or not header.startswith(text):
            problems.append(("bad-header", repr(text[:len(header) + 20])))
        return problems, info
    body = text[len(header):]
    if body and not body.endswith("\r\n"):
        if complete:
            problems.append(("no-final-line-end", repr(body[-80:])))
        body = body[:body.rfind("\r\n") + 2] if "\r\n" in body else ""
    lines = body.split("\r\n")[:-1] if body else []
    info["lines"] = len(lines)
    for line in lines:
        if UNREPLACED_RE.search(line):
            problems.append(("unreplaced-character", repr(line[:200])))
    # The library takes the first STRINGTABLE among the root's children for string references;
    # the listing shows those children in the library's order. Unknown in a cut listing.
    string_table = None if complete else "unknown"
    for line in lines:
        match = TAG_LINE_RE.match(line)
        if match and match.group(2) == "\t" and match.group(3) == "7801":
            string_table = int(match.group(1), 16)
            break
    members = string_items(db, string_table) if isinstance(string_table, int) else set()
    info["string_table"] = string_table

    last_at_level = []      # TAGID of the last line at each level, outermost first
    previous_level = -1      # level of the last tag line; -1 before the first
    previous_is_list = False
    patch = None             # state of a patch record block: expected indent, next field
    for line in lines:
        match = TAG_LINE_RE.match(line)
        if patch is not None and not match:
            record = RECORD_LINE_RE.match(line)
            if record:
                _check_record_line(record, patch, line, problems)
                continue
        if not match:
            problems.append(("malformed-line", repr(line[:200])))
            continue
        _end_patch_block(patch, line, problems, complete=True)
        patch = None
        tagid = int(match.group(1), 16)
        tabs = len(match.group(2))
        tag = int(match.group(3), 16)
        rest = match.group(4)
        info["tags"] += 1
        level = tabs - 1
        if tagid < 12 or tagid >= len(db):
            problems.append(("tagid-outside-file", "0x%08X (file %d bytes)" % (tagid, len(db))))
        # A child lies after its list, and each sibling after the one before it. (A damaged
        # list may overrun its parent, so the walk may meet the same bytes again later on.)
        if tabs < 10:
            del last_at_level[level + 1:]
            if level < len(last_at_level) and tagid <= last_at_level[level]:
                problems.append(("tagid-order", "sibling 0x%08X after 0x%08X"
                                 % (tagid, last_at_level[level])))
            elif level == len(last_at_level) and level > 0 and tagid <= last_at_level[level - 1]:
                problems.append(("tagid-order", "child 0x%08X of list 0x%08X"
                                 % (tagid, last_at_level[level - 1])))
            del last_at_level[level:]
            if level == len(last_at_level):
                last_at_level.append(tagid)
        if tabs < 10:
            limit = previous_level + 1 if previous_is_list else previous_level
            if previous_level >= 9:
                limit = 9
            if previous_level < 0:
                limit = 0
            if level > limit:
                problems.append(("indent-jump", "level %d after level %d: %r"
                                 % (level, previous_level, line[:120])))
        previous_level = level
        previous_is_list = (tag & 0xF000) == 0x7000
        if previous_is_list:
            info["list_tagids"].add(tagid)
        counts = {}
        name = shown_text(names.get(tag, "InvalidTag"), counts)
        if not rest.startswith(name):
            problems.append(("wrong-name", "%r, expected %s" % (line[:120], name)))
            continue
        rest = rest[len(name):]
        if (tag & 0xF000) == 0 or (tag & 0xF000) > 0x9000:
            info["undefined"].append((tag, tagid))
        if (tag & 0xF000) == 0x6000 and string_table == "unknown":
            pass
        else:
            _check_value(db, tag, tagid, rest, line, problems, counts, string_table, members)
        if tag == PATCH_BITS and rest == ":":
            record_tabs = min(level + 3, 10) if tabs < 10 else 10
            size = _file_bytes(db, tagid + 2, 4) or bytes(4)
            # The library hands out data only for an item that lies inside the file.
            data = db[tagid + 6:tagid + 6 + int.from_bytes(size, "little")]
            expected = patch_lines(data, "\t" * record_tabs, counts)
            patch = {"tabs": record_tabs, "next": "Action", "length": None,
                     "expected": expected.split("\r\n")[1:-1], "seen": 0, "differs": False}
        if any(counts.values()):
            info["replaced"].append((tagid, (counts.get("controls", 0), counts.get("separators", 0),
                                             counts.get("surrogates", 0))))
    _end_patch_block(patch, "at the end of the listing", problems, complete)
    return problems, info


def _end_patch_block(patch, where, problems, complete):
    """Checks that a patch record block that ends here is whole and shows the file's records."""
    if patch is None:
        return
    if patch["next"] not in ("Action", "done") and complete:
        problems.append(("patch-record-cut", repr(where[:120])))
    if not patch["differs"] and complete and patch["seen"] != len(patch["expected"]):
        problems.append(("patch-block-differs", "%d record lines where the file holds %d, before %r"
                         % (patch["seen"], len(patch["expected"]), where[:120])))


def _check_record_line(record, patch, line, problems):
    """Checks one patch record line against the record block's state and the file's records."""
    seen = patch["seen"]
    patch["seen"] += 1
    if not patch["differs"] and (seen >= len(patch["expected"]) or line != patch["expected"][seen]):
        patch["differs"] = True
        problems.append(("patch-block-differs", "%r where the file holds %r" % (
            line[:200], patch["expected"][seen][:200] if seen < len(patch["expected"]) else None)))
    if len(record.group(1)) != patch["tabs"]:
        problems.append(("record-indent", repr(line[:120])))
    field = record.group(2).split(" ", 1)[0]
    if field == "Rest":
        if patch["next"] not in ("Action", "done"):
            problems.append(("patch-record-cut", repr(line[:120])))
        patch["next"] = "done"
        return
    if field != patch["next"]:
        problems.append(("record-order", "%s where %s belongs: %r" % (field, patch["next"], line[:120])))
    index = RECORD_ORDER.index(field)
    patch["next"] = RECORD_ORDER[(index + 1) % len(RECORD_ORDER)]
    if field == "Length":
        patch["length"] = int(record.group(6))
    if field == "Pattern" and patch["length"] is not None:
        if len(record.group(7)) // 2 != patch["length"]:
            problems.append(("pattern-length", "%d bytes shown, Length %d"
                             % (len(record.group(7)) // 2, patch["length"])))


# The exception that ends the checked build when one of its checks fails.
ILLEGAL_INSTRUCTION = 0xC000001D


def first_difference(listing, other):
    """Where two listings part, as a short text (a whole listing would drown a report)."""
    lines = [text.decode("utf-16-le", "replace").split("\r\n") for text in (listing, other)]
    for number, (mine, theirs) in enumerate(zip(*lines), 1):
        if mine != theirs:
            return "line %d: %r against %r" % (number, mine, theirs)
    return "%d lines against %d" % tuple(map(len, lines))


def is_crash(exit_code):
    return exit_code >= 0xC0000000


def parse_damage(damage):
    """The native command's damage text -> (kind, cut short, figures), or None when it is none
    of the known lines (also one whose "byte" or "is" does not fit its count). Figures: (tagid,
    count) with, for tag-past-list-end, the list's end; for stringref-outside, (tagid,
    reference)."""
    for kind, cut_short, pattern in DAMAGE_PATTERNS:
        match = pattern.match(damage)
        if not match:
            continue
        fields = match.groupdict()
        if "reference" in fields:
            return kind, cut_short, (int(fields["tagid"], 16), int(fields["reference"], 16))
        count = int(fields["count"].replace(",", ""))
        if (fields["unit"] == "byte") != (count == 1) or (
                "verb" in fields and (fields["verb"] == "is") != (count == 1)):
            return None
        figures = (int(fields["tagid"], 16), count)
        return kind, cut_short, figures + ((int(fields["end"], 16),) if "end" in fields else ())
    return None


def _reach(db, tagid, end):
    """How far the item at tagid reaches, judged against end: to the end of its tag, or of its
    size field, when end cuts them (a tag with one byte left counts as two), else to the end of
    its data; and whether its tag and size field fit."""
    kind = db[tagid + 1] & 0xF0 if tagid + 2 <= end else 0
    header = tagid + (6 if kind in (0x70, 0x80, 0x90) else 2)
    if header > end:
        return header, False
    if header == tagid + 6:
        return header + struct.unpack_from("<I", db, tagid + 2)[0], True
    return header + {0x20: 1, 0x30: 2, 0x40: 4, 0x50: 8, 0x60: 4}.get(kind, 0), True


def _check_damage(db, damage, string_table, problems):
    """Holds the damage line's figures against the file's bytes. Returns whether the file is
    said to be cut short (None for a line of no known kind)."""
    parsed = parse_damage(damage)
    if parsed is None:
        problems.append(("unknown-damage-line", repr(damage[:200])))
        return None
    kind, cut_short, figures = parsed
    tagid, count = figures[0], figures[1]
    size = len(db)
    wrong = False
    if kind in ("tag-past-file-end", "data-past-file-end"):
        reach, fits = _reach(db, tagid, size) if 12 <= tagid <= size else (0, None)
        wrong = fits != (kind == "data-past-file-end") or reach - size != count or count <= 0
    elif kind == "tag-past-list-end":
        end = figures[2]
        reach, _ = _reach(db, tagid, end) if 12 <= tagid < end <= size else (0, None)
        wrong = reach - end != count or count <= 0
    elif kind == "bytes-after-tags":
        wrong = (not 12 <= tagid < size or tagid + count != size or tagid + 2 > size or
                 db[tagid + 1] & 0xF0 not in (0x00, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0xF0))
    else:
        reference = figures[1]
        stored = _file_bytes(db, tagid + 2, 4)
        wrong = (stored is None or db[tagid + 1] & 0xF0 != 0x60 or reference == 0 or
                 int.from_bytes(stored, "little") != reference)
        if not wrong and isinstance(string_table, int):
            wrong = string_table + reference in string_items(db, string_table)
    if wrong:
        problems.append(("damage-differs-from-file", "%r (file %d bytes)" % (damage[:200], size)))
    return cut_short


def engines_agree(native_code, windows_code, damage=None, stopped=None):
    """Whether a native run's exit code agrees with the Windows program's, which knows nothing
    of damage or a bound: equal codes, or a complete Windows run where the native command found
    the database cut short (38) or damaged (1392), or stopped the listing at its bound (1816),
    and said so."""
    if native_code == windows_code:
        return True
    if windows_code != 0:
        return False
    if stopped is not None:
        return native_code == STOPPED
    parsed = parse_damage(damage) if damage is not None else None
    return parsed is not None and native_code == (CUT_SHORT if parsed[1] else DAMAGED)


def check_run(db, path, exit_code, listing, console, names, informational=DEFAULT_INFORMATIONAL,
              damage=None, stopped=None):
    """Judges one finished run; see the module text. Returns a list of (category, detail)."""
    problems = []
    messages = parse_console(console)
    if is_crash(exit_code) or any(kind == "wine" for kind, _, _ in messages):
        trap = " (a failed check of the checked build)" if exit_code == ILLEGAL_INSTRUCTION else ""
        return [("crash", "exit code 0x%08X%s, console %r" % (exit_code, trap, console[-400:]))]
    for kind, _, line in messages:
        if kind == "unknown":
            problems.append(("unknown-console-text", repr(line[:200])))
    failures = [line for kind, _, line in messages
                if kind not in informational and kind != "unknown"]
    opened = not any(kind == "open" for kind, _, _ in messages)
    # A path shown with replacements, in the header or the open failure, is said once.
    note = path_note(path)
    notes = [line for kind, _, line in messages if kind == "path-replaced"]
    if notes != ([note] if note else []):
        problems.append(("path-note-mismatch", "console %r, expected %r" % (notes[:2], note)))

    if not opened:
        if damage is not None or stopped is not None:
            problems.append(("damage-after-failed-open", repr(damage or stopped)))
        if exit_code == 0:
            problems.append(("exit-0-after-failure", "open failed: %r" % console[-300:]))
        if listing:
            problems.append(("listing-after-failed-open", "%d bytes" % len(listing)))
        return problems
    # A listing held back by the platform may fail first at the close of standard output.
    write_failed = any(kind in ("write-level", "returned-error") and
                       ("WriteFile" in line or "CloseHandle" in line)
                       for kind, _, line in messages)
    bound = STOPPED_RE.match(stopped) if stopped is not None else None
    if stopped is not None and not bound:
        problems.append(("unknown-stop-line", repr(stopped[:200])))
    listing_problems, info = check_listing(db, path, listing, names,
                                           complete=not write_failed and stopped is None)
    problems += listing_problems
    # The listing stops with the bound's bytes written whole.
    if bound and not write_failed and (len(listing) != int(bound.group(1)) or
                                       len(listing) < BOUND_FIXED):
        problems.append(("stop-differs-from-listing", "%r, listing %d bytes"
                         % (stopped, len(listing))))

    # What the native command adds decides the code where the program itself gave 0.
    expected = None
    if damage is not None:
        table = info.get("string_table")
        cut_short = _check_damage(db, damage, table, problems)
        if cut_short is not None:
            expected = CUT_SHORT if cut_short else DAMAGED
    if stopped is not None:
        expected = STOPPED
    if exit_code == 0 and (failures or expected is not None):
        said = [line for line in failures + [damage, stopped] if line]
        problems.append(("exit-0-after-failure", repr(said[:3])))
    if exit_code != 0 and not failures and expected is None:
        problems.append(("silent-failure", "exit code %d with console %r" % (exit_code, console[-300:])))
    if exit_code != 0 and not failures and expected is not None and exit_code != expected:
        problems.append(("wrong-damage-code", "exit code %d, expected %d for %r"
                         % (exit_code, expected, stopped or damage)))

    versions = [m for kind, m, _ in messages if kind == "version"]
    if versions and len(db) >= 8:
        shown = (int(versions[0].group(1)), int(versions[0].group(2)))
        if shown != struct.unpack_from("<II", db, 0):
            problems.append(("wrong-version", "console shows %d.%d" % shown))
    if not write_failed:
        reported = [(int(m.group(1), 16), int(m.group(2), 16))
                    for kind, m, _ in messages if kind == "undefined"]
        if reported != info["undefined"]:
            problems.append(("undefined-mismatch", "console %r, listing %r"
                             % (reported[:5], info["undefined"][:5])))
        # The first tag is named, the rest only counted in the total after the walk.
        replaced = [(int(m.group(1), 16), (int(m.group(2)), int(m.group(3)), int(m.group(4))))
                    for kind, m, _ in messages if kind == "replaced"]
        if replaced != info["replaced"][:1]:
            problems.append(("replaced-mismatch", "console %r, listing %r"
                             % (replaced[:5], info["replaced"][:5])))
        totals = [line for kind, _, line in messages if kind == "replaced-total"]
        summed = [sum(counts[i] for _, counts in info["replaced"]) for i in range(3)]
        total = total_note(len(info["replaced"]), {"controls": summed[0],
                                                    "separators": summed[1],
                                                    "surrogates": summed[2]})
        if totals != ([total] if total else []):
            problems.append(("replaced-total-mismatch", "console %r, expected %r"
                             % (totals[:2], total)))
    # Every item takes two bytes at least: more lines than that show the walk meeting the
    # same bytes again and again.
    if info["tags"] > len(db) // 2:
        problems.append(("listing-amplified", "%d tag lines from %d bytes" % (info["tags"], len(db))))
    for kind, match, line in messages:
        if kind == "nesting" and int(match.group(2), 16) not in info["list_tagids"]:
            problems.append(("nesting-report", "names no listed list: %r" % line))
    return problems
