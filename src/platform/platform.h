// Every operating-system service the program uses, behind one set of plain functions.
// posix.cpp implements them for Linux; the rest of the program never includes a system
// header for files, processes, sockets or signals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The path separator used when building state paths.
inline constexpr char QV_DIR_SEP = '/';

// --- files and folders (state files hold credentials, so they are private) ---

// Creates one folder readable only by its owner. 0 when created, -1 otherwise (an existing
// folder is -1 too; callers ignore the result and probe afterwards).
int qv_plat_mkdir_private(const char *path);
// Opens a file for raw writing ("wb") or appending ("ab"), creating it readable and writable
// only by its owner, and narrowing an existing file to the same rights.
FILE *qv_plat_fopen_private(const char *path, const char *mode);
// Moves a file onto a target name in one step, replacing the target. 0 or -1.
int qv_plat_replace_file(const char *from, const char *to);
// The home folder of the user running the process (HOME, else the account's entry). 0 or -1.
int qv_plat_home_dir(char *out, size_t cap);

// --- process and clocks ---

long qv_plat_pid(void);
// Milliseconds of a clock that never steps: for deadlines and waits only.
int64_t qv_plat_monotonic_ms(void);
// Seconds since 1970-01-01 UTC from the real-time clock.
int64_t qv_plat_epoch_seconds(void);
// Standard input and output pass bytes unchanged (no newline translation).
void qv_plat_stdio_binary(void);
// Prepares the socket layer: a peer that closes must never kill the process.
void qv_plat_net_startup(void);
// Fills the buffer from the system's random source. 0 or -1.
int qv_plat_random_bytes(void *buf, size_t len);

// --- process liveness and local time (daemon pid file and log) ---

struct tm;

// 1 when a process with this id exists, also one we may not signal; 0 when it is gone or the
// id cannot name one process (0 and negative ids address groups, never one process).
int qv_plat_process_alive(long pid);
// The calendar time of a Unix time in the local time zone as it is now (TZ is re-read, so a
// long-running process follows a change). 0, or -1 when it cannot be converted.
int qv_plat_local_time(int64_t epoch, struct tm *out);
