// The depth-first listing of a shim database's tag tree, one line per tag.
#pragma once

#include <windows.h>
#include "output/Writers.h"
#include "sdb/Sdb.h"

// What a walk learns besides its lines, for the run to decide on once the walk is over. The
// caller clears it before the walk.
typedef struct WALK_NOTES
{
    BOOL cutOff;                // the children of a list nested too deep were left out
    DWORD replacedTags;         // tags whose texts were shown with replacements
    TEXT_REPLACEMENTS replaced; // their replacements, summed over those tags
} WALK_NOTES;

// Real databases nest lists six deep at most. A damaged file can nest them deep enough to
// exhaust the stack, so the walk does not descend into lists at this level or deeper.
#define MAX_LIST_LEVEL 256

// Lists every child of parent (TAGID_ROOT for the whole database) and, recursively, the children
// of every list, into file; diagnostics go to console. level is 0 for the children of the root.
// Each list reports its own failed writes once on the console, naming its level. Returns 1 when
// every line was written whole, 0 otherwise, with the last error of a failed write. Sets
// notes->cutOff when the children of a list nested too deep were left out, and leaves it alone
// otherwise. A child that is also the tag listed after its list ends that list's children, with
// a console line. The first tag whose texts needed replacements is named on the console; when
// there were more, one line after the walk gives their number and the summed counts.
BOOL DumpTagList(HANDLE console, HANDLE file, PDB pdb, TAGID parent, DWORD level,
                 WALK_NOTES* notes);
