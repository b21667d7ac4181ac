// Constant tables of the listing: the indent run, the hex pair table and the day stems.
#include "listing/Tables.h"

const WCHAR IndentRun[INDENT_RUN_LENGTH + 1] = L"\t\t\t\t\t\t\t\t\t\t";

const WCHAR HexPairs[256 * 2 + 1] = L"000102030405060708090A0B0C0D0E0F"
                                    L"101112131415161718191A1B1C1D1E1F"
                                    L"202122232425262728292A2B2C2D2E2F"
                                    L"303132333435363738393A3B3C3D3E3F"
                                    L"404142434445464748494A4B4C4D4E4F"
                                    L"505152535455565758595A5B5C5D5E5F"
                                    L"606162636465666768696A6B6C6D6E6F"
                                    L"707172737475767778797A7B7C7D7E7F"
                                    L"808182838485868788898A8B8C8D8E8F"
                                    L"909192939495969798999A9B9C9D9E9F"
                                    L"A0A1A2A3A4A5A6A7A8A9AAABACADAEAF"
                                    L"B0B1B2B3B4B5B6B7B8B9BABBBCBDBEBF"
                                    L"C0C1C2C3C4C5C6C7C8C9CACBCCCDCECF"
                                    L"D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF"
                                    L"E0E1E2E3E4E5E6E7E8E9EAEBECEDEEEF"
                                    L"F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF";

const WCHAR DayStems[7][7] = {L"Sun", L"Mon", L"Tues", L"Wednes", L"Thurs", L"Fri", L"Satur"};

LPCWSTR IndentOf(DWORD level, DWORD extra)
{
    if (level >= INDENT_RUN_LENGTH || extra >= INDENT_RUN_LENGTH ||
        level + 1 + extra >= INDENT_RUN_LENGTH)
    {
        return IndentRun;
    }
    return IndentRun + INDENT_RUN_LENGTH - (level + 1 + extra);
}
