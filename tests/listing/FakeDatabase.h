// A database held in a table, answering the shim database functions that the listing calls.
#pragma once

#include <windows.h>
#include <stdio.h>
#include <wchar.h>
#include "sdb/Sdb.h"

#define FAKE_PDB ((PDB)(ULONG_PTR)0xDB)
#define MAX_FAKE_TAGS 2048
#define NULL_NAME_TAG ((TAG)0x1FFF)   // SdbTagToString gives NULL for it
#define LONG_NAME_TAG ((TAG)0x1FFE)   // SdbTagToString gives a name of 2000 characters
#define EMPTY_NAME_TAG ((TAG)0x1FFD)  // SdbTagToString gives an empty name, with text after it
#define FORGED_NAME_TAG ((TAG)0x7FFD) // a list whose name holds a line end and a forged line

struct FakeTag
{
    TAGID id;
    TAGID parent;
    TAG tag;
    ULONGLONG number; // the value of a WORD, DWORD or QWORD tag
    const WCHAR* text;
    const BYTE* data;
    DWORD size;
};

struct FakeDatabase
{
    FakeTag tags[MAX_FAKE_TAGS];
    int count;
    BOOL guidFails;
    BOOL guidUnterminated; // SdbGUIDToString fills the whole buffer with '7' and no zero
    SIZE_T guidLength;     // the length last passed to SdbGUIDToString
    WCHAR longName[2001];
};

static FakeDatabase g_db;

static void ResetDatabase(void)
{
    memset(&g_db, 0, sizeof(g_db));
    wmemset(g_db.longName, L'N', 2000);
}

static void AddTag(TAGID id, TAGID parent, TAG tag, ULONGLONG number = 0, const WCHAR* text = NULL,
                   const BYTE* data = NULL, DWORD size = 0)
{
    if (g_db.count == MAX_FAKE_TAGS)
    {
        printf("too many tags in the fake database\n");
        ExitProcess(2);
    }
    FakeTag* entry = &g_db.tags[g_db.count++];
    entry->id = id;
    entry->parent = parent;
    entry->tag = tag;
    entry->number = number;
    entry->text = text;
    entry->data = data;
    entry->size = size;
}

static void AddText(TAGID id, TAGID parent, TAG tag, const WCHAR* text)
{
    AddTag(id, parent, tag, 0, text);
}

static void AddData(TAGID id, TAGID parent, TAG tag, const BYTE* data, DWORD size)
{
    AddTag(id, parent, tag, 0, NULL, data, size);
}

static const FakeTag* FindTag(TAGID id)
{
    for (int index = 0; index < g_db.count; index++)
    {
        if (g_db.tags[index].id == id)
        {
            return &g_db.tags[index];
        }
    }
    return NULL;
}

static bool HasType(const FakeTag* entry, TAG type)
{
    return entry != NULL && (entry->tag & TAG_TYPE_MASK) == type;
}

