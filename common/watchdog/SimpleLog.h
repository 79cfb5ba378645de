// The supervisor's text log: time-stamped entries appended to a log file,
// and a ring of numbered older files beside it.
#ifndef VELMARCMD_SIMPLELOG_H
#define VELMARCMD_SIMPLELOG_H

// The live log is moved into the numbered ring once it grows beyond this.
constexpr long kLiveLogLimitBytes = 1024L * 1024L;

// Shifts the numbered files of `path` ("<path>.<n>") up by one:
// removes <path>.0, renames <path>.9 to <path>.10, then n to n + 1 for n from
// 8 down to 1. The file at `path` itself is not touched.
void rollfile(const char* path);

// Writes "YYYY-MM-DD hh:mm:ss <message>\n" (local time) to standard output
// and appends it to `file`. Failures to write the file are silent.
void simplelog(const char* file, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The same entry to `file` only.
void simpleonlylog(const char* file, const char* format, ...) __attribute__((format(printf, 2, 3)));

#endif
