#pragma once

#include <wchar.h>

// Writes the shell shortcut link_path (replacing one that is there) with the
// given target, argument text, working folder and description (its
// tooltip). Needs COM initialised on the calling thread.
// Every failure is silent: no file, or a file without the property whose
// setter failed.
void make_shortcut(const wchar_t *link_path, const wchar_t *target, const wchar_t *arguments,
                   const wchar_t *work_dir, const wchar_t *description);

// 1 when the shell shortcut link_path can be read and starts target (the
// same path, compared without regard to case). Needs COM initialised on the
// calling thread. 0 for a missing or unreadable link or another target.
int shortcut_starts(const wchar_t *link_path, const wchar_t *target);
