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

void format_install_progress(char *out, size_t cap, unsigned long long stored, unsigned long long total,
                             int has_total, int has_rate, unsigned long long per_second, long long seconds_left)
{
    const unsigned long long MB = 1048576;
    size_t used = 0;

    format_progress(out, cap, stored, total, has_total);
    if (cap == 0 || !has_rate)
        return;
    used = strlen(out);
    if (per_second >= MB) {
        unsigned long tenths = (unsigned long)(per_second * 10 / MB);
        snprintf(out + used, cap - used, ", %lu.%lu MB/s", tenths / 10, tenths % 10);
    } else {
        snprintf(out + used, cap - used, ", %lu KB/s", (unsigned long)(per_second / 1024));
    }
    used = strlen(out);
    if (seconds_left >= 60)
        snprintf(out + used, cap - used, ", about %lu min left", (unsigned long)((seconds_left + 59) / 60));
    else if (seconds_left >= 0)
        snprintf(out + used, cap - used, ", about %lu s left", (unsigned long)seconds_left);
    out[cap - 1] = 0;
}

void rate_meter_begin(RateMeter *meter)
{
    meter->samples = 0;
    meter->next = 0;
}

void rate_meter_add(RateMeter *meter, unsigned long long at, unsigned long long count)
{
    int newest = (meter->next + RATE_SAMPLES - 1) % RATE_SAMPLES;
    if (meter->samples > 0 && at - meter->at[newest] < RATE_STEP_MS)
        return;
    meter->at[meter->next] = at;
    meter->count[meter->next] = count;
    meter->next = (meter->next + 1) % RATE_SAMPLES;
    if (meter->samples < RATE_SAMPLES)
        meter->samples++;
}

int rate_meter_read(const RateMeter *meter, unsigned long long *per_second, int *steady)
{
    int oldest = meter->samples < RATE_SAMPLES ? 0 : meter->next;
    int newest = (meter->next + RATE_SAMPLES - 1) % RATE_SAMPLES;
    unsigned long long span = 0;

    *per_second = 0;
    *steady = 0;
    if (meter->samples < 2)
        return 0;
    span = meter->at[newest] - meter->at[oldest];
    if (span < 1000)
        return 0;
    if (meter->count[newest] > meter->count[oldest])
        *per_second = (meter->count[newest] - meter->count[oldest]) * 1000 / span;
    *steady = meter->samples == RATE_SAMPLES;
    return 1;
}
