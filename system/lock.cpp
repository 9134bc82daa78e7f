#include "system/lock.h"

int take_setup_lock(const wchar_t *name, HANDLE *lock)
{
    *lock = CreateMutexW(NULL, FALSE, name);
    if (*lock == NULL)
        return 1;
    // Abandoned: the run that held it was killed; the lock is ours now.
    DWORD waited = WaitForSingleObject(*lock, 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
        return 1;
    CloseHandle(*lock);
    *lock = NULL;
    return 0;
}

void release_setup_lock(HANDLE lock)
{
    if (lock == NULL)
        return;
    ReleaseMutex(lock);
    CloseHandle(lock);
}
