// Every operating-system service the program uses, behind one set of plain functions.
// posix.cpp implements them for Linux, win32.cpp for Windows; the rest of the program never
// includes a system header for files, processes, sockets or signals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The path separator used when building state paths.
#ifdef _WIN32
inline constexpr char QV_DIR_SEP = '\\';
#else
inline constexpr char QV_DIR_SEP = '/';
#endif

// --- files and folders (state files hold credentials, so they are private) ---

// Creates one folder readable only by its owner. 0 when created, -1 otherwise (an existing
// folder is -1 too; callers ignore the result and probe afterwards).
[[nodiscard]] int qv_plat_mkdir_private(const char *path);
// Opens a file for raw writing ("wb") or appending ("ab"), creating it readable and writable
// only by its owner, and narrowing an existing file to the same rights. Never through a
// symbolic link or reparse point; on POSIX an existing file must be a regular file of the
// running user's with one name, else it is left untouched (no truncation, no chmod) and the
// open fails.
FILE *qv_plat_fopen_private(const char *path, const char *mode);
// Creates a new file for raw writing ("wb") readable and writable only by its owner; fails
// when anything has the name already, a link included, so nothing is followed or replaced.
FILE *qv_plat_fcreate_new_private(const char *path);
// Opens an existing file for raw reading ("rb"); a symbolic link, reparse point or anything
// that is not a plain file is refused. Another process may replace the file meanwhile.
FILE *qv_plat_fopen_read(const char *path);
// Whether a folder is fit to hold state, judged as ssh judges its own folder.
enum {
    QV_PLAT_DIR_PRIVATE = 0,  // a real folder of the running user's that only it may change
    QV_PLAT_DIR_MISSING = 1,  // nothing there, or no folder: nothing to judge
    QV_PLAT_DIR_EXPOSED = -1, // someone else could change it; err names it and the fix
};
// POSIX: the folder (after following a link when `follow` is set, else a link is refused) must
// be owned by the running user and not writable by its group or others. Windows: it must not
// be a reparse point (`follow` unset); its access list is the one qv_plat_mkdir_private gave it.
[[nodiscard]] int qv_plat_dir_check_private(const char *path, int follow, char *err, size_t cap);
// The names a folder holds ("." and ".." left out), in no particular order: at most `max` of
// them, each in a slot of name_cap bytes of `names`; a name that does not fit is skipped. The
// number of names copied, or -1 when the folder cannot be read.
[[nodiscard]] int qv_plat_list_dir(const char *path, char *names, size_t name_cap, int max);
// What tells one version of a file from the next without reading it: a replace through a new
// temporary changes the identity and the change time, a write the size and the modification time.
struct qv_plat_file_stamp {
    uint64_t identity; // inode (POSIX); creation time (Windows)
    int64_t size;
    int64_t modified_ns;
    int64_t changed_ns; // status change (POSIX); last write again (Windows)
};
// The stamp of the file a path names (never through a link). 0, or -1 when nothing is there.
[[nodiscard]] int qv_plat_file_stamp_of(const char *path, qv_plat_file_stamp *out);
// 1 when nothing has this name (a link counts as something), 0 otherwise, also when that
// cannot be told.
int qv_plat_path_missing(const char *path);
// Moves a file onto a target name in one step, replacing the target. 0 or -1. On Windows the
// move is written through: it is on the disk when this returns.
[[nodiscard]] int qv_plat_replace_file(const char *from, const char *to);
// Writes what the stream buffers and then has the system put the file's data on the disk
// (fdatasync; FlushFileBuffers), so a rename that publishes the file after this never publishes
// an empty or short file after a power loss. 0 or -1.
[[nodiscard]] int qv_plat_file_flush(FILE *f);
// A file rewritten in place by its one writer (the stream position, two slots written in turn):
// opens an existing plain file of the running user's for reading and writing, never through a
// link. A handle (0 or more) or -1.
[[nodiscard]] int64_t qv_plat_file_open_in_place(const char *path);
// Writes the bytes at the offset and has the system put them on the disk before it returns
// (pwrite + fdatasync; WriteFile at the offset + FlushFileBuffers). Within the file's length
// nothing but the data waits for the disk. 0 or -1.
[[nodiscard]] int qv_plat_file_write_at_durable(int64_t file, int64_t offset, const void *data,
                                                size_t len);
