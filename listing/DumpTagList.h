// The depth-first listing of a shim database's tag tree, one line per tag.
#pragma once

#include <windows.h>
#include "sdb/Sdb.h"

// Lists every child of parent (TAGID_ROOT for the whole database) and, recursively, the children
// of every list, into file; diagnostics go to console. level is 0 for the children of the root.
// Each call reports its own failed writes once on the console, naming its level. Returns 1 when
// every line of this call and of all nested calls was written whole, 0 otherwise. Sets *cutOff
// when the children of a list nested too deep were left out, and leaves it alone otherwise. A child
// that is also the tag listed after its list ends that list's children, with a console line.
BOOL DumpTagList(HANDLE console, HANDLE file, PDB pdb, TAGID parent, DWORD level, BOOL* cutOff);
