#include "setup/register.h"

#include <windows.h>

#include "pins.h"
#include "system/files.h"
#include "system/folders.h"
#include "system/registry.h"

enum { UNINSTALL_CHARS = WIDE_PATH_CHARS + 32, VERSION_CHARS = 32, DATE_CHARS = 16 };

void register_installation(const InstallLayout *layout, int measure)
{
    WidePath self;
    wchar_t uninstall[UNINSTALL_CHARS];
    wchar_t quiet_uninstall[UNINSTALL_CHARS];
    wchar_t repair[UNINSTALL_CHARS];
    wchar_t version[VERSION_CHARS];
    wchar_t date[DATE_CHARS];
    SYSTEMTIME today;
    UninstallEntry entry;

    // Started from that copy (a repair from Settings, say): nothing to copy.
    if (program_path(self) && CompareStringOrdinal(self, -1, layout->SetupCopy, -1, TRUE) != CSTR_EQUAL)
        install_copy(self, layout->SetupCopy, layout->SetupCopyNew);

    GetLocalTime(&today);
    if (!compose_path(uninstall, UNINSTALL_CHARS, L"\"%ls\" --uninstall", layout->SetupCopy) ||
        !compose_path(quiet_uninstall, UNINSTALL_CHARS, L"\"%ls\" --uninstall --quiet", layout->SetupCopy) ||
        !compose_path(repair, UNINSTALL_CHARS, L"\"%ls\" --repair", layout->SetupCopy) ||
        !compose_path(version, VERSION_CHARS, L"%hs", COURSE_VERSION) ||
        !compose_path(date, DATE_CHARS, L"%04u%02u%02u", today.wYear, today.wMonth, today.wDay))
        return;
    entry.display_name = L"Tarnwick - Olvenmark";
    entry.display_version = version;
    entry.publisher = L"Olvenmark";
    entry.install_location = layout->InstallRoot;
    entry.uninstall_string = uninstall;
    entry.quiet_uninstall_string = quiet_uninstall;
    entry.modify_path = repair;
    entry.display_icon = layout->SetupCopy;
    entry.install_date = date;
    entry.estimated_size_kib = 0;
    if (measure || !uninstall_entry_exists(UNINSTALL_KEY))
        entry.estimated_size_kib = (unsigned long)((tree_size(layout->InstallRoot) + 1023) / 1024);
    entry.help_link = HELP_URL;
    write_uninstall_entry(UNINSTALL_KEY, &entry);
}
