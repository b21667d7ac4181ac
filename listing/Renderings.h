// Renderings of tag values that continue a listing line after the tag's name.
#pragma once

#include <windows.h>
#include "output/Writers.h"
#include "sdb/Sdb.h"

// Each routine writes the rest of the line, "\r\n" included, and returns 1 when every write
// succeeded, 0 otherwise. Diagnostics go to console; their results are not part of the return.

// The pairs of upper-case hex digits of size bytes, one write per byte, with no separators.
BOOL WriteHexPairs(HANDLE file, const BYTE* data, DWORD size);

// Byte data: ": 0x" and the hex pairs unless size is 0, then the line end.
BOOL WriteByteData(HANDLE file, const BYTE* data, DWORD size);

BOOL WriteDwordValue(HANDLE file, DWORD value);
BOOL WriteQwordValue(HANDLE file, ULONGLONG value);

// A text value: ": ", the text whole (however long, with FileWriteText's replacements, counted
// in *replaced) and the line end; only the line end when text is NULL.
BOOL WriteTextValue(HANDLE file, LPCWSTR text, TEXT_REPLACEMENTS* replaced);

// Calendar time in UTC with its weekday, from a file time or from seconds since 1970. When the
// platform cannot convert the value, reports that and writes the plain hexadecimal value.
BOOL WriteTimeFromFileTime(HANDLE console, HANDLE file, ULONGLONG fileTime);
BOOL WriteTimeFromSeconds(HANDLE console, HANDLE file, DWORD seconds);

// A four-part version, the most significant 16 bits first.
BOOL WriteVersionValue(HANDLE file, ULONGLONG version);

// The text of the 16-byte GUID at data; in hexadecimal when the library cannot convert it.
BOOL WriteGuidValue(HANDLE console, HANDLE file, const BYTE* data);

// The patch records in the data of the PATCH_BITS tag tagid, whose line is at level: ":" and
// the line end, then a block of lines for each REPLACE and MATCH record. Characters replaced in
// module names are counted in *replaced.
BOOL DumpPatchRecords(HANDLE console, HANDLE file, TAGID tagid, const BYTE* data, DWORD size,
                      DWORD level, TEXT_REPLACEMENTS* replaced);
