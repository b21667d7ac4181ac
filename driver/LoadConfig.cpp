// The executable's load configuration: its imported DLLs are loaded from System32 alone.
#include <windows.h>

// apphelp.dll is not one of the platform's known DLLs, so without this the loader would look
// for it in the program's own folder first, where anyone who can write there could plant one.
// Windows 10 1607 and later honour the flag for the DLLs that the image imports.
static constexpr IMAGE_LOAD_CONFIG_DIRECTORY LoadFromSystem32Only(void)
{
    IMAGE_LOAD_CONFIG_DIRECTORY config = {};
    // The loader reads only the fields that Size covers.
    config.Size = sizeof(config);
    // Reserved1 is DependentLoadFlags in newer headers than mingw-w64's.
    config.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32;
    return config;
}

// The linker finds the structure by this name and points the image's directory at it; constant
// initialisation keeps it in read-only data.
extern "C" constexpr IMAGE_LOAD_CONFIG_DIRECTORY _load_config_used = LoadFromSystem32Only();
