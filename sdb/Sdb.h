// Declarations of the shim database functions of apphelp.dll that shimlist uses.
#pragma once

#include <windows.h>

typedef struct tagSDBDATABASE* PDB; // opaque handle of an open database
typedef DWORD TAGID;                // a tag's identifier (its offset in the file)
typedef WORD TAG;                   // a tag value; the upper four bits are its type

#define TAGID_ROOT ((TAGID)0) // as a parent: the root of the database
#define TAGID_NULL ((TAGID)0) // as a result: no (further) tag

#define TAG_TYPE_MASK ((TAG)0xF000)
#define TAG_TYPE_NULL ((TAG)0x1000)
#define TAG_TYPE_BYTE ((TAG)0x2000)
#define TAG_TYPE_WORD ((TAG)0x3000)
#define TAG_TYPE_DWORD ((TAG)0x4000)
#define TAG_TYPE_QWORD ((TAG)0x5000)
#define TAG_TYPE_STRINGREF ((TAG)0x6000)
#define TAG_TYPE_LIST ((TAG)0x7000)
#define TAG_TYPE_STRING ((TAG)0x8000)
#define TAG_TYPE_BINARY ((TAG)0x9000)

typedef enum _PATH_TYPE
{
    DOS_PATH = 0,
    NT_PATH = 1
} PATH_TYPE;

// The platform library exports these undecorated but with the stdcall convention, so the
// 32-bit import library maps the decorated names (see apphelp.def) onto the plain ones.
extern "C"
{
    BOOL WINAPI SdbGetDatabaseVersion(LPCWSTR path, LPDWORD major, LPDWORD minor);
    PDB WINAPI SdbOpenDatabase(LPCWSTR path, PATH_TYPE type);
    void WINAPI SdbCloseDatabase(PDB pdb);
    TAGID WINAPI SdbGetFirstChild(PDB pdb, TAGID parent);
    TAGID WINAPI SdbGetNextChild(PDB pdb, TAGID parent, TAGID previous);
    TAG WINAPI SdbGetTagFromTagID(PDB pdb, TAGID tagid);
    LPCWSTR WINAPI SdbTagToString(TAG tag);
    WORD WINAPI SdbReadWORDTag(PDB pdb, TAGID tagid, WORD fallback);
    DWORD WINAPI SdbReadDWORDTag(PDB pdb, TAGID tagid, DWORD fallback);
    ULONGLONG WINAPI SdbReadQWORDTag(PDB pdb, TAGID tagid, ULONGLONG fallback);
    LPWSTR WINAPI SdbGetStringTagPtr(PDB pdb, TAGID tagid);
    PVOID WINAPI SdbGetBinaryTagData(PDB pdb, TAGID tagid);
    DWORD WINAPI SdbGetTagDataSize(PDB pdb, TAGID tagid);
    // Since Vista the platform's function takes the buffer length as a third argument; a call
    // with two would leave the 32-bit stack unbalanced, so the length is always passed.
    BOOL WINAPI SdbGUIDToString(const GUID* guid, LPWSTR text, SIZE_T length);
}
