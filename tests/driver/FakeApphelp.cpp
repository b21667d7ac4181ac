// A test double of apphelp.dll that fails on request, for the run's branches that only another
// library takes.
#include "FakeDatabase.h"

// SHIMLIST_FAKE_APPHELP says what the library does:
//   "silent-open": the version query fails with ERROR_INVALID_DATA, then the open fails and
//                  leaves the last error as it found it;
//   "no-version":  the version query fails and leaves 7.9 in its outputs, the open succeeds;
//   "close-output": version 3.0, the open succeeds, and closing the database closes standard
//                  output as well, so that the run's own close of it fails;
//   "silent-open-close-output": as "silent-open", and the open closes standard output first;
//   anything else: version 3.0, the open succeeds.
// The database that opens holds one INCLUDE tag.
static BOOL ModeIs(LPCWSTR mode)
{
    WCHAR value[32];
    DWORD length = GetEnvironmentVariableW(L"SHIMLIST_FAKE_APPHELP", value, ARRAYSIZE(value));
    return length != 0 && length < ARRAYSIZE(value) && wcscmp(value, mode) == 0;
}

extern "C"
{
    BOOL WINAPI SdbGetDatabaseVersion(LPCWSTR, LPDWORD major, LPDWORD minor)
    {
        *major = 3;
        *minor = 0;
        if (ModeIs(L"silent-open") || ModeIs(L"no-version") || ModeIs(L"silent-open-close-output"))
        {
            *major = 7;
            *minor = 9;
            SetLastError(ERROR_INVALID_DATA);
            return FALSE;
        }
        return TRUE;
    }

    PDB WINAPI SdbOpenDatabase(LPCWSTR, PATH_TYPE)
    {
        DWORD error = GetLastError();
        BOOL fails = ModeIs(L"silent-open");
        if (ModeIs(L"silent-open-close-output"))
        {
            CloseHandle(GetStdHandle(STD_OUTPUT_HANDLE));
            fails = TRUE;
        }
        SetLastError(error);
        if (fails)
        {
            return NULL;
        }
        ResetDatabase();
        AddTag(0x0C, TAGID_ROOT, 0x1001);
        return FAKE_PDB;
    }

    void WINAPI SdbCloseDatabase(PDB)
    {
        if (ModeIs(L"close-output"))
        {
            CloseHandle(GetStdHandle(STD_OUTPUT_HANDLE));
        }
    }
}
