#include "setup/progress.h"

#include "fetch/download.h"
#include "system/console.h"

enum { COUNTER_CHARS = 64 };

static void draw_counter(unsigned long long stored, unsigned long long total, int has_total, void *context)
{
    LiveLine *line = (LiveLine *)context;
    char text[COUNTER_CHARS];
    if (!line->on)
        return;
    format_progress(text, sizeof(text), stored, total, has_total);
    live_line_draw(line, text);
}

int download_with_counter(DownloadSession *net, const wchar_t *url, const wchar_t *dest, unsigned long long size)
{
    LiveLine line;
    live_line_begin(&line);
    int ok = download(net, url, dest, size, draw_counter, &line);
    live_line_end(&line);
    return ok;
}
