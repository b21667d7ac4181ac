// The depth-first walk over a database's tag tree: line heads, dispatch by type and tag value,
// and the recursion into lists.
#include "listing/DumpTagList.h"
#include "listing/Renderings.h"
#include "listing/Tables.h"
#include "output/Writers.h"

// Tags whose values get a rendering of their own.
#define TAG_LINK_DATE ((TAG)0x401D)
#define TAG_UPTO_LINK_DATE ((TAG)0x401E)
#define TAG_TIME ((TAG)0x5001)
#define TAG_BIN_FILE_VERSION ((TAG)0x5002)
#define TAG_BIN_PRODUCT_VERSION ((TAG)0x5003)
#define TAG_UPTO_BIN_PRODUCT_VERSION ((TAG)0x5006)
#define TAG_UPTO_BIN_FILE_VERSION ((TAG)0x500D)
#define TAG_PATCH_BITS ((TAG)0x9002)
#define TAG_EXE_ID ((TAG)0x9004)
#define TAG_MSI_PACKAGE_ID ((TAG)0x9006)
#define TAG_DATABASE_ID ((TAG)0x9007)
#define TAG_CONTEXT_PLATFORM_ID ((TAG)0x9008)
#define TAG_CONTEXT_BRANCH_ID ((TAG)0x9009)
#define TAG_FIX_ID ((TAG)0x9010)
#define TAG_APP_ID ((TAG)0x9011)

static BOOL IsGuidTag(TAG tag)
{
    switch (tag)
    {
        case TAG_EXE_ID:
        case TAG_MSI_PACKAGE_ID:
        case TAG_DATABASE_ID:
        case TAG_CONTEXT_PLATFORM_ID:
        case TAG_CONTEXT_BRANCH_ID:
        case TAG_FIX_ID:
        case TAG_APP_ID:
            return TRUE;
        default:
            return FALSE;
    }
}

// Writes the rest of the line of a tag that is not a list; returns the ANDed write results.
// Characters replaced in its texts are counted in *replaced.
static BOOL DumpTagValue(HANDLE console, HANDLE file, PDB pdb, TAGID tagid, TAG tag, DWORD level,
                         TEXT_REPLACEMENTS* replaced)
{
    switch (tag & TAG_TYPE_MASK)
    {
        case TAG_TYPE_NULL:
            return FileWriteChars(file, L"\r\n", 2);

        case TAG_TYPE_WORD:
        {
            WORD value = SdbReadWORDTag(pdb, tagid, 0xFFFF);
            if (value == 0xFFFF)
            {
                return FileWriteChars(file, L"\r\n", 2);
            }
            return FilePrintf(file, L": 0x%04hX\r\n", value);
        }

        case TAG_TYPE_DWORD:
        {
            DWORD value = SdbReadDWORDTag(pdb, tagid, 0xFFFFFFFF);
            if (value == 0xFFFFFFFF)
            {
                return FileWriteChars(file, L"\r\n", 2);
            }
            if (tag == TAG_LINK_DATE || tag == TAG_UPTO_LINK_DATE)
            {
                return WriteTimeFromSeconds(console, file, value);
            }
            return WriteDwordValue(file, value);
        }

        case TAG_TYPE_QWORD:
        {
            ULONGLONG value = SdbReadQWORDTag(pdb, tagid, ~0ULL);
            if (value == ~0ULL)
            {
                return FileWriteChars(file, L"\r\n", 2);
            }
            switch (tag)
            {
                case TAG_TIME:
                    return WriteTimeFromFileTime(console, file, value);
                case TAG_BIN_FILE_VERSION:
                case TAG_BIN_PRODUCT_VERSION:
                case TAG_UPTO_BIN_PRODUCT_VERSION:
                case TAG_UPTO_BIN_FILE_VERSION:
                    return WriteVersionValue(file, value);
                default:
                    return WriteQwordValue(file, value);
            }
        }

        case TAG_TYPE_STRINGREF:
        case TAG_TYPE_STRING:
            return WriteTextValue(file, SdbGetStringTagPtr(pdb, tagid), replaced);

        case TAG_TYPE_BYTE:
        case TAG_TYPE_BINARY:
        {
            const BYTE* data = (const BYTE*)SdbGetBinaryTagData(pdb, tagid);
            DWORD size = SdbGetTagDataSize(pdb, tagid);
            // Without data there is nothing to show, whatever size the library claims.
            if (data == NULL)
            {
                return FileWriteChars(file, L"\r\n", 2);
            }
            if (tag == TAG_PATCH_BITS)
            {
                return DumpPatchRecords(console, file, tagid, data, size, level, replaced);
            }
            if (IsGuidTag(tag) && size == sizeof(GUID))
            {
                return WriteGuidValue(console, file, data);
            }
            return WriteByteData(file, data, size);
        }

        default:
        {
            BOOL written = FileWriteChars(file, L"\r\n", 2);
            ConsolePrintf(console, L"Undefined TAG_TYPE 0x%04hX for TAGID 0x%08lX\n", tag, tagid);
            return written;
        }
    }
}

