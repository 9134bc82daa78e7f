#include "system/dll.h"

HMODULE load_system_dll(const wchar_t *name)
{
    // Functions bound with GetProcAddress need no import slot: nothing is
    // written into the image at run time, whatever protection the linker
    // gives its import section.
    return LoadLibraryExW(name, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
}
