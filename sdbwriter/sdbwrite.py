# The database writer: compiles readable .sdbtxt sources into binary shim databases.
"""sdbwrite: compiles a readable text source (.sdbtxt) into a binary shim database (.sdb).

Usage: python3 sdbwrite.py [--compress] SRC.sdbtxt OUT.sdb
API:   compile_source(text, compressed=False) -> bytes;  compress(data, method=1, size=None) -> bytes

The source format is described in README.md next to this file. The writer is deliberately
permissive: besides well-formed databases it can produce the damaged ones that readers must
survive (wrong sizes, stray bytes, missing string tables, deep nesting).
"""

import os
import re
import struct
import sys
import uuid
import zlib

TYPE_NULL, TYPE_BYTE, TYPE_WORD, TYPE_DWORD, TYPE_QWORD = 0x1, 0x2, 0x3, 0x4, 0x5
TYPE_STRINGREF, TYPE_LIST, TYPE_STRING, TYPE_BINARY = 0x6, 0x7, 0x8, 0x9
FIXED_SIZE = {TYPE_NULL: 0, TYPE_BYTE: 1, TYPE_WORD: 2, TYPE_DWORD: 4, TYPE_QWORD: 8,
              TYPE_STRINGREF: 4}
SIZED_TYPES = (TYPE_LIST, TYPE_STRING, TYPE_BINARY)

# A compressed database: major, minor, "zdbf", method, unpacked size, then a zlib stream.
PACKED_VERSION = (3, 0)
PACKED_METHOD_ZLIB = 1

TAG_STRINGTABLE = 0x7801
TAG_STRINGTABLE_ITEM = 0x8801

PATCH_ACTIONS = {"replace": 2, "match": 4}
PATCH_KEYWORDS = ("module", "modulebytes", "rva", "unknown", "pattern", "size", "length", "action")
PATCH_HEADER_SIZE = 84
PATCH_MODULE_FIELD = 64

TOKEN_RE = re.compile(r'"(?:[^"\\]|\\.)*"?|[{}*]|[^\s{}"#*]+|#.*')
HEX_RE = re.compile(r"^(?:[0-9A-Fa-f]{2})+$")
LABEL_RE = re.compile(r"^@[A-Za-z_][A-Za-z0-9_.-]*$")


class SdbSourceError(Exception):
    """A fault in the source text, with the line it was found on."""

    def __init__(self, line, message):
        super().__init__("line %d: %s" % (line, message) if line else message)
        self.line = line
        self.message = message


def _default_tag_names_path():
    env = os.environ.get("SHIMLIST_TAG_NAMES")
    if env:
        return env
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    return os.path.join(repo, "standin", "sdb-tag-names.tsv")


_TAG_VALUES = None


def tag_values():
    """Name -> tag value, read once from the tag name table."""
    global _TAG_VALUES
    if _TAG_VALUES is None:
        path = _default_tag_names_path()
        table = {}
        try:
            with open(path, encoding="utf-8") as f:
                for raw in f:
                    raw = raw.strip()
                    if not raw or raw.startswith("#"):
                        continue
                    value, name = raw.split("\t")[:2]
                    table.setdefault(name.strip(), int(value, 16))
        except OSError as e:
            raise SdbSourceError(0, "cannot read the tag name table %s: %s (set SHIMLIST_TAG_NAMES)"
                                 % (path, e.strerror))
        _TAG_VALUES = table
    return _TAG_VALUES


def string_index_key(text):
    """The 64-bit index key of a string: the non-zero bytes of its upper-cased UTF-16LE form,
    packed from the most significant byte down."""
    key = 0
    shift = 56
    for b in text.upper().encode("utf-16-le"):
        if b == 0:
            continue
        if shift < 0:
            break
        key |= b << shift
        shift -= 8
    return key


# ---------------------------------------------------------------------------------------------
# Tokens and values


def tokenize(line, lineno):
    tokens = []
    for m in TOKEN_RE.finditer(line):
        tok = m.group(0)
        if tok.startswith("#"):
            break
        if tok.startswith('"') and (len(tok) < 2 or not tok.endswith('"') or _escaped_end(tok)):
            raise SdbSourceError(lineno, "unterminated string %s" % tok)
        tokens.append(tok)
    return tokens


def _escaped_end(tok):
    # '"abc\"' ends with an escaped quote, not a closing one.
    body = tok[1:-1]
    trailing = len(body) - len(body.rstrip("\\"))
    return trailing % 2 == 1


