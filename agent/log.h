// The agent's activity log: every line goes to standard error and, once the daily
// file is open, to "/zav/log/tarko/tarko_log.%Y%m%d" as well.
#pragma once

// Descriptor of the daily log file, -1 until open_log_file() succeeds. Each line is
// written whole with one write, so the lines of concurrent agents never interleave.
extern int logfd;

// Captures the local time zone's offset for log_entry_from_signal; called once at
// start-up (log_entry refreshes it with every line).
void log_init();

// Opens today's log file (creating its directories) unless it is open; a failure
// leaves logging on standard error alone, and the next call tries again.
void open_log_file();

// Closes the log file if it is open.
void close_log_file();

// Writes "%H:%M:%S message\n" with the local time of the call.
void log_entry(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// The same for a fixed message, using only async-signal-safe calls (time, write), so
// that a signal handler can log even when it interrupted log_entry itself. The local
// time is taken from the UTC offset captured last by log_init() or log_entry().
void log_entry_from_signal(const char *msg);
