#pragma once
// Helpers shared by the unit tests: a fresh folder under the prefix's
// temporary folder, writing a file in one go, and a folder test.

#include <string>
#include <windows.h>

// A new, empty folder under the temporary folder, unique to this run.
inline std::wstring fresh_temp_dir(const wchar_t *tag)
{
    wchar_t temp[MAX_PATH];
    wchar_t name[64];
    GetTempPathW(MAX_PATH, temp);
    _snwprintf(name, 64, L"zept-unit-%ls-%lu-%lu", tag, GetCurrentProcessId(), GetTickCount());
    name[63] = 0;
    std::wstring dir = std::wstring(temp) + name;
    CreateDirectoryW(dir.c_str(), NULL);
    return dir;
}

inline bool write_file(const std::wstring &path, const std::string &content)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD put = 0;
    BOOL ok = WriteFile(file, content.data(), (DWORD)content.size(), &put, NULL);
    CloseHandle(file);
    return ok && put == content.size();
}

inline bool is_dir(const std::wstring &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}
