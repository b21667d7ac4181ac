// What the stand-in knows of the last database it opened: the file's size and hash, and its first
// damage.
#pragma once

#include <stdint.h>

// Where a database is not whole: the kinds of damage, in the terms of the file's own structure.
//
// A top-level tag is judged against the end of the file, any other tag against the end of the
// list that holds it (which lies inside the file, or the list itself would be the damage).
// Bytes after the last top-level tag are stray when the tag there has no defined type (0x0000,
// 0xA000 to 0xF000): such a tag has no size that could be trusted, and a database holds none at
// its top level. One byte left where a tag would start is a tag cut by the end of the file. One
// pad byte after odd-size data is no damage, nor is its absence at the very end of the file.
typedef enum _SDB_DAMAGE_WHAT
{
    SDB_DAMAGE_NONE = 0,
    SDB_DAMAGE_TAG_PAST_FILE_END,  // the tag or its size field is cut by the end of the file
    SDB_DAMAGE_DATA_PAST_FILE_END, // the tag's data runs past the end of the file
    SDB_DAMAGE_TAG_PAST_LIST_END,  // the tag, its size or its data runs past its list's end
    SDB_DAMAGE_BYTES_AFTER_TAGS,   // bytes after the last top-level tag that are no tag
    SDB_DAMAGE_STRINGREF_OUTSIDE,  // a STRINGREF that names no string-table item
} SDB_DAMAGE_WHAT;

// The first damage to the structure in file order; in a whole structure, the first reference
// that names no string-table item. (A file cut short is most often cut inside its string table,
// its last part, and then has no table at all: every reference before the cut would name
// nothing.) A string-table item is a STRING child of the root's first STRINGTABLE; a reference
// names one when the table's TAGID plus the reference is exactly the item's TAGID; a reference of
// 0 names no text and is no damage.
typedef struct _SDB_DAMAGE
{
    uint32_t what; // SDB_DAMAGE_WHAT
    bool cutShort; // true for the two *_PAST_FILE_END kinds: the file ends too early
    uint32_t
        tagid; // where the damaged tag starts (for BYTES_AFTER_TAGS: where the stray bytes start)
    uint64_t missing; // bytes needed past the end (file or list); for BYTES_AFTER_TAGS the count of
                      // stray bytes; for STRINGREF_OUTSIDE the reference's value
    uint32_t end;     // the end it runs past (the list's end or the file's size); for
                      // STRINGREF_OUTSIDE the string table's end, 0 when there is none
} SDB_DAMAGE;

typedef struct _SDB_EVIDENCE
{
    bool opened;        // SdbOpenDatabase succeeded at least once in this process
    uint64_t fileSize;  // bytes of the file as read (compressed or not)
    uint8_t sha256[32]; // SHA-256 of those bytes
    uint32_t imageSize; // bytes of the database (unpacked)
    SDB_DAMAGE damage;  // the first damage; what == SDB_DAMAGE_NONE when whole
} SDB_EVIDENCE;

// The record of the last database that SdbOpenDatabase opened in this process (a failed open
// leaves it as it was); TRUE when one was opened, else FALSE with the record zeroed. Declared
// for callers that have the platform's types; the Windows DLL does not export it.
#ifdef WINAPI
extern "C" BOOL WINAPI SdbStandinGetEvidence(SDB_EVIDENCE* evidence);
#endif