// Notes a tag whose texts are shown with replacements: the listing stays one line per tag, and
// the reader learns that values differ from the database's text. Only the first tag gets a
// console line of its own; a real database can have hundreds, which would bury the failures
// among them, so the others go into the total that DumpTagList shows after the walk.
static void NoteReplacements(HANDLE console, TAGID tagid, const TEXT_REPLACEMENTS* replaced,
                             WALK_NOTES* notes)
{
    if (!AnyReplaced(replaced))
    {
        return;
    }
    if (notes->replacedTags == 0)
    {
        ConsolePrintf(console,
                      L"Text of TAGID 0x%08lX shown with replacements: control characters %lu, "
                      L"line separators %lu, unpaired surrogates %lu\n",
                      tagid, replaced->controls, replaced->lineSeparators, replaced->surrogates);
    }
    notes->replacedTags++;
    notes->replaced.controls += replaced->controls;
    notes->replaced.lineSeparators += replaced->lineSeparators;
    notes->replaced.surrogates += replaced->surrogates;
}

// after is the tag that the walk lists once the children of parent are done: the next sibling of
// parent or of its nearest ancestor that has one, TAGID_NULL at the end of the database.
static BOOL DumpChildren(HANDLE console, HANDLE file, PDB pdb, TAGID parent, DWORD level,
                         TAGID after, WALK_NOTES* notes)
{
    // This call's own lines decide its report; the nested calls report their own.
    BOOL written = TRUE;
    BOOL nestedWritten = TRUE;
    LPCWSTR indent = IndentOf(level, 0);
    TAGID next = TAGID_NULL;

    for (TAGID child = SdbGetFirstChild(pdb, parent); child != TAGID_NULL; child = next)
    {
        // A library that runs past the end of a list gives the tags after it as its children,
        // which would list them twice. Only the identity of the tags is compared.
        if (child == after)
        {
            ConsolePrintf(console,
                          L"TAGID 0x%08lX follows the list TAGID 0x%08lX and is also given as "
                          L"its child: the list ends there\n",
                          child, parent);
            break;
        }
        next = SdbGetNextChild(pdb, parent, child);
        TAG tag = SdbGetTagFromTagID(pdb, child);
        LPCWSTR name = SdbTagToString(tag);
        TEXT_REPLACEMENTS replaced = {0, 0, 0};
        // The name is written apart from the formatter so that no name can cut the line.
        written &= FilePrintf(file, L"0x%08lX%ls0x%04hX = ", child, indent, tag);
        if (name != NULL)
        {
            written &= FileWriteText(file, name, TextLength(name), &replaced);
        }

        if ((tag & TAG_TYPE_MASK) != TAG_TYPE_LIST)
        {
            written &= DumpTagValue(console, file, pdb, child, tag, level, &replaced);
            NoteReplacements(console, child, &replaced, notes);
            continue;
        }
        written &= FileWriteChars(file, L"\r\n", 2);
        NoteReplacements(console, child, &replaced, notes);
        if (level >= MAX_LIST_LEVEL - 1)
        {
            ConsolePrintf(console,
                          L"Lists nest deeper than %lu levels: the children of TAGID 0x%08lX "
                          L"are not listed\n",
                          (DWORD)MAX_LIST_LEVEL, child);
            // The listing is incomplete. The caller learns it from the flag rather than from the
            // last error, which any later call may change.
            notes->cutOff = TRUE;
            continue;
        }
        nestedWritten &= DumpChildren(console, file, pdb, child, level + 1,
                                      next != TAGID_NULL ? next : after, notes);
    }

    if (!written)
    {
        ConsolePrintf(console, L"%ls() returned error %lu for level %lu\n", L"WriteFile",
                      GetLastError(), level);
    }
    return written & nestedWritten;
}

BOOL DumpTagList(HANDLE console, HANDLE file, PDB pdb, TAGID parent, DWORD level, WALK_NOTES* notes)
{
    BOOL written = DumpChildren(console, file, pdb, parent, level, TAGID_NULL, notes);
    // The first tag's line does not say that others followed it.
    if (notes->replacedTags > 1)
    {
        ConsolePrintf(console,
                      L"Texts of %lu tags shown with replacements in all: control characters "
                      L"%lu, line separators %lu, unpaired surrogates %lu\n",
                      notes->replacedTags, notes->replaced.controls, notes->replaced.lineSeparators,
                      notes->replaced.surrogates);
    }
    return written;
}
