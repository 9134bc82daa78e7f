#pragma once

#include "system/files.h"

// Every path of an installation, derived from the user's local application
// folder. The first seven are composed by compose_layout; the stages compose
// the archive and part paths when they need them.
struct InstallLayout {
    WidePath InstallRoot;     // %LOCALAPPDATA%\Programs\ZEPT
    WidePath PythonDir;       // runtime extracted here
    WidePath AppDir;          // course extracted here; working folder of the course
    WidePath DownloadsDir;    // every downloaded file
    WidePath MarkerFile;      // written last: the installation is complete
    WidePath PythonwExe;      // what the shortcuts and the launch start
    WidePath LauncherScript;  // the course's launcher, passed to pythonw.exe
    WidePath RuntimeArchive;  // downloads\python-embed.zip
    WidePath PayloadArchive;  // downloads\zept-payload.zip
    WidePath PartFile;        // downloads\zept-payload.partNN, one part at a time
};

// out = parent + "\\" + child, as a WidePath; 0 when it would not fit.
int join_path(wchar_t *out, const wchar_t *parent, const wchar_t *child);

// Composes the layout below local_app_data and creates the downloads folder
// (with every missing parent). 0 when a path would not fit its buffer.
int compose_layout(InstallLayout *layout, const wchar_t *local_app_data);

// 1 when the marker, pythonw.exe and the launcher script all exist.
int installation_complete(const InstallLayout *layout);
