#include "system/registry.h"

#include <windows.h>

static int set_text(HKEY key, const wchar_t *name, const wchar_t *value)
{
    DWORD bytes = (DWORD)((wcslen(value) + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)value, bytes) == ERROR_SUCCESS;
}

// A text value, or no value at all for an empty text.
static int set_optional_text(HKEY key, const wchar_t *name, const wchar_t *value)
{
    if (value[0] != 0)
        return set_text(key, name, value);
    LSTATUS status = RegDeleteValueW(key, name);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

static int set_number(HKEY key, const wchar_t *name, DWORD value)
{
    return RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&value, sizeof(value)) == ERROR_SUCCESS;
}

int write_uninstall_entry(const wchar_t *key_path, const UninstallEntry *entry)
{
    int ok = 0;
    HKEY key = NULL;

    if (RegCreateKeyExW(HKEY_CURRENT_USER, key_path, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL) !=
        ERROR_SUCCESS) {
        key = NULL;
        goto done;
    }
    if (!set_text(key, L"DisplayName", entry->display_name) ||
        !set_text(key, L"DisplayVersion", entry->display_version) ||
        !set_text(key, L"Publisher", entry->publisher) ||
        !set_text(key, L"InstallLocation", entry->install_location) ||
        !set_text(key, L"UninstallString", entry->uninstall_string) ||
        !set_text(key, L"QuietUninstallString", entry->quiet_uninstall_string) ||
        !set_text(key, L"ModifyPath", entry->modify_path) ||
        !set_text(key, L"DisplayIcon", entry->display_icon) ||
        !set_text(key, L"InstallDate", entry->install_date) ||
        (entry->estimated_size_kib != 0 && !set_number(key, L"EstimatedSize", entry->estimated_size_kib)) ||
        !set_number(key, L"NoModify", 0) || !set_number(key, L"NoRepair", 1) ||
        !set_optional_text(key, L"HelpLink", entry->help_link))
        goto done;
    ok = 1;

done:
    if (key != NULL)
        RegCloseKey(key);
    return ok;
}

int uninstall_entry_exists(const wchar_t *key_path)
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key_path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return 0;
    RegCloseKey(key);
    return 1;
}

int delete_uninstall_entry(const wchar_t *key_path)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, key_path);
    RegDeleteKeyW(HKEY_CURRENT_USER, key_path);
    return !uninstall_entry_exists(key_path);
}
