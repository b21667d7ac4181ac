// The Linux command's views of a listing, made from its lines on their way to standard output:
// JSON Lines (--json) and a listing for diffs (--stable).
#include "platform/posix/FrontEnd.h"
#include "listing/DumpTagList.h"
#include "listing/Tables.h"
#include "output/Writers.h"
#include "standin/OpenDatabase.h"

#include <stdlib.h>
#include <string.h>

// The views take every rendering from the program's own lines; the library is asked only for
// what no line shows: a raw value, the place of a tag that nesting hides from its indent, and
// the tag behind a TAGID value.

#define TAG_NAME ((TAG)0x6001)
#define TAG_COMMAND_LINE ((TAG)0x6008)
#define TAG_STRINGTABLE ((TAG)0x7801)
#define TAG_INDEXES ((TAG)0x7802)

// A line's head: "0x", 8 digits, its indent, "0x", 4 digits and " = ", with room to spare.
#define HEAD_MAX 40
// Enough of a name to tell a TAGID tag by its ending.
#define NAME_MAX 64
// A TAGID value as the listing shows it, "0x" and 8 digits, with room to spare.
#define VALUE_MAX 16
// "-t0x" and up to 8 digits of an apphelp command line's TAGID.
#define COMMAND_PEND_MAX 12
// The walk lists lists down to the level below MAX_LIST_LEVEL, and the root is one more frame.
#define FRAME_MAX (MAX_LIST_LEVEL + 2)
// A reference to a tag that is no list with children is checked among this many children of
// the list around it, so that a crafted file cannot make each of its references cost a walk.
#define CHILD_SCAN_MAX 65536

typedef enum LINE_STATE
{
    LINE_START, // nothing of the line yet
    LINE_HEAD,  // the head, held until it is known to be one
    LINE_NAME,  // the tag's name
    LINE_COLON, // ":" after the name: a value or patch records follow
    LINE_VALUE, // the value, after ": "
    LINE_OTHER, // a line that is no tag line (header, patch record)
    LINE_DROP   // a line left out, with its line end
} LINE_STATE;

typedef enum VALUE_KIND
{
    VALUE_PLAIN,
    VALUE_REFERENCE, // a TAGID, held until the line ends
    VALUE_COMMAND    // an apphelp command line, which may hold "-t0x..."
} VALUE_KIND;

typedef enum RECORD_STEP
{
    RECORD_INDENT,
    RECORD_LABEL,
    RECORD_PAD,
    RECORD_SPACE,
    RECORD_VALUE,
    RECORD_NONE
} RECORD_STEP;

// A list whose children the walk lists: where the next line may come from.
typedef struct FRAME
{
    TAGID list;  // TAGID_ROOT for the root
    TAGID after; // the tag listed once its children are done, as the walk computes it
} FRAME;

// A list with children, for --stable's TAGID values: its parent and its NAME child.
typedef struct LIST_ENTRY
{
    TAGID tagid;
    TAGID parent;
    TAGID name;
} LIST_ENTRY;

// The view of the run. Like the listing's stream, it is the state of one process's standard
// output; each run of the program is a process of its own.
typedef struct VIEW
{
    LISTING_VIEW_KIND kind;
    POSIX_LISTING_VIEW hooks;
    bool started;
    bool carriage;
    bool sawTag;
    LINE_STATE state;

    WCHAR head[HEAD_MAX];
    DWORD headLength;
    bool headAlive;
    DWORD tabs;
    DWORD tail; // where "0x" of the tag value starts in head
    TAGID tagid;
    TAG tag;

    WCHAR name[NAME_MAX];
    DWORD nameLength;
    bool nameCut;

    // --stable
    bool dropping;
    bool stringTableSeen;
    VALUE_KIND valueKind;
    WCHAR value[VALUE_MAX];
    DWORD valueLength;
    WCHAR pend[COMMAND_PEND_MAX];
    DWORD pendLength;
    LIST_ENTRY* entries;
    DWORD entryCount;
    bool tableBuilt;

    // --json
    bool objectOpen;
    bool inString;
    bool patchOpen;
    bool recordOpen;
    DWORD records;
    RECORD_STEP recordStep;
    WCHAR label[8];
    DWORD labelLength;
    FRAME frames[FRAME_MAX];
    DWORD open;
} VIEW;

static VIEW View;

static const WCHAR FileLabel[] = L"Shim database file:\t";
static const WCHAR ColumnLead[] = L"TAGID\t\t";

// ---------------------------------------------------------------------------------------------
// Output

static BOOL Put(const WCHAR* units, DWORD count)
{
    return count == 0 || PosixListingPutText(units, count);
}

static BOOL PutLiteral(LPCWSTR text)
{
    return Put(text, TextLength(text));
}

// A literal's length is known where it is written.
#define PUT(literal) Put(literal, ARRAYSIZE(literal) - 1)

