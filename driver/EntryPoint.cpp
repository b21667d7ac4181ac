// Placeholder process entry until the run sequence lands.
#include "sdb/Sdb.h"

extern "C" void WINAPI EntryPoint(void)
{
    DWORD major = 0, minor = 0;
    SdbGetDatabaseVersion(L"x", &major, &minor);
    ExitProcess(0);
}