def unescape(tok, lineno):
    body = tok[1:-1]
    out = []
    i = 0
    while i < len(body):
        c = body[i]
        if c != "\\":
            out.append(c)
            i += 1
            continue
        nxt = body[i + 1] if i + 1 < len(body) else ""
        if nxt in ('"', "\\"):
            out.append(nxt)
            i += 2
        elif nxt in "nrt" and nxt:
            out.append({"n": "\n", "r": "\r", "t": "\t"}[nxt])
            i += 2
        elif nxt == "u" and re.match(r"^[0-9A-Fa-f]{4}$", body[i + 2:i + 6]):
            out.append(chr(int(body[i + 2:i + 6], 16)))
            i += 6
        else:
            raise SdbSourceError(lineno, "unknown escape \\%s in %s" % (nxt, tok))
    return "".join(out)


def utf16(text):
    # surrogatepass keeps lone surrogates written as \uD800 (damaged text is a valid test input).
    return text.encode("utf-16-le", "surrogatepass")


def parse_int(tok, lineno, what="number"):
    try:
        neg = tok.startswith("-")
        body = tok[1:] if neg else tok
        value = int(body, 16) if body.lower().startswith("0x") else int(body, 10)
    except ValueError:
        raise SdbSourceError(lineno, "expected a %s, got %r" % (what, tok)) from None
    return -value if neg else value


def pack_int(value, size, lineno):
    bits = size * 8
    if not -(1 << (bits - 1)) <= value < (1 << bits):
        raise SdbSourceError(lineno, "value %d does not fit in %d bytes" % (value, size))
    return (value & ((1 << bits) - 1)).to_bytes(size, "little")


def parse_hex(tokens, lineno):
    out = bytearray()
    for tok in tokens:
        if not HEX_RE.match(tok):
            raise SdbSourceError(lineno, "expected hex bytes, got %r" % tok)
        out += bytes.fromhex(tok)
    return bytes(out)


def parse_text(tokens, lineno):
    """A string expression: one or more "text" parts, each optionally followed by * COUNT."""
    if not tokens or not tokens[0].startswith('"'):
        raise SdbSourceError(lineno, "expected a quoted string, got %r"
                             % (tokens[0] if tokens else "end of line"))
    parts = []
    i = 0
    while i < len(tokens):
        if not tokens[i].startswith('"'):
            raise SdbSourceError(lineno, "unexpected %r after a string" % tokens[i])
        text = unescape(tokens[i], lineno)
        i += 1
        if i < len(tokens) and tokens[i] == "*":
            if i + 1 >= len(tokens):
                raise SdbSourceError(lineno, "'*' needs a repeat count")
            count = parse_int(tokens[i + 1], lineno, "repeat count")
            if count < 0:
                raise SdbSourceError(lineno, "negative repeat count %d" % count)
            text *= count
            i += 2
        parts.append(text)
    return "".join(parts)


def parse_guid(tokens, lineno):
    if len(tokens) == 3 and tokens[0] == "{" and tokens[2] == "}":
        tokens = tokens[1:2]
    if len(tokens) != 1:
        raise SdbSourceError(lineno, "guid takes one value like 11111111-2222-3333-4444-555555555555")
    try:
        return uuid.UUID(tokens[0].strip("{}")).bytes_le
    except ValueError:
        raise SdbSourceError(lineno, "bad GUID %r" % tokens[0]) from None


# ---------------------------------------------------------------------------------------------
# Patch records and index entries (the two structured kinds of BINARY data)