// Closes a file opened with qv_plat_file_open_in_place; -1 is ignored.
void qv_plat_file_close_in_place(int64_t file);
// Has the system put a folder's own entries on the disk (fsync of the folder), so a file created,
// renamed into it or deleted from it stays so after a power loss. On Windows, where a rename is
// written through already, the folder is flushed when the file system allows it and otherwise
// taken as flushed. 0 or -1.
[[nodiscard]] int qv_plat_dir_flush(const char *path);
// The home folder of the user running the process (HOME, else the account's entry; on Windows
// USERPROFILE, else C:\Users\Default). 0 or -1.
[[nodiscard]] int qv_plat_home_dir(char *out, size_t cap);
// The state folder used when QV_CONNECTORS_DIR is not set: $HOME/.quorvane/connectors/chimewick
// on POSIX; on Windows LOCALAPPDATA, else USERPROFILE, else C:\Users\Default (cut to 599 bytes),
// followed by \quorvane\connectors\chimewick. 0, or -1 (empty output) when it does not fit.
[[nodiscard]] int qv_plat_default_state_dir(char *out, size_t cap);

// --- advisory locks (the state folder's lock, the one daemon per folder) ---

// Takes an exclusive lock on a lock file (created private when missing, never through a
// symbolic link), trying until wait_ms have passed (0: once). The lock holds until
// qv_plat_lock_release or the end of the process, also when the process is killed, and is not
// passed to programs this one starts. The held lock's handle (0 or more), or -1 when it is
// held elsewhere or the file cannot be opened.
[[nodiscard]] int64_t qv_plat_lock_take(const char *path, int64_t wait_ms);
// Releases a lock taken with qv_plat_lock_take and closes its file; -1 is ignored.
void qv_plat_lock_release(int64_t lock);

// --- why the last call failed ---

enum { QV_PLAT_ERROR_TEXT_CAP = 128 }; // room for one of the reasons below

// The system's reason for the failure of the platform call made last on this thread (strerror
// of errno; on Windows the system's text for GetLastError), lower case, without a full stop.
void qv_plat_error_text(char *out, size_t cap);
// The resolver's reason for a failed qv_plat_resolve (gai_strerror), as qv_plat_error_text.
void qv_plat_resolve_error_text(char *out, size_t cap);

// --- process and clocks ---

long qv_plat_pid(void);
// Milliseconds of a clock that never steps: for deadlines and waits only.
int64_t qv_plat_monotonic_ms(void);
// Seconds since 1970-01-01 UTC from the real-time clock.
int64_t qv_plat_epoch_seconds(void);
// Standard input and output pass bytes unchanged (no newline translation).
void qv_plat_stdio_binary(void);
// Reads what standard input has, waiting at most until the monotonic time deadline_ms: the
// bytes read (at most len), 0 at the end of input, -1 on an error, QV_PLAT_STDIN_TIMED_OUT
// when nothing came in time (a CGI body that never ends must not hold the process).
enum { QV_PLAT_STDIN_TIMED_OUT = -2 };
[[nodiscard]] int64_t qv_plat_stdin_read(void *buf, size_t len, int64_t deadline_ms);
// Prepares the socket layer: a peer that closes must never kill the process.
void qv_plat_net_startup(void);
// Fills the buffer from the system's random source. 0 or -1.
[[nodiscard]] int qv_plat_random_bytes(void *buf, size_t len);

// --- sockets and stop signals (HTTP/TLS client) ---
// Sockets are non-blocking for their whole life; every wait is bounded by the caller's time.

enum {
    QV_PLAT_WOULD_BLOCK = -2,  // send/receive: try again after a wait
    QV_PLAT_INTERRUPTED = -2,  // wait: a signal arrived before the socket became ready
};

