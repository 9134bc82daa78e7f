#pragma once

#include "system/files.h"

// The runtime archive's name, in the downloads folder and an offline copy.
#define RUNTIME_NAME L"python-embed.zip"

// The two trees of an installation, as flags: which ones a run found
// damaged, could not check, or made afresh.
enum { TREE_RUNTIME = 1, TREE_COURSE = 2 };

// Every path of an installation, derived from the user's local application
// folder, and the folder the setup runs from. compose_layout composes the
// install paths and the package's but the runtime archive's and the
// parts', which the stages compose when they need them (in the downloads
// folder or an offline copy's).
struct InstallLayout {
    WidePath InstallRoot;     // %LOCALAPPDATA%\Programs\ZEPT
    WidePath PythonDir;       // the installed runtime
    WidePath AppDir;          // the installed course; working folder of the course
    WidePath DownloadsDir;    // every downloaded file
    WidePath MarkerFile;      // written last: which release is completely installed
    WidePath PythonwExe;      // what the shortcuts and the launch start
    WidePath LauncherScript;  // the course's launcher, passed to pythonw.exe
    WidePath PythonNew;       // python-new: the runtime is extracted here, then swapped in
    WidePath AppNew;          // app-new: the course is extracted here, then swapped in
    WidePath NewPythonwExe;   // python-new\pythonw.exe
    WidePath NewLauncher;     // app-new\ZEPT-Launcher.pyw
    WidePath Discarded;       // folders replaced or left by an interrupted run, to be deleted
    WidePath SetupCopy;       // zept-setup.exe: the setup of the installed release, for removal
    WidePath SetupCopyNew;    // zept-setup.new: that copy on its way into place
    WidePath RuntimeArchive;  // downloads\python-embed.zip
    WidePath PayloadArchive;  // downloads\zept-payload.zip: built from the parts, deleted once installed
    WidePath PartFile;        // downloads\<the part's name>, one part at a time
    WidePath SetupDir;        // the running setup's folder: an offline copy's files lie beside it
};

// Composes the layout below local_app_data, with no SetupDir (empty);
// creates nothing. 0 when a path would not fit its buffer.
int compose_layout(InstallLayout *layout, const wchar_t *local_app_data);

// Reads "LOCALAPPDATA" and composes the layout below it, with the running
// setup's folder as SetupDir (empty when Windows does not name it). 0 when
// the variable is missing, empty or too long, or a path would not fit.
int find_layout(InstallLayout *layout);
