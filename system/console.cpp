#include "system/console.h"

#include <stdio.h>

int pause_at_end(void)
{
    printf("\nPress Enter to close this window.\n");
    fflush(stdout);
    return getchar();
}