// The addresses one name resolves to, in the resolver's order. Opaque; free with
// qv_plat_addrs_free.
struct qv_plat_addrs;
// Resolves host and decimal port for stream sockets of any family. 0, or -1 when resolution
// fails or returns nothing.
[[nodiscard]] int qv_plat_resolve(const char *host, int port, qv_plat_addrs **out);
int qv_plat_addrs_count(const qv_plat_addrs *a);
void qv_plat_addrs_free(qv_plat_addrs *a);
// Creates a non-blocking socket for address `index` and starts connecting it. Returns the
// socket, or -1 (nothing left open). *pending is 1 when the connect is still in progress.
[[nodiscard]] int64_t qv_plat_connect_start(const qv_plat_addrs *a, int index, int *pending);
// 0 when the pending connect finished without error, -1 otherwise.
[[nodiscard]] int qv_plat_connect_result(int64_t sock);
// Waits up to timeout_ms for the socket to become readable (for_write 0) or writable (1).
// 1 ready, 0 timed out or failed, QV_PLAT_INTERRUPTED when a signal cut the wait short.
[[nodiscard]] int qv_plat_sock_wait(int64_t sock, int for_write, int64_t timeout_ms);
// Sending and receiving have C linkage: their plain symbol names let a linker put a stand-in
// in front of them (the unit tests use ld --wrap to make them report would-block).
extern "C" {
// Bytes handed to the socket, QV_PLAT_WOULD_BLOCK, or -1. Never raises SIGPIPE.
[[nodiscard]] int64_t qv_plat_sock_send(int64_t sock, const void *buf, size_t len);
// Bytes received, 0 when the peer closed, QV_PLAT_WOULD_BLOCK, or -1.
[[nodiscard]] int64_t qv_plat_sock_recv(int64_t sock, void *buf, size_t len);
}
void qv_plat_sock_close(int64_t sock);

// SIGINT, SIGTERM and SIGHUP set a process-wide stop flag. The handlers do not restart
// interrupted calls, so a stop cuts a socket wait short at once. On Windows: console control
// events, and a named event that qv_plat_terminate of another process sets.
void qv_plat_install_stop_handlers(void);
// 1 once a stop was requested, for good.
int qv_plat_stop_requested(void);
// The monotonic time (qv_plat_monotonic_ms) at which the first stop request was seen, or -1
// while none was. Waits that may finish what is under way measure their grace from it. On
// Windows a stop event set by another process counts from when this process first notices it.
int64_t qv_plat_stop_requested_at_ms(void);

// --- process liveness and local time (daemon pid file and log) ---

struct tm;

// 1 when a process with this id exists, also one we may not signal; 0 when it is gone or the
// id cannot name one process (0 and negative ids address groups, never one process).
int qv_plat_process_alive(long pid);
// The calendar time of a Unix time in the local time zone as it is now (TZ is re-read, so a
// long-running process follows a change). 0, or -1 when it cannot be converted.
[[nodiscard]] int qv_plat_local_time(int64_t epoch, struct tm *out);

// --- waiting (daemon) ---

// Sleeps for the time given; a signal may end the sleep early.
void qv_plat_sleep_ms(int64_t ms);

// --- daemon control for the setup interface (start and stop) ---

// The full path of the running executable (a file replaced since it started is named by its
// path). 0, or -1 when it cannot be resolved or does not fit.
[[nodiscard]] int qv_plat_exe_path(char *out, size_t cap);
// Runs `exe arg` detached: in a session of its own, standard streams on /dev/null, no other
// descriptor inherited, signals at their defaults, with this process's working folder and only
// those of its environment variables that qv_env_keep_for_daemon (base.h) keeps, so nothing a
// web server set for the request that asked for the start. Returns without waiting for it: 0
// once the program is running, -1 when it could not be created or started. On Windows: no
// console, a process group of its own, hidden, no handle inherited.
[[nodiscard]] int qv_plat_spawn_detached(const char *exe, const char *arg);
// 1 when the process runs the same executable as the caller, else 0 (also when that cannot be
// read, for instance for another user's process).
int qv_plat_process_is_self(long pid);
// Asks the process to end (SIGTERM) and waits up to wait_ms; then kills it (SIGKILL). 0 when
// it has ended, -1 when it is still there. On Windows the request is the stop event that
// qv_plat_install_stop_handlers creates, and the kill is TerminateProcess.
[[nodiscard]] int qv_plat_terminate(long pid, int64_t wait_ms);
