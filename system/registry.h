#pragma once

#include <wchar.h>

// The values of a per-user uninstall entry, as Settings -> Apps shows them.
struct UninstallEntry {
    const wchar_t *display_name;
    const wchar_t *display_version;
    const wchar_t *publisher;
    const wchar_t *install_location;
    const wchar_t *uninstall_string;
    const wchar_t *quiet_uninstall_string;  // the same with nobody there
    const wchar_t *modify_path;             // what Settings' "Modify" runs
    const wchar_t *display_icon;
    const wchar_t *install_date;      // yyyymmdd
    unsigned long estimated_size_kib; // 0: the value the key holds stays
    const wchar_t *help_link;         // empty: none (one written before is deleted)
};

// Creates or renews the key (below HKEY_CURRENT_USER) with the entry's
// values, NoModify 0 (Settings offers "Modify": modify_path) and NoRepair 1
// (Windows' own repair is for Windows Installer packages). 1 when every value was written.
// 0 when one could not be: the values are written in the order of the
// struct and the first refusal stops, so the key may then exist with the
// values before it (and any from an earlier entry); nothing is rolled back.
// A later call writes the whole entry again.
int write_uninstall_entry(const wchar_t *key, const UninstallEntry *entry);

// 1 when the key (below HKEY_CURRENT_USER) exists.
int uninstall_entry_exists(const wchar_t *key);

// Deletes the key (below HKEY_CURRENT_USER) with its values. 1 when it no
// longer exists.
int delete_uninstall_entry(const wchar_t *key);