def parse_patch_line(tokens, lineno):
    word = tokens[0]
    if word == "end":
        if len(tokens) != 1:
            raise SdbSourceError(lineno, "'end' takes no values")
        return bytes(8)
    if word == "raw":
        return parse_hex(tokens[1:], lineno)
    if word in PATCH_ACTIONS:
        fields = {"action": PATCH_ACTIONS[word]}
    elif word == "record":
        fields = {}
    else:
        raise SdbSourceError(lineno, "unknown patch record %r (replace, match, record, end, raw)"
                             % word)
    i = 1
    while i < len(tokens):
        key = tokens[i]
        if key not in PATCH_KEYWORDS:
            raise SdbSourceError(lineno, "unknown patch field %r" % key)
        if key in fields:
            raise SdbSourceError(lineno, "patch field %r given twice" % key)
        i += 1
        if key in ("pattern", "modulebytes"):
            j = i
            while j < len(tokens) and tokens[j] not in PATCH_KEYWORDS:
                j += 1
            fields[key] = parse_hex(tokens[i:j], lineno)
            i = j
            continue
        if i >= len(tokens):
            raise SdbSourceError(lineno, "patch field %r needs a value" % key)
        if key == "module":
            fields[key] = unescape(tokens[i], lineno) if tokens[i].startswith('"') else tokens[i]
        else:
            fields[key] = parse_int(tokens[i], lineno, key)
        i += 1
    if "action" not in fields:
        raise SdbSourceError(lineno, "'record' needs 'action N'")
    if "module" in fields and "modulebytes" in fields:
        raise SdbSourceError(lineno, "give either module or modulebytes, not both")
    pattern = fields.get("pattern", b"")
    if "modulebytes" in fields:
        module = fields["modulebytes"]
        if len(module) > PATCH_MODULE_FIELD:
            raise SdbSourceError(lineno, "modulebytes holds %d bytes, the field has %d"
                                 % (len(module), PATCH_MODULE_FIELD))
    else:
        # A name of 32 characters or more fills the field and loses its terminator.
        module = (utf16(fields.get("module", "")) + b"\0\0")[:PATCH_MODULE_FIELD]
    module = module.ljust(PATCH_MODULE_FIELD, b"\0")
    header = b"".join(pack_int(fields.get(k, d), 4, lineno) for k, d in (
        ("action", 0), ("size", PATCH_HEADER_SIZE + len(pattern)), ("length", len(pattern)),
        ("rva", 0), ("unknown", 0)))
    return header + module + pattern


def parse_index_line(tokens, lineno):
    """KEY TARGET: KEY is "text" (made into a string key) or a 64-bit number; TARGET is @label
    or a TAGID."""
    if len(tokens) != 2:
        raise SdbSourceError(lineno, 'an index entry is KEY TARGET, e.g. "NOTEPAD.EXE" @notepad')
    key_tok, target = tokens
    if key_tok.startswith('"'):
        key = string_index_key(unescape(key_tok, lineno))
    else:
        key = parse_int(key_tok, lineno, "index key") & 0xFFFFFFFFFFFFFFFF
    if not LABEL_RE.match(target):
        target = parse_int(target, lineno, "TAGID or @label")
    return key, target


# ---------------------------------------------------------------------------------------------
# The compiler


