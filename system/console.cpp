#include "system/console.h"

#include <stdio.h>
#include <windows.h>

int pause_at_end(void)
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;

    // A console keeps what was typed while nobody read it: an Enter pressed
    // during a long download would answer this prompt at once and close the
    // window unread. Only a console is emptied; a redirected file or pipe is
    // read as it is.
    if (input != NULL && input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode))
        FlushConsoleInputBuffer(input);
    printf("\nPress Enter to close this window.\n");
    fflush(stdout);
    return getchar();
}
