#pragma once

#include <stddef.h>

// A closing prompt: discards keys typed into a console before it (never
// input from a file or pipe), prints prompt, flushes standard output so the
// prompt is visible even when it is redirected, then reads one character.
// Returns that character or EOF; with standard input at end of file it
// returns at once.
int pause_at_end(const char *prompt);

// 1 when standard output is a console (not a file or a pipe): only then is
// anything drawn in place.
int output_is_console(void);

// Sets the console window's title, when standard output is a console.
void console_title(const wchar_t *title);

// A line drawn in place below the last line printed, redrawn with each new
// text (at most a few times a second: texts given in between are passed
// over), and erased at the end, so that the window then shows the same
// text as a transcript in a file. Only on a console; elsewhere nothing is
// drawn. Start with live_line_begin, end with live_line_end.
struct LiveLine {
    int on;                   // standard output is a console
    unsigned long drawn_at;   // tick count of the last drawing
    int widest;               // the longest text drawn so far
};
void live_line_begin(LiveLine *line);
void live_line_draw(LiveLine *line, const char *text);
// The same without the pause: a text that must be seen at once (a wait).
void live_line_draw_now(LiveLine *line, const char *text);
void live_line_end(LiveLine *line);

// The counter line of a download: "  12.4 of 48.0 MB (25 %)", or
// "  12.4 MB" without a total (MB of 1,048,576 bytes, one decimal, rounded
// down; the percentage rounded down, at most 100). out holds cap bytes;
// the text is cut to fit and always terminated.
void format_progress(char *out, size_t cap, unsigned long long stored, unsigned long long total, int has_total);

// The counter line of a whole install: format_progress's text, then the
// speed (", 2.4 MB/s", or ", 512 KB/s" below 1 MB/s) when per_second is
// known (has_rate), then the time left (", about 20 s left", over a minute
// ", about 3 min left", rounded up) when seconds_left is 0 or more.
void format_install_progress(char *out, size_t cap, unsigned long long stored, unsigned long long total,
                             int has_total, int has_rate, unsigned long long per_second, long long seconds_left);

// The speed of a running count over its last few seconds: samples at least
// RATE_STEP_MS apart, the last RATE_SAMPLES of them kept.
enum { RATE_SAMPLES = 8, RATE_STEP_MS = 500 };
struct RateMeter {
    unsigned long long at[RATE_SAMPLES];     // tick count of each sample
    unsigned long long count[RATE_SAMPLES];  // the count then
    int samples;                             // kept so far, up to RATE_SAMPLES
    int next;                                // where the next one goes
};
void rate_meter_begin(RateMeter *meter);
// Takes the count at tick count at, unless the last sample is younger than
// RATE_STEP_MS.
void rate_meter_add(RateMeter *meter, unsigned long long at, unsigned long long count);
// 1 with *per_second the count's growth per second between the oldest and
// the newest sample, once they are a second apart; *steady 1 once every
// sample is kept (three and a half seconds): only then is a time left worth
// telling. A count that fell gives 0 per second. 0 before that second.
int rate_meter_read(const RateMeter *meter, unsigned long long *per_second, int *steady);