class _Writer:
    """One compilation: output bytes, open lists, and the fixups resolved at the end."""

    def __init__(self, seed_strings):
        # Offsets into the output are TAGIDs: the 12 header bytes are filled in at the end.
        self.out = bytearray(12)
        self.major, self.minor, self.magic = 3, 0, b"sdbf"
        self.default_pad = 0
        self.stringtable = "auto"
        self.truncate = None
        self.compress = None     # {"method": N, "size": N or None} once "compress" is given
        self.strings = {}        # text -> order of first use
        for s in seed_strings:
            self.strings.setdefault(s, len(self.strings))
        self.string_fixups = []  # (offset, text, line)
        self.label_fixups = []   # (offset, label, line)
        self.labels = {}         # label -> TAGID
        self.table_at = None     # offset of a placed string table (STRINGTABLE auto)
        self.table_items = {}    # text -> reference, once the table is written
        self.stack = []          # open blocks, innermost last

    # -- helpers
    def u16(self, v):
        self.out += struct.pack("<H", v)

    def u32(self, v):
        self.out += struct.pack("<I", v)

    def define_label(self, label, lineno):
        if label in self.labels:
            raise SdbSourceError(lineno, "label %s defined twice" % label)
        self.labels[label] = len(self.out)

    def pad(self, data_len, opts):
        if data_len % 2 and not opts["nopad"]:
            self.out.append(opts["pad"])

    def use_string(self, text, lineno):
        self.strings.setdefault(text, len(self.strings))
        self.string_fixups.append((len(self.out), text, lineno))
        self.u32(0)

    def write_stringtable(self):
        start = len(self.out)
        self.u16(TAG_STRINGTABLE)
        self.u32(0)
        for text in sorted(self.strings, key=self.strings.get):
            self.table_items[text] = len(self.out) - start
            data = utf16(text) + b"\0\0"
            self.u16(TAG_STRINGTABLE_ITEM)
            self.u32(len(data))
            self.out += data
        struct.pack_into("<I", self.out, start + 2, len(self.out) - start - 6)
        return start

    # -- the items
    def item(self, tag, opts, vals, lineno):
        """Writes one tag line; returns the block it opens (or None)."""
        kind = tag >> 12
        if opts["label"]:
            self.define_label(opts["label"], lineno)
        if opts["size"] is not None and kind not in SIZED_TYPES:
            raise SdbSourceError(lineno, "size= only applies to LIST, STRING and BINARY tags")

        if kind == TYPE_LIST and vals[:1] == ["auto"]:
            if tag != TAG_STRINGTABLE or len(vals) != 1:
                raise SdbSourceError(lineno, "only 'STRINGTABLE auto' places the string table")
            if self.table_at is not None:
                raise SdbSourceError(lineno, "the string table is placed twice")
            self.table_at = self.write_stringtable()
            return None
        if kind == TYPE_LIST and vals[:1] == ["{"]:
            if vals not in (["{"], ["{", "}"]):
                raise SdbSourceError(lineno, "children of a list go on the following lines")
            start = len(self.out)
            self.u16(tag)
            self.u32(0)
            block = {"kind": "list", "starts": [start], "size": opts["size"], "line": lineno}
            if vals == ["{", "}"]:
                self.close(block)
                return None
            return block
        if kind == TYPE_BINARY and vals[:1] in (["patch"], ["index"]):
            if vals[1:] not in (["{"], ["{", "}"]):
                raise SdbSourceError(lineno, "%s records go on the following lines: %s {"
                                     % (vals[0], vals[0]))
            block = {"kind": vals[0], "tag": tag, "opts": opts, "line": lineno, "records": []}
            if vals[1:] == ["{", "}"]:
                self.close(block)
                return None
            return block

        if kind in FIXED_SIZE:
            self.u16(tag)
            self.fixed_value(kind, vals, lineno)
            if kind == TYPE_BYTE:
                self.pad(1, opts)
            return None
        if kind in SIZED_TYPES:
            data = self.sized_value(kind, vals, lineno)
            self.sized_item(tag, data, opts)
            return None
        # Types 0x0 and 0xA-0xF have no defined layout: only the TAG, plus any bytes given.
        self.u16(tag)
        if vals:
            if vals[0] != "hex":
                raise SdbSourceError(lineno, "tag 0x%04X has an undefined type; it takes no value "
                                     "or 'hex ..'" % tag)
            self.out += parse_hex(vals[1:], lineno)
        return None

    def fixed_value(self, kind, vals, lineno):
        size = FIXED_SIZE[kind]
        if kind == TYPE_NULL:
            if vals:
                raise SdbSourceError(lineno, "a NULL tag takes no value")
            return
        if kind == TYPE_STRINGREF:
            if vals[:1] == ["ref"]:
                if len(vals) != 2:
                    raise SdbSourceError(lineno, "'ref' takes one number")
                self.out += pack_int(parse_int(vals[1], lineno, "reference"), 4, lineno)
                return
            text = parse_text(vals, lineno)
            if self.stringtable == "none":
                raise SdbSourceError(lineno, "string reference without a string table "
                                     "(stringtable none): use 'ref N'")
            self.use_string(text, lineno)
            return
        if len(vals) != 1:
            raise SdbSourceError(lineno, "expected one number, got %s"
                                 % (" ".join(vals) or "nothing"))
        if LABEL_RE.match(vals[0]) and kind == TYPE_DWORD:
            self.label_fixups.append((len(self.out), vals[0], lineno))
            self.u32(0)
            return
        self.out += pack_int(parse_int(vals[0], lineno), size, lineno)

    def sized_value(self, kind, vals, lineno):
        if vals[:1] == ["hex"]:
            return parse_hex(vals[1:], lineno)
        if kind == TYPE_STRING:
            return utf16(parse_text(vals, lineno)) + b"\0\0"
        if kind == TYPE_BINARY:
            if not vals:
                return b""
            if vals[0] == "guid":
                return parse_guid(vals[1:], lineno)
            raise SdbSourceError(lineno, "BINARY value must be hex .., guid .., patch { or "
                                 "index {, got %r" % vals[0])
        raise SdbSourceError(lineno, "a LIST takes '{', '{ }' or 'hex ..'")

    def sized_item(self, tag, data, opts):
        self.u16(tag)
        self.u32(len(data) if opts["size"] is None else opts["size"])
        self.out += data
        self.pad(len(data), opts)

    def open_nest(self, count, tag, lineno):
        start = len(self.out)
        header = struct.pack("<HI", tag, 0)
        self.out += header * count
        return {"kind": "list", "starts": range(start, start + 6 * count, 6), "size": None,
                "line": lineno}

    def close(self, block):
        kind = block["kind"]
        if kind == "list":
            end = len(self.out)
            for start in block["starts"]:
                size = end - start - 6 if block["size"] is None else block["size"]
                struct.pack_into("<I", self.out, start + 2, size & 0xFFFFFFFF)
            return
        records = block["records"]
        if kind == "index":
            data_at = len(self.out) + 6
            data = bytearray()
            # Readers search the entries by key, so they are kept sorted as unsigned numbers.
            for key, target, lineno in sorted(records, key=lambda r: r[0]):
                data += struct.pack("<Q", key)
                if isinstance(target, str):
                    self.label_fixups.append((data_at + len(data), target, lineno))
                    data += bytes(4)
                else:
                    data += pack_int(target, 4, lineno)
        else:
            data = b"".join(records)
        self.sized_item(block["tag"], bytes(data), block["opts"])

    def finish(self):
        if self.stack:
            block = self.stack[-1]
            raise SdbSourceError(block["line"], "'{' is never closed")
        if self.table_at is None and self.stringtable == "auto" and self.strings:
            self.table_at = self.write_stringtable()
        for offset, text, lineno in self.string_fixups:
            if text not in self.table_items:
                raise SdbSourceError(lineno, "string %r is not in the placed string table" % text)
            struct.pack_into("<I", self.out, offset, self.table_items[text])
        for offset, label, lineno in self.label_fixups:
            if label not in self.labels:
                raise SdbSourceError(lineno, "undefined label %s" % label)
            struct.pack_into("<I", self.out, offset, self.labels[label])
        struct.pack_into("<II4s", self.out, 0, self.major & 0xFFFFFFFF, self.minor & 0xFFFFFFFF,
                         self.magic)
        data = bytes(self.out)
        if self.compress is not None:
            data = compress(data, self.compress["method"], self.compress["size"])
        return data if self.truncate is None else data[:self.truncate]