extern "C"
{
    TAGID WINAPI SdbGetFirstChild(PDB pdb, TAGID parent)
    {
        for (int index = 0; pdb == FAKE_PDB && index < g_db.count; index++)
        {
            if (g_db.tags[index].parent == parent)
            {
                return g_db.tags[index].id;
            }
        }
        return TAGID_NULL;
    }

    TAGID WINAPI SdbGetNextChild(PDB pdb, TAGID parent, TAGID previous)
    {
        bool seen = false;
        for (int index = 0; pdb == FAKE_PDB && index < g_db.count; index++)
        {
            if (seen && g_db.tags[index].parent == parent)
            {
                return g_db.tags[index].id;
            }
            // A tag may be entered under two parents, to play a library that gives it twice.
            seen = seen || (g_db.tags[index].id == previous && g_db.tags[index].parent == parent);
        }
        return TAGID_NULL;
    }

    TAG WINAPI SdbGetTagFromTagID(PDB, TAGID tagid)
    {
        const FakeTag* entry = FindTag(tagid);
        return entry != NULL ? entry->tag : 0;
    }

    LPCWSTR WINAPI SdbTagToString(TAG tag)
    {
        switch (tag)
        {
            case 0x1001:
                return L"INCLUDE";
            case 0x3001:
                return L"MATCH_MODE";
            case 0x4001:
                return L"SIZE";
            case 0x401D:
                return L"LINK_DATE";
            case 0x401E:
                return L"UPTO_LINK_DATE";
            case 0x4033:
                return L"FROM_LINK_DATE";
            case 0x5001:
                return L"TIME";
            case 0x5002:
                return L"BIN_FILE_VERSION";
            case 0x5003:
                return L"BIN_PRODUCT_VERSION";
            case 0x5006:
                return L"UPTO_BIN_PRODUCT_VERSION";
            case 0x5007:
                return L"DATA_QWORD";
            case 0x500D:
                return L"UPTO_BIN_FILE_VERSION";
            case 0x6001:
                return L"NAME";
            case 0x7001:
                return L"DATABASE";
            case 0x7002:
                return L"LIBRARY";
            case 0x7007:
                return L"EXE";
            case 0x8801:
                return L"STRINGTABLE_ITEM";
            case 0x9002:
                return L"PATCH_BITS";
            case 0x9004:
                return L"EXE_ID";
            case 0x9005:
                return L"DATA_BITS";
            case 0x9006:
                return L"MSI_PACKAGE_ID";
            case 0x9007:
                return L"DATABASE_ID";
            case 0x9008:
                return L"CONTEXT_PLATFORM_ID";
            case 0x9009:
                return L"CONTEXT_BRANCH_ID";
            case 0x9010:
                return L"FIX_ID";
            case 0x9011:
                return L"APP_ID";
            case NULL_NAME_TAG:
                return NULL;
            case EMPTY_NAME_TAG:
                return L"\0X";
            case LONG_NAME_TAG:
                return g_db.longName;
            case FORGED_NAME_TAG:
                return L"LIST\r\n0x00000001\t0x1001 = INCLUDE";
            default:
                return L"InvalidTag";
        }
    }

    WORD WINAPI SdbReadWORDTag(PDB, TAGID tagid, WORD fallback)
    {
        const FakeTag* entry = FindTag(tagid);
        return HasType(entry, TAG_TYPE_WORD) ? (WORD)entry->number : fallback;
    }

    DWORD WINAPI SdbReadDWORDTag(PDB, TAGID tagid, DWORD fallback)
    {
        const FakeTag* entry = FindTag(tagid);
        return HasType(entry, TAG_TYPE_DWORD) ? (DWORD)entry->number : fallback;
    }

    ULONGLONG WINAPI SdbReadQWORDTag(PDB, TAGID tagid, ULONGLONG fallback)
    {
        const FakeTag* entry = FindTag(tagid);
        return HasType(entry, TAG_TYPE_QWORD) ? entry->number : fallback;
    }

    LPWSTR WINAPI SdbGetStringTagPtr(PDB, TAGID tagid)
    {
        const FakeTag* entry = FindTag(tagid);
        return entry != NULL ? (LPWSTR)entry->text : NULL;
    }

    PVOID WINAPI SdbGetBinaryTagData(PDB, TAGID tagid)
    {
        const FakeTag* entry = FindTag(tagid);
        return entry != NULL ? (PVOID)entry->data : NULL;
    }

    DWORD WINAPI SdbGetTagDataSize(PDB, TAGID tagid)
    {
        const FakeTag* entry = FindTag(tagid);
        return entry != NULL ? entry->size : 0;
    }

    BOOL WINAPI SdbGUIDToString(const GUID* guid, LPWSTR text, SIZE_T length)
    {
        g_db.guidLength = length;
        if (g_db.guidFails || length < 39)
        {
            return FALSE;
        }
        if (g_db.guidUnterminated)
        {
            wmemset(text, L'7', length);
            return TRUE;
        }
        _snwprintf(text, length, L"{%08lx-%04hx-%04hx-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                   guid->Data1, guid->Data2, guid->Data3, guid->Data4[0], guid->Data4[1],
                   guid->Data4[2], guid->Data4[3], guid->Data4[4], guid->Data4[5], guid->Data4[6],
                   guid->Data4[7]);
        return TRUE;
    }
}
