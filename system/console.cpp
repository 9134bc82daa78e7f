#include "system/console.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

enum { LIVE_LINE_PAUSE_MS = 250 };

int pause_at_end(const char *prompt)
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;

    // A console keeps what was typed while nobody read it: an Enter pressed
    // during a long download would answer this prompt at once and close the
    // window unread. Only a console is emptied; a redirected file or pipe is
    // read as it is.
    if (input != NULL && input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode))
        FlushConsoleInputBuffer(input);
    fputs(prompt, stdout);
    fflush(stdout);
    return getchar();
}

int output_is_console(void)
{
    DWORD mode = 0;
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    return output != NULL && output != INVALID_HANDLE_VALUE && GetConsoleMode(output, &mode);
}

void console_title(const wchar_t *title)
{
    if (output_is_console())
        SetConsoleTitleW(title);
}

void live_line_begin(LiveLine *line)
{
    line->on = output_is_console();
    line->drawn_at = 0;
    line->widest = 0;
}

// Draws text in place now, padded to the widest text drawn.
static void draw_in_place(LiveLine *line, const char *text)
{
    DWORD now = GetTickCount();
    int length = (int)strlen(text);

    if (length > line->widest)
        line->widest = length;
    // Padded to the widest text drawn, or the tail of a longer one stays.
    printf("\r%-*s", line->widest, text);
    fflush(stdout);
    line->drawn_at = now;
}

void live_line_draw(LiveLine *line, const char *text)
{
    if (!line->on || (line->widest > 0 && GetTickCount() - line->drawn_at < LIVE_LINE_PAUSE_MS))
        return;
    draw_in_place(line, text);
}

void live_line_draw_now(LiveLine *line, const char *text)
{
    if (line->on)
        draw_in_place(line, text);
}

void live_line_end(LiveLine *line)
{
    if (line->widest > 0) {
        printf("\r%*s\r", line->widest, "");
        fflush(stdout);
    }
    line->widest = 0;
}

void format_progress(char *out, size_t cap, unsigned long long stored, unsigned long long total, int has_total)
{
    const unsigned long long MB = 1048576;
    // Tenths of a megabyte, rounded down (as a 32-bit count: up to 400 TB).
    unsigned long got = (unsigned long)(stored * 10 / MB);
    unsigned long all = (unsigned long)(total * 10 / MB);
    unsigned long percent = total == 0 || stored >= total ? 100 : (unsigned long)(stored * 100 / total);

    if (cap == 0)
        return;
    if (has_total)
        snprintf(out, cap, "  %lu.%lu of %lu.%lu MB (%lu %%)", got / 10, got % 10, all / 10, all % 10, percent);
    else
        snprintf(out, cap, "  %lu.%lu MB", got / 10, got % 10);
    out[cap - 1] = 0;
}
