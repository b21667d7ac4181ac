// Constant tables of the listing: the indent run, the hex pair table and the day stems.
#pragma once

#include <windows.h>

// Tabs in the indent run; a line at level L is indented by L + 1 of them.
#define INDENT_RUN_LENGTH 10

extern const WCHAR IndentRun[INDENT_RUN_LENGTH + 1];

// "00" to "FF" as one run of 512 characters: byte b is written from HexPairs + 2 * b.
extern const WCHAR HexPairs[256 * 2 + 1];

// Stems of the day names, indexed by the day of the week (0 is Sunday); the format adds "day".
extern const WCHAR DayStems[7][7];

// The indent of a line at the given level, extra tabs deeper: a pointer into the indent run.
// Lines deeper than the run can show get the whole run.
LPCWSTR IndentOf(DWORD level, DWORD extra);
