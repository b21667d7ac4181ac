// The stand-in's word on which database is open, for the Linux command alone.
#pragma once

#include "sdb/Sdb.h"

// The database that SdbOpenDatabase opened last and SdbCloseDatabase has not closed, or null.
// Only the native build has it: the Windows program never asks.
extern "C" PDB WINAPI SdbStandinOpenDatabase(void);
