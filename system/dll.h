#pragma once

#include <windows.h>

// A DLL that is not one of the KnownDLLs (winhttp, bcrypt), loaded from the
// Windows system folder only: never from the program's own folder (a
// setup runs from Downloads, where a planted DLL may lie) nor the current
// one. The handle, or NULL when it cannot be had; the caller frees it with
// FreeLibrary in the routine that loaded it.
HMODULE load_system_dll(const wchar_t *name);

// Takes the function name from dll into *slot, typed as the prototype the
// caller declares (decltype(&Function)). 1 when the DLL has it; 0, and
// *slot NULL, when it does not.
template <typename Function>
int bind_function(HMODULE dll, const char *name, Function *slot)
{
    *slot = reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(dll, name)));
    return *slot != NULL;
}