def compress(data, method=PACKED_METHOD_ZLIB, size=None):
    """The bytes of a compressed database holding data: the 20-byte header with the given
    method and declared size (default the real one), then data as one zlib stream."""
    declared = len(data) if size is None else size
    return struct.pack("<II4sII", PACKED_VERSION[0], PACKED_VERSION[1], b"zdbf",
                       method & 0xFFFFFFFF, declared & 0xFFFFFFFF) + zlib.compress(data, 9)


def _parse_opts(tokens, writer, lineno):
    opts = {"size": None, "pad": writer.default_pad, "nopad": False, "label": None}
    i = 0
    while i < len(tokens):
        tok = tokens[i]
        if tok.startswith("size="):
            opts["size"] = parse_int(tok[5:], lineno, "size") & 0xFFFFFFFF
        elif tok.startswith("pad="):
            opts["pad"] = _pad_value(tok[4:], lineno)
        elif tok == "nopad":
            opts["nopad"] = True
        elif tok.startswith("label="):
            if not LABEL_RE.match("@" + tok[6:]):
                raise SdbSourceError(lineno, "bad label name %r" % tok[6:])
            opts["label"] = "@" + tok[6:]
        else:
            break
        i += 1
    return opts, tokens[i:]


def _pad_value(tok, lineno):
    value = parse_int(tok, lineno, "pad byte")
    if not 0 <= value <= 0xFF:
        raise SdbSourceError(lineno, "pad byte %r is not a byte" % tok)
    return value


def _tag_value(tok, lineno):
    if tok.lower().startswith("0x"):
        value = parse_int(tok, lineno, "tag")
        if not 0 <= value <= 0xFFFF:
            raise SdbSourceError(lineno, "tag %s is not a 16-bit value" % tok)
        return value
    value = tag_values().get(tok)
    if value is None:
        raise SdbSourceError(lineno, "unknown tag name %r" % tok)
    return value


