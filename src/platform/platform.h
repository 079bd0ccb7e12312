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