static BOOL PutUnsigned(ULONGLONG value)
{
    WCHAR digits[24];
    DWORD at = ARRAYSIZE(digits);
    do
    {
        digits[--at] = (WCHAR)(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    return Put(digits + at, ARRAYSIZE(digits) - at);
}

// The JSON escape of c into out, or 0 when c stands as it is. In a database's raw text the
// characters that some readers take as line ends are escaped too.
static DWORD JsonEscape(WCHAR c, bool raw, WCHAR* out)
{
    static const WCHAR Hex[] = L"0123456789abcdef";
    WCHAR simple = 0;
    switch (c)
    {
        case L'"':
            simple = L'"';
            break;
        case L'\\':
            simple = L'\\';
            break;
        case L'\t':
            simple = L't';
            break;
        case L'\n':
            simple = L'n';
            break;
        case L'\r':
            simple = L'r';
            break;
        case L'\b':
            simple = L'b';
            break;
        case L'\f':
            simple = L'f';
            break;
        default:
            break;
    }
    if (simple != 0)
    {
        out[0] = L'\\';
        out[1] = simple;
        return 2;
    }
    if (c >= 0x20 && !(raw && (c == 0x7F || c == 0x85 || c == 0x2028 || c == 0x2029)))
    {
        return 0;
    }
    out[0] = L'\\';
    out[1] = L'u';
    for (int digit = 0; digit < 4; digit++)
    {
        out[2 + digit] = Hex[(c >> (12 - 4 * digit)) & 0xF];
    }
    return 6;
}

// Text inside a JSON string; unpaired surrogates become U+FFFD on the way to UTF-8.
static BOOL PutJsonText(const WCHAR* units, DWORD count, bool raw)
{
    DWORD start = 0;
    for (DWORD index = 0; index < count; index++)
    {
        WCHAR escape[6];
        DWORD length = JsonEscape(units[index], raw, escape);
        if (length == 0)
        {
            continue;
        }
        if (!Put(units + start, index - start) || !Put(escape, length))
        {
            return FALSE;
        }
        start = index + 1;
    }
    return Put(units + start, count - start);
}

// A database's text, which may lie at any address: units are put together from bytes.
static BOOL PutJsonDatabaseText(const BYTE* text)
{
    WCHAR units[256];
    for (;;)
    {
        DWORD count = 0;
        while (count < ARRAYSIZE(units))
        {
            WCHAR unit = (WCHAR)(text[0] | (text[1] << 8));
            if (unit == 0)
            {
                break;
            }
            units[count++] = unit;
            text += 2;
        }
        if (!PutJsonText(units, count, true))
        {
            return FALSE;
        }
        if (count < ARRAYSIZE(units))
        {
            return TRUE;
        }
    }
}

static BOOL PutLowerHex(const BYTE* data, DWORD size)
{
    static const WCHAR Hex[] = L"0123456789abcdef";
    WCHAR units[512];
    for (DWORD done = 0; done < size;)
    {
        DWORD count = 0;
        for (; count < ARRAYSIZE(units) && done < size; done++)
        {
            units[count++] = Hex[data[done] >> 4];
            units[count++] = Hex[data[done] & 0xF];
        }
        if (!Put(units, count))
        {
            return FALSE;
        }
    }
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Heads

static int HexValue(WCHAR c)
{
    if (c >= L'0' && c <= L'9')
    {
        return c - L'0';
    }
    if (c >= L'A' && c <= L'F')
    {
        return c - L'A' + 10;
    }
    if (c >= L'a' && c <= L'f')
    {
        return c - L'a' + 10;
    }
    return -1;
}

// Takes the unit just added to the head; gives 1 once the head is whole, 0 while it may still
// be one, -1 when the line is no tag line.
static int StepHead(void)
{
    DWORD at = View.headLength - 1;
    WCHAR c = View.head[at];
    if (at < 2)
    {
        return c == L"0x"[at] ? 0 : -1;
    }
    if (at < 10)
    {
        int digit = HexValue(c);
        View.tagid = (View.tagid << 4) | (TAGID)(digit < 0 ? 0 : digit);
        return digit < 0 ? -1 : 0;
    }
    if (View.tail == 0)
    {
        if (c == L'\t')
        {
            View.tabs++;
            return 0;
        }
        if (c != L'0' || View.tabs == 0)
        {
            return -1;
        }
        View.tail = at;
        return 0;
    }
    DWORD step = at - View.tail;
    if (step == 1)
    {
        return c == L'x' ? 0 : -1;
    }
    if (step < 6)
    {
        int digit = HexValue(c);
        View.tag = (TAG)((View.tag << 4) | (digit < 0 ? 0 : digit));
        return digit < 0 ? -1 : 0;
    }
    if (step == 6 || step == 8)
    {
        return c == L' ' ? (step == 8 ? 1 : 0) : -1;
    }
    return c == L'=' ? 0 : -1;
}

static bool HeadStartsWith(LPCWSTR text, DWORD length)
{
    DWORD count = View.headLength < length ? View.headLength : length;
    return memcmp(View.head, text, count * sizeof(WCHAR)) == 0;
}

// ---------------------------------------------------------------------------------------------
// --json: where a line lies, and what the library holds for it

// The depth of a line at level 9 or deeper, whose indent no longer tells: the innermost list
// whose children the line does not end. The walk lists, once a list's children are done, the
// tag that it computed for that list beforehand (its after); lists that end together share it.
static DWORD DeepLevel(TAGID tagid)
{
    DWORD level = View.open - 1;
    while (level > INDENT_RUN_LENGTH - 1 && View.frames[level].after == tagid)
    {
        level--;
    }
    return level < INDENT_RUN_LENGTH - 1 ? INDENT_RUN_LENGTH - 1 : level;
}

// Places the line in the tree: its depth and its parent (TAGID_ROOT at the top).
static void PlaceLine(PDB pdb, DWORD* depth, TAGID* parent)
{
    DWORD level = View.tabs < INDENT_RUN_LENGTH ? View.tabs - 1 : DeepLevel(View.tagid);
    if (level >= View.open)
    {
        level = View.open - 1;
    }
    FRAME* frame = &View.frames[level];
    View.open = level + 1;
    *depth = level;
    *parent = frame->list;
    if ((View.tag & TAG_TYPE_MASK) == TAG_TYPE_LIST && level + 1 < FRAME_MAX)
    {
        TAGID next = pdb != NULL ? SdbGetNextChild(pdb, frame->list, View.tagid) : TAGID_NULL;
        FRAME* child = &View.frames[level + 1];
        child->list = View.tagid;
        child->after = next != TAGID_NULL ? next : frame->after;
        View.open = level + 2;
    }
}

// Appends text to the line being made in out (room for OBJECT_HEAD_MAX units).
static void Append(WCHAR* out, DWORD* length, LPCWSTR text)
{
    for (; *text != 0; text++)
    {
        out[(*length)++] = *text;
    }
}

static void AppendUnsigned(WCHAR* out, DWORD* length, DWORD value)
{
    WCHAR digits[12];
    DWORD count = 0;
    do
    {
        digits[count++] = (WCHAR)(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count != 0)
    {
        out[(*length)++] = digits[--count];
    }
}

// The object's keys up to its name, with four numbers of ten digits at most.
#define OBJECT_HEAD_MAX 128

static BOOL OpenObject(void)
{
    static const LPCWSTR Types[] = {NULL,     L"NULL",      L"BYTE", L"WORD",   L"DWORD",
                                    L"QWORD", L"STRINGREF", L"LIST", L"STRING", L"BINARY"};
    PDB pdb = SdbStandinOpenDatabase();
    DWORD depth;
    TAGID parent;
    PlaceLine(pdb, &depth, &parent);
    WCHAR head[OBJECT_HEAD_MAX];
    DWORD length = 0;
    Append(head, &length, L"{\"id\":");
    AppendUnsigned(head, &length, View.tagid);
    Append(head, &length, L",\"parent\":");
    if (parent == TAGID_ROOT)
    {
        Append(head, &length, L"null");
    }
    else
    {
        AppendUnsigned(head, &length, parent);
    }
    Append(head, &length, L",\"depth\":");
    AppendUnsigned(head, &length, depth);
    Append(head, &length, L",\"tag\":");
    AppendUnsigned(head, &length, View.tag);
    Append(head, &length, L",\"type\":");
    DWORD type = (DWORD)(View.tag >> 12);
    if (type != 0 && type < ARRAYSIZE(Types))
    {
        Append(head, &length, L"\"");
        Append(head, &length, Types[type]);
        Append(head, &length, L"\"");
    }
    else
    {
        AppendUnsigned(head, &length, View.tag & TAG_TYPE_MASK);
    }
    Append(head, &length, L",\"name\":\"");
    View.objectOpen = true;
    View.inString = true;
    View.patchOpen = false;
    View.recordOpen = false;
    View.records = 0;
    return Put(head, length);
}

// The raw value, as the library reads it: numbers, the text, or the bytes in hexadecimal;
// null when it cannot be read. Lists, NULL tags and undefined types have none.
static BOOL PutRaw(void)
{
    PDB pdb = SdbStandinOpenDatabase();
    TAG type = View.tag & TAG_TYPE_MASK;
    if (pdb == NULL || type == TAG_TYPE_NULL || type == TAG_TYPE_LIST || type < TAG_TYPE_NULL ||
        type > TAG_TYPE_BINARY)
    {
        return TRUE;
    }
    TAGID tagid = View.tagid;
    if (!PUT(L",\"raw\":"))
    {
        return FALSE;
    }
    DWORD size = SdbGetTagDataSize(pdb, tagid);
    switch (type)
    {
        case TAG_TYPE_BYTE:
        {
            const BYTE* data = (const BYTE*)SdbGetBinaryTagData(pdb, tagid);
            return data != NULL ? PutUnsigned(data[0]) : PUT(L"null");
        }
        case TAG_TYPE_WORD:
            return size == 2 ? PutUnsigned(SdbReadWORDTag(pdb, tagid, 0)) : PUT(L"null");
        case TAG_TYPE_DWORD:
            return size == 4 ? PutUnsigned(SdbReadDWORDTag(pdb, tagid, 0)) : PUT(L"null");
        case TAG_TYPE_QWORD:
            return size == 8 ? PutUnsigned(SdbReadQWORDTag(pdb, tagid, 0)) : PUT(L"null");
        case TAG_TYPE_STRINGREF:
        case TAG_TYPE_STRING:
        {
            const BYTE* text = (const BYTE*)SdbGetStringTagPtr(pdb, tagid);
            if (text == NULL)
            {
                return PUT(L"null");
            }
            return PUT(L"\"") && PutJsonDatabaseText(text) && PUT(L"\"");
        }
        default:
        {
            const BYTE* data = (const BYTE*)SdbGetBinaryTagData(pdb, tagid);
            if (data == NULL)
            {
                return PUT(L"null");
            }
            return PUT(L"\"") && PutLowerHex(data, size) && PUT(L"\"");
        }
    }
}

// Ends the object of the last tag; cut when its line did not come whole.
static BOOL CloseObject(bool cut)
{
    if (!View.objectOpen)
    {
        return TRUE;
    }
    BOOL written = TRUE;
    if (View.inString)
    {
        written = PUT(L"\"");
    }
    if (View.recordOpen)
    {
        written = written && PUT(L"}");
    }
    if (View.patchOpen)
    {
        written = written && PUT(L"]");
    }
    if (cut)
    {
        written = written && PUT(L",\"cut\":true");
    }
    View.objectOpen = View.inString = View.recordOpen = View.patchOpen = false;
    return written && PUT(L"}\n");
}

// A patch record's line, " Label   = value" after its indent: one field of a record object,
// keyed by the label in lower case; "Action" starts a record, "Rest" follows the records.
static BOOL TakeRecordUnit(WCHAR c)
{
    switch (View.recordStep)
    {
        case RECORD_INDENT:
            View.recordStep = c == L'\t' ? RECORD_INDENT : c == L' ' ? RECORD_LABEL : RECORD_NONE;
            View.labelLength = 0;
            return TRUE;
        case RECORD_LABEL:
            if (c == L' ' && View.labelLength > 0)
            {
                View.recordStep = RECORD_PAD;
            }
            else if (((c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z')) &&
                     View.labelLength < ARRAYSIZE(View.label))
            {
                View.label[View.labelLength++] = c >= L'A' && c <= L'Z' ? (WCHAR)(c + 32) : c;
            }
            else
            {
                View.recordStep = RECORD_NONE;
            }
            return TRUE;
        case RECORD_PAD:
            View.recordStep = c == L' ' ? RECORD_PAD : c == L'=' ? RECORD_SPACE : RECORD_NONE;
            return TRUE;
        case RECORD_SPACE:
        {
            if (c != L' ')
            {
                View.recordStep = RECORD_NONE;
                return TRUE;
            }
            View.recordStep = RECORD_VALUE;
            bool action = View.labelLength == 6 && memcmp(View.label, L"action", 12) == 0;
            bool rest = View.labelLength == 4 && memcmp(View.label, L"rest", 8) == 0;
            BOOL written = TRUE;
            if (View.recordOpen && (action || rest))
            {
                written = PUT(L"}");
                View.recordOpen = false;
            }
            if (rest)
            {
                View.patchOpen = false;
                written = written && PUT(L"],\"");
            }
            else if (!View.recordOpen)
            {
                written = written && PutLiteral(View.records++ == 0 ? L"{\"" : L",{\"");
                View.recordOpen = true;
            }
            else
            {
                written = written && PUT(L",\"");
            }
            View.inString = true;
            return written && Put(View.label, View.labelLength) && PUT(L"\":\"");
        }
        case RECORD_VALUE:
            return PutJsonText(&c, 1, false);
        default:
            return TRUE;
    }
}

// ---------------------------------------------------------------------------------------------
// --stable: a TAGID as the tag's place in the tree

static int CompareEntries(const void* left, const void* right)
{
    TAGID a = ((const LIST_ENTRY*)left)->tagid;
    TAGID b = ((const LIST_ENTRY*)right)->tagid;
    return a < b ? -1 : a > b ? 1 : 0;
}

// One pass over the tree, as the walk makes it: every list with children, its parent and its
// first NAME child, sorted by TAGID. Twelve bytes a list, and a list with a child takes eight
// bytes of the file at least.
static void BuildListTable(PDB pdb)
{
    View.tableBuilt = true;
    typedef struct WALK_FRAME
    {
        TAGID list;
        TAGID child;
        TAGID after;
        DWORD entry; // its index in the table, (DWORD)-1 for the root
    } WALK_FRAME;
    WALK_FRAME stack[FRAME_MAX];
    DWORD capacity = 0;
    DWORD depth = 0;
    bool sorted = true;
    stack[0].list = TAGID_ROOT;
    stack[0].child = SdbGetFirstChild(pdb, TAGID_ROOT);
    stack[0].after = TAGID_NULL;
    stack[0].entry = (DWORD)-1;
    for (;;)
    {
        WALK_FRAME* frame = &stack[depth];
        TAGID child = frame->child;
        if (child == TAGID_NULL || child == frame->after)
        {
            if (depth == 0)
            {
                break;
            }
            depth--;
            continue;
        }
        frame->child = SdbGetNextChild(pdb, frame->list, child);
        TAG tag = SdbGetTagFromTagID(pdb, child);
        if (tag == TAG_NAME && frame->entry != (DWORD)-1 &&
            View.entries[frame->entry].name == TAGID_NULL)
        {
            View.entries[frame->entry].name = child;
        }
        if ((tag & TAG_TYPE_MASK) != TAG_TYPE_LIST)
        {
            continue;
        }
        TAGID first = SdbGetFirstChild(pdb, child);
        if (first == TAGID_NULL)
        {
            continue;
        }
        if (View.entryCount == capacity)
        {
            DWORD more = capacity == 0 ? 1024 : capacity * 2;
            LIST_ENTRY* grown = (LIST_ENTRY*)realloc(View.entries, more * sizeof(LIST_ENTRY));
            if (grown == NULL)
            {
                // Without the table no reference is rewritten: each keeps the listing's value.
                free(View.entries);
                View.entries = NULL;
                View.entryCount = 0;
                return;
            }
            View.entries = grown;
            capacity = more;
        }
        LIST_ENTRY* entry = &View.entries[View.entryCount];
        entry->tagid = child;
        entry->parent = frame->list;
        entry->name = TAGID_NULL;
        sorted =
            sorted && (View.entryCount == 0 || View.entries[View.entryCount - 1].tagid < child);
        View.entryCount++;
        // The walk lists no children of lists at level 255 and deeper.
        if (depth + 1 < FRAME_MAX - 1)
        {
            WALK_FRAME* inner = &stack[++depth];
            inner->list = child;
            inner->child = first;
            inner->after = frame->child != TAGID_NULL ? frame->child : frame->after;
            inner->entry = View.entryCount - 1;
        }
    }
    if (!sorted)
    {
        qsort(View.entries, View.entryCount, sizeof(LIST_ENTRY), CompareEntries);
    }
}

// The index of the last list whose TAGID is at most tagid, or -1.
static long LastListAtOrBefore(TAGID tagid)
{
    long low = 0, high = (long)View.entryCount - 1, found = -1;
    while (low <= high)
    {
        long middle = low + (high - low) / 2;
        if (View.entries[middle].tagid <= tagid)
        {
            found = middle;
            low = middle + 1;
        }
        else
        {
            high = middle - 1;
        }
    }
    return found;
}

static const LIST_ENTRY* ListOf(TAGID tagid)
{
    long at = LastListAtOrBefore(tagid);
    return at >= 0 && View.entries[at].tagid == tagid ? &View.entries[at] : NULL;
}

// Whether tagid is one of the children of list, among the first CHILD_SCAN_MAX.
static bool IsChildOf(PDB pdb, TAGID list, TAGID tagid)
{
    DWORD steps = 0;
    for (TAGID child = SdbGetFirstChild(pdb, list); child != TAGID_NULL && steps < CHILD_SCAN_MAX;
         child = SdbGetNextChild(pdb, list, child), steps++)
    {
        if (child == tagid)
        {
            return true;
        }
    }
    return false;
}

// The tags from the top of the tree down to tagid, innermost last, in chain; gives their count,
// or 0 when tagid is no tag of the tree.
static DWORD ChainOf(PDB pdb, TAGID tagid, TAGID* chain)
{
    if (!View.tableBuilt)
    {
        BuildListTable(pdb);
    }
    TAGID reversed[FRAME_MAX + 1];
    DWORD count = 0;
    const LIST_ENTRY* entry = ListOf(tagid);
    if (entry == NULL)
    {
        // No list with children: its parent is the innermost such list around it.
        long at = LastListAtOrBefore(tagid);
        const LIST_ENTRY* around = at >= 0 ? &View.entries[at] : NULL;
        // No chain is longer than the walk's nesting, whatever a damaged file makes of it.
        for (DWORD steps = 0;
             around != NULL && (ULONGLONG)tagid >= (ULONGLONG)around->tagid + 6 +
                                                       SdbGetTagDataSize(pdb, around->tagid);
             steps++)
        {
            around = steps < FRAME_MAX ? ListOf(around->parent) : NULL;
        }
        if (!IsChildOf(pdb, around != NULL ? around->tagid : TAGID_ROOT, tagid))
        {
            return 0;
        }
        reversed[count++] = tagid;
        entry = around;
    }
    for (; entry != NULL && count < ARRAYSIZE(reversed); entry = ListOf(entry->parent))
    {
        reversed[count++] = entry->tagid;
    }
    for (DWORD index = 0; index < count; index++)
    {
        chain[index] = reversed[count - 1 - index];
    }
    return count;
}

// Writes text with the listing's replacements, as the program writes a database's text.
static BOOL PutListingText(LPCWSTR text)
{
    TEXT_REPLACEMENTS replaced = {0, 0, 0};
    return FileWriteText(PosixListingViewHandle(), text, TextLength(text), &replaced);
}

// The tag's place, from the chain of ChainOf: each tag from the top down by its name, and by
// its NAME in brackets when it has one, joined by "/": DATABASE[My fixes]/LIBRARY/SHIM[Foo].
static BOOL PutChain(PDB pdb, const TAGID* chain, DWORD count)
{
    BOOL written = TRUE;
    for (DWORD index = 0; index < count && written; index++)
    {
        LPCWSTR name = SdbTagToString(SdbGetTagFromTagID(pdb, chain[index]));
        written = (index == 0 || PUT(L"/")) && (name == NULL || PutListingText(name));
        const LIST_ENTRY* entry = ListOf(chain[index]);
        LPCWSTR text = entry != NULL && entry->name != TAGID_NULL
                           ? SdbGetStringTagPtr(pdb, entry->name)
                           : NULL;
        if (text != NULL && written)
        {
            written = PUT(L"[") && PutListingText(text) && PUT(L"]");
        }
    }
    return written;
}

// The TAGID that text shows as "0x" and 1 to 8 hexadecimal digits, or TAGID_NULL.
static TAGID TagidOf(const WCHAR* text, DWORD length)
{
    if (length < 3 || length > 10 || text[0] != L'0' || text[1] != L'x')
    {
        return TAGID_NULL;
    }
    TAGID value = 0;
    for (DWORD index = 2; index < length; index++)
    {
        int digit = HexValue(text[index]);
        if (digit < 0)
        {
            return TAGID_NULL;
        }
        value = (value << 4) | (TAGID)digit;
    }
    return value;
}

// Writes the place of the tag that text names as a TAGID, between before and after; FALSE in
// *placed, with nothing written, when text names no tag of the tree.
static BOOL PutPlaceOf(const WCHAR* text, DWORD length, LPCWSTR before, LPCWSTR after, BOOL* placed)
{
    *placed = FALSE;
    PDB pdb = SdbStandinOpenDatabase();
    TAGID target = TagidOf(text, length);
    if (pdb == NULL || target == TAGID_NULL)
    {
        return TRUE;
    }
    TAGID chain[FRAME_MAX + 1];
    DWORD count = ChainOf(pdb, target, chain);
    if (count == 0)
    {
        return TRUE;
    }
    *placed = TRUE;
    return PutLiteral(before) && PutChain(pdb, chain, count) && PutLiteral(after);
}

static bool IsReferenceTag(void)
{
    if ((View.tag & TAG_TYPE_MASK) != TAG_TYPE_DWORD || View.nameCut || View.nameLength < 5)
    {
        return false;
    }
    const WCHAR* end = View.name + View.nameLength - 5;
    return memcmp(end, L"TAGID", 5 * sizeof(WCHAR)) == 0 &&
           (View.nameLength == 5 || end[-1] == L'_');
}

// Takes one unit of a command line's value (none when the line ends): "-t0x" and the digits
// after it are held until what follows them shows whether they are a TAGID.
static BOOL TakeCommandUnit(WCHAR c, bool lineEnds)
{
    static const WCHAR Lead[] = L"-t0x";
    if (!lineEnds)
    {
        bool extends = View.pendLength < 4 ? c == Lead[View.pendLength]
                                           : HexValue(c) >= 0 && View.pendLength < COMMAND_PEND_MAX;
        if (extends)
        {
            View.pend[View.pendLength++] = c;
            return TRUE;
        }
    }
    if (View.pendLength == 0)
    {
        return lineEnds || Put(&c, 1);
    }
    if (View.pendLength > 4 && (lineEnds || HexValue(c) < 0))
    {
        BOOL placed;
        if (!PutPlaceOf(View.pend + 2, View.pendLength - 2, L"-t<", L">", &placed))
        {
            return FALSE;
        }
        if (placed)
        {
            View.pendLength = 0;
            return lineEnds || Put(&c, 1);
        }
    }
    // No TAGID after all: the held units stand as they are, and a later one may start another.
    WCHAR held[COMMAND_PEND_MAX];
    DWORD count = View.pendLength;
    memcpy(held, View.pend, count * sizeof(WCHAR));
    View.pendLength = 0;
    if (!Put(held, 1))
    {
        return FALSE;
    }
    for (DWORD index = 1; index < count; index++)
    {
        if (!TakeCommandUnit(held[index], false))
        {
            return FALSE;
        }
    }
    return TakeCommandUnit(c, lineEnds);
}

// ---------------------------------------------------------------------------------------------
// Lines

static BOOL TakeUnit(WCHAR c);

static BOOL HeadDone(void)
{
    View.sawTag = true;
    View.state = LINE_NAME;
    View.nameLength = 0;
    View.nameCut = false;
    if (View.kind == LISTING_VIEW_JSON)
    {
        return CloseObject(false) && OpenObject();
    }
    if (View.tabs == 1)
    {
        // The top-level lists that hold only offsets, or texts shown where they are used.
        bool stringTable = View.tag == TAG_STRINGTABLE && !View.stringTableSeen;
        View.stringTableSeen = View.stringTableSeen || View.tag == TAG_STRINGTABLE;
        View.dropping = View.tag == TAG_INDEXES || stringTable;
    }
    if (View.dropping)
    {
        View.state = LINE_DROP;
        return TRUE;
    }
    // The line without its TAGID and one tab of its indent.
    return Put(View.head + 11, View.headLength - 11);
}

// A line that is no tag line, once its head says so.
static BOOL OtherLine(void)
{
    View.state = LINE_OTHER;
    if (View.kind == LISTING_VIEW_JSON)
    {
        View.recordStep = RECORD_INDENT;
        if (!View.patchOpen || View.head[0] != L'\t')
        {
            View.state = LINE_DROP;
            return TRUE;
        }
        for (DWORD index = 0; index < View.headLength; index++)
        {
            if (!TakeRecordUnit(View.head[index]))
            {
                return FALSE;
            }
        }
        return TRUE;
    }
    if (View.dropping)
    {
        View.state = LINE_DROP;
        return TRUE;
    }
    // A patch record's line loses one tab of its indent, as its tag's line does.
    DWORD skip = View.head[0] == L'\t' ? 1 : 0;
    return Put(View.head + skip, View.headLength - skip);
}

static BOOL TakeHeadUnit(WCHAR c)
{
    if (View.headLength == HEAD_MAX)
    {
        return OtherLine() && TakeUnit(c);
    }
    View.head[View.headLength++] = c;
    int step = View.headAlive ? StepHead() : -1;
    if (step == 1)
    {
        return HeadDone();
    }
    View.headAlive = step == 0;
    bool header = View.kind == LISTING_VIEW_STABLE && !View.sawTag;
    bool file = header && HeadStartsWith(FileLabel, ARRAYSIZE(FileLabel) - 1);
    bool column = header && HeadStartsWith(ColumnLead, ARRAYSIZE(ColumnLead) - 1);
    if (file && View.headLength == ARRAYSIZE(FileLabel) - 1)
    {
        // The path: diff names its files, and two versions of a database lie at two paths.
        View.state = LINE_DROP;
        return TRUE;
    }
    if (column && View.headLength == ARRAYSIZE(ColumnLead) - 1)
    {
        View.state = LINE_OTHER;
        return TRUE;
    }
    return View.headAlive || file || column ? TRUE : OtherLine();
}

// The name ends, and what follows it is known: a value, patch records, or nothing.
static BOOL NameDone(void)
{
    if (View.kind == LISTING_VIEW_JSON)
    {
        View.inString = false;
        return PUT(L"\"") && PutRaw();
    }
    return TRUE;
}

static BOOL TakeValueUnit(WCHAR c)
{
    if (View.kind == LISTING_VIEW_JSON)
    {
        return PutJsonText(&c, 1, false);
    }
    switch (View.valueKind)
    {
        case VALUE_REFERENCE:
            if (View.valueLength < VALUE_MAX)
            {
                View.value[View.valueLength++] = c;
                return TRUE;
            }
            View.valueKind = VALUE_PLAIN;
            return Put(View.value, View.valueLength) && Put(&c, 1);
        case VALUE_COMMAND:
            return TakeCommandUnit(c, false);
        default:
            return Put(&c, 1);
    }
}

static BOOL TakeNameUnit(WCHAR c)
{
    if (View.nameLength < NAME_MAX)
    {
        View.name[View.nameLength++] = c;
    }
    else
    {
        View.nameCut = true;
    }
    return View.kind == LISTING_VIEW_JSON ? PutJsonText(&c, 1, false) : Put(&c, 1);
}

static BOOL TakeUnit(WCHAR c)
{
    switch (View.state)
    {
        case LINE_START:
            View.state = LINE_HEAD;
            View.headLength = 0;
            View.headAlive = true;
            View.tabs = 0;
            View.tail = 0;
            View.tagid = 0;
            View.tag = 0;
            return TakeHeadUnit(c);
        case LINE_HEAD:
            return TakeHeadUnit(c);
        case LINE_NAME:
            if (c == L':')
            {
                View.state = LINE_COLON;
                return TRUE;
            }
            return TakeNameUnit(c);
        case LINE_COLON:
            if (c != L' ')
            {
                // A colon of the name itself.
                View.state = LINE_NAME;
                return TakeNameUnit(L':') && TakeUnit(c);
            }
            View.state = LINE_VALUE;
            View.valueLength = 0;
            View.pendLength = 0;
            if (View.kind == LISTING_VIEW_JSON)
            {
                View.valueKind = VALUE_PLAIN;
                if (!NameDone() || !PUT(L",\"value\":\""))
                {
                    return FALSE;
                }
                View.inString = true;
                return TRUE;
            }
            View.valueKind = IsReferenceTag()               ? VALUE_REFERENCE
                             : View.tag == TAG_COMMAND_LINE ? VALUE_COMMAND
                                                            : VALUE_PLAIN;
            return PUT(L": ");
        case LINE_VALUE:
            return TakeValueUnit(c);
        case LINE_OTHER:
            if (View.kind == LISTING_VIEW_JSON)
            {
                return TakeRecordUnit(c);
            }
            return Put(&c, 1);
        default:
            return TRUE;
    }
}

// Ends the line; lineEnd is what ended it ("\r\n" or "\n"), NULL when the listing stops in it.
static BOOL EndLine(LPCWSTR lineEnd)
{
    bool json = View.kind == LISTING_VIEW_JSON;
    // A line shorter than a head is no tag line.
    if (View.state == LINE_HEAD && !OtherLine())
    {
        return FALSE;
    }
    LINE_STATE state = View.state;
    View.state = LINE_START;
    BOOL written = TRUE;
    switch (state)
    {
        case LINE_NAME:
            written = NameDone();
            break;
        case LINE_COLON:
            if (json)
            {
                View.patchOpen = true;
                return NameDone() && PUT(L",\"patch\":[");
            }
            written = PUT(L":");
            break;
        case LINE_VALUE:
            if (json)
            {
                View.inString = false;
                written = PUT(L"\"");
            }
            else if (View.valueKind == VALUE_REFERENCE)
            {
                BOOL placed;
                written = PutPlaceOf(View.value, View.valueLength, L"", L"", &placed) &&
                          (placed || Put(View.value, View.valueLength));
            }
            else if (View.valueKind == VALUE_COMMAND)
            {
                written = TakeCommandUnit(0, true);
            }
            break;
        case LINE_OTHER:
            if (json)
            {
                // A patch record's field ends with its line; the object goes on.
                if (View.recordStep == RECORD_VALUE)
                {
                    View.inString = false;
                    written = PUT(L"\"");
                }
                return written;
            }
            break;
        case LINE_DROP:
            return TRUE;
        default:
            break;
    }
    if (json)
    {
        // A tag's object ends with its line, unless patch records follow it.
        return written && (View.patchOpen || CloseObject(false));
    }
    return written && (lineEnd == NULL || PutLiteral(lineEnd));
}

static BOOL TakeOne(WCHAR c)
{
    if (!View.started)
    {
        View.started = true;
        if (c == 0xFEFF)
        {
            // The byte-order mark stays where it stands, in the stable listing's exact form.
            return View.kind == LISTING_VIEW_JSON || Put(&c, 1);
        }
    }
    if (View.carriage)
    {
        View.carriage = false;
        if (c == L'\n')
        {
            return EndLine(L"\r\n");
        }
        if (!TakeUnit(L'\r'))
        {
            return FALSE;
        }
    }
    if (c == L'\r')
    {
        View.carriage = true;
        return TRUE;
    }
    if (c == L'\n')
    {
        return EndLine(L"\n");
    }
    return TakeUnit(c);
}

// A whole head at units, as the program writes it in one piece: its length, or 0 when the
// units hold no whole head, which is then taken unit by unit.
static DWORD WholeHead(const WCHAR* units, DWORD count)
{
    if (count < 21 || units[0] != L'0' || units[1] != L'x' || units[10] != L'\t')
    {
        return 0;
    }
    DWORD tail = 11;
    while (tail < count && tail < HEAD_MAX - 9 && units[tail] == L'\t')
    {
        tail++;
    }
    if (tail + 9 > count || units[tail] != L'0' || units[tail + 1] != L'x' ||
        units[tail + 6] != L' ' || units[tail + 7] != L'=' || units[tail + 8] != L' ')
    {
        return 0;
    }
    TAGID tagid = 0;
    TAG tag = 0;
    for (DWORD at = 2; at < 10; at++)
    {
        int digit = HexValue(units[at]);
        if (digit < 0)
        {
            return 0;
        }
        tagid = (tagid << 4) | (TAGID)digit;
    }
    for (DWORD at = tail + 2; at < tail + 6; at++)
    {
        int digit = HexValue(units[at]);
        if (digit < 0)
        {
            return 0;
        }
        tag = (TAG)((tag << 4) | digit);
    }
    View.headLength = tail + 9;
    memcpy(View.head, units, View.headLength * sizeof(WCHAR));
    View.tabs = tail - 10;
    View.tail = tail;
    View.tagid = tagid;
    View.tag = tag;
    return View.headLength;
}

static BOOL ViewTake(const WCHAR* units, DWORD count)
{
    for (DWORD index = 0; index < count;)
    {
        if (View.state == LINE_START && View.started && !View.carriage)
        {
            DWORD length = WholeHead(units + index, count - index);
            if (length != 0)
            {
                index += length;
                if (!HeadDone())
                {
                    return FALSE;
                }
                continue;
            }
        }
        // A name comes in one piece too.
        if (View.state == LINE_NAME && !View.carriage)
        {
            DWORD end = index;
            while (end < count && units[end] != L':' && units[end] != L'\r' && units[end] != L'\n')
            {
                end++;
            }
            DWORD room = NAME_MAX - View.nameLength;
            DWORD kept = end - index < room ? end - index : room;
            memcpy(View.name + View.nameLength, units + index, kept * sizeof(WCHAR));
            View.nameLength += kept;
            View.nameCut = View.nameCut || kept < end - index;
            if (!(View.kind == LISTING_VIEW_JSON ? PutJsonText(units + index, end - index, false)
                                                 : Put(units + index, end - index)))
            {
                return FALSE;
            }
            index = end;
            if (index == count)
            {
                break;
            }
        }
        // A line left out is skipped to its end: the index data of a real database is long.
        if (View.state == LINE_DROP && !View.carriage)
        {
            while (index < count && units[index] != L'\r' && units[index] != L'\n')
            {
                index++;
            }
            if (index == count)
            {
                break;
            }
        }
        // Most of a listing is values: a run of plain text goes out in one piece.
        if (View.state == LINE_VALUE && View.valueKind == VALUE_PLAIN && !View.carriage)
        {
            DWORD end = index;
            if (View.kind == LISTING_VIEW_STABLE)
            {
                while (end < count && units[end] != L'\r' && units[end] != L'\n')
                {
                    end++;
                }
            }
            else
            {
                // What JSON escapes: controls (line ends among them), quotes and backslashes.
                while (end < count && units[end] >= 0x20 && units[end] != L'"' &&
                       units[end] != L'\\')
                {
                    end++;
                }
            }
            if (end > index)
            {
                if (!Put(units + index, end - index))
                {
                    return FALSE;
                }
                index = end;
                continue;
            }
        }
        if (!TakeOne(units[index++]))
        {
            return FALSE;
        }
    }
    return TRUE;
}

// Whether the program closed the listing or it was stopped, a line that did not come whole is
// what shows: the line's state tells.
static BOOL ViewEnd(BOOL)
{
    if (View.kind == LISTING_VIEW_JSON)
    {
        // What the listing left unfinished is no tag's whole line: its object says so.
        bool cut = View.state != LINE_START && View.state != LINE_HEAD && View.state != LINE_DROP;
        View.carriage = false;
        View.state = LINE_START;
        return CloseObject(cut);
    }
    BOOL written = TRUE;
    if (View.state != LINE_START)
    {
        written = EndLine(NULL);
    }
    if (View.carriage)
    {
        View.carriage = false;
        written = written && PUT(L"\r");
    }
    return written;
}

void StartView(LISTING_VIEW_KIND kind)
{
    View.kind = kind;
    View.open = 1;
    View.frames[0].list = TAGID_ROOT;
    View.hooks.take = ViewTake;
    View.hooks.end = ViewEnd;
    PosixSetListingView(kind == LISTING_VIEW_NONE ? NULL : &View.hooks);
}

const char* ListingSuffix(void)
{
    return View.kind == LISTING_VIEW_JSON ? ".jsonl" : ".txt";
}