def _directive(writer, word, args, lineno):
    if writer.stack or len(writer.out) > 12:
        if word in ("version", "magic", "stringtable", "pad", "strings"):
            raise SdbSourceError(lineno, "'%s' must come before the first tag" % word)
    if word == "version":
        if len(args) != 2:
            raise SdbSourceError(lineno, "version takes MAJOR MINOR")
        writer.major, writer.minor = (parse_int(a, lineno, "version") for a in args)
    elif word == "magic":
        if len(args) != 1 or len(args[0]) != 4 or not args[0].isascii():
            raise SdbSourceError(lineno, "magic takes four ASCII characters")
        writer.magic = args[0].encode("ascii")
    elif word == "stringtable":
        if args not in (["auto"], ["none"]):
            raise SdbSourceError(lineno, "stringtable takes 'auto' or 'none'")
        writer.stringtable = args[0]
    elif word == "pad":
        if len(args) != 1:
            raise SdbSourceError(lineno, "pad takes one byte value")
        writer.default_pad = _pad_value(args[0], lineno)
    elif word == "strings":
        for tok in args:
            writer.strings.setdefault(parse_text([tok], lineno), len(writer.strings))
    elif word == "truncate":
        if len(args) != 1:
            raise SdbSourceError(lineno, "truncate takes a byte count")
        writer.truncate = parse_int(args[0], lineno, "byte count")
    elif word == "compress":
        writer.compress = writer.compress or {"method": PACKED_METHOD_ZLIB, "size": None}
        for tok in args:
            key, _, value = tok.partition("=")
            if key not in ("method", "size") or not value:
                raise SdbSourceError(lineno, "compress takes method=N and size=N only")
            writer.compress[key] = parse_int(value, lineno, key)


DIRECTIVES = ("version", "magic", "stringtable", "pad", "strings", "truncate", "compress")


def _compile(text, seed_strings, compressed):
    writer = _Writer(seed_strings)
    if compressed:
        writer.compress = {"method": PACKED_METHOD_ZLIB, "size": None}
    for lineno, line in enumerate(text.splitlines(), 1):
        tokens = tokenize(line, lineno)
        if not tokens:
            continue
        block = writer.stack[-1] if writer.stack else None
        word = tokens[0]
        if word == "}":
            if len(tokens) != 1:
                raise SdbSourceError(lineno, "'}' must stand alone on its line")
            if block is None:
                raise SdbSourceError(lineno, "'}' without an open '{'")
            writer.stack.pop()
            writer.close(block)
            continue
        if block is not None and block["kind"] == "patch":
            block["records"].append(parse_patch_line(tokens, lineno))
            continue
        if block is not None and block["kind"] == "index":
            key, target = parse_index_line(tokens, lineno)
            block["records"].append((key, target, lineno))
            continue
        if word in DIRECTIVES:
            if block is not None:
                raise SdbSourceError(lineno, "'%s' is only allowed outside lists" % word)
            _directive(writer, word, tokens[1:], lineno)
            continue
        if word == "raw":
            writer.out += parse_hex(tokens[1:], lineno)
            continue
        if word == "nest":
            if len(tokens) < 4 or tokens[3] != "{" or len(tokens) > 5 or tokens[4:] not in ([], ["}"]):
                raise SdbSourceError(lineno, "nest takes COUNT LISTTAG { (children follow) or "
                                     "COUNT LISTTAG { }")
            count = parse_int(tokens[1], lineno, "nesting count")
            tag = _tag_value(tokens[2], lineno)
            if tag >> 12 != TYPE_LIST or count < 1:
                raise SdbSourceError(lineno, "nest needs a LIST tag and a count of at least 1")
            opened = writer.open_nest(count, tag, lineno)
            if tokens[4:] == ["}"]:
                writer.close(opened)
            else:
                writer.stack.append(opened)
            continue
        tag = _tag_value(word, lineno)
        opts, vals = _parse_opts(tokens[1:], writer, lineno)
        opened = writer.item(tag, opts, vals, lineno)
        if opened is not None:
            writer.stack.append(opened)
    return writer


def compile_source(text, compressed=False):
    """Compiles source text into the bytes of a database, compressed when asked (as by the
    "compress" line). Raises SdbSourceError on faults."""
    writer = _compile(text, (), compressed)
    if writer.table_at is not None and writer.string_fixups:
        # A table placed before later references must already hold every string: compile again
        # with the complete list, in the same order of first use.
        order = sorted(writer.strings, key=writer.strings.get)
        writer = _compile(text, order, compressed)
    return writer.finish()


def main(argv):
    packed = len(argv) == 4 and argv[1] == "--compress"
    if len(argv) != 3 and not packed:
        sys.stderr.write("usage: %s [--compress] SRC.sdbtxt OUT.sdb\n" % os.path.basename(argv[0]))
        return 2
    src, out = argv[-2], argv[-1]
    try:
        with open(src, encoding="utf-8") as f:
            text = f.read()
        data = compile_source(text, compressed=packed)
    except SdbSourceError as e:
        where = "%s:%d" % (src, e.line) if e.line else src
        sys.stderr.write("%s: %s\n" % (where, e.message))
        return 1
    except OSError as e:
        sys.stderr.write("%s: %s\n" % (src, e.strerror))
        return 1
    tmp = out + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
