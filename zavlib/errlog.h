// The site error log: one line per event, appended to a daily file
// "<errlog_dir>/errlogMMDD" of this host. Lines whose severity code begins with "M" are
// also handed to rlogger() for the central error-log host.
//
// A severity code is a short text (three characters here: "LCL", "LAJ", "MAJ"...). Its
// first character routes the line; the line itself shows "M" and the code's remaining
// characters, so "LCL" reads "MCL".
#pragma once

#include <cstddef>

// Capacities of the settings below, terminator included.
inline constexpr std::size_t errlog_dir_size = 96;
inline constexpr std::size_t errlog_ident_size = 96;
inline constexpr std::size_t errlog_tag_size = 80;

// Settings, read at every line. A host program may change them before its first line;
// the query clients leave them at their initial values.
extern char errlog_dir[errlog_dir_size];     // initially "/usr/log/ivo"
extern char errlog_ident[errlog_ident_size]; // shown in every line; initially empty
extern char errlog_tag[errlog_tag_size];     // when not empty, shown as "[tag]"

// The central error-log host. The site's host database maps this short name to the
// collecting host; on a machine that does not know the name, "M" lines wait in the
// spool directory until a collector takes them.
inline constexpr char central_log_host[] = "zavlog";

// Longest daily-file path and longest line (newline included); longer texts are cut.
inline constexpr std::size_t errlog_path_max = 87;
inline constexpr std::size_t errlog_line_max = 511;

// Appends "<MM/DD HH:MM:SS> <ident>: M<code+1> <message>\n" (or
// "<stamp> <ident>:[<tag>] M<code+1> <message>\n" with a tag) to today's file and, for a
// code beginning with "M", passes the line to rlogger() for central_log_host. Nothing is
// returned: a failed write is ignored, and a file that cannot be opened ends the process
// (see openerrlog).
void errlog_write(const char *code, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Logs the formatted message followed by " errno=(<errno at the call>) pid(<pid>)"
// through errlog_write with the same code. Nothing is returned.
void errlog_errno(const char *code, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Makes sure today's file is open (closing yesterday's at a change of day, creating the
// file and its directories when missing) and records the time of the line. Returns only
// when the file is open; otherwise writes "<ident>: openerrlog: (<path>) errno=(<n>)\n"
// to standard error and ends the process with exit status 2.
void openerrlog();

// Creates every directory on the way to the file named by path (not the last component),
// with mode 0777 less the umask; the prefix always starts at "/". Returns 0 when done
// (directories that exist, or whose parent is missing, are passed over), -1 when a
// directory cannot be created for another reason or the path is too long to handle.
int make_path_dirs(const char *path);
