// Windows implementation of the platform layer: private files and folders, atomic replace,
// clocks, Winsock sockets, the stop flag, process liveness and the daemon's detached start
// and stop. Built instead of posix.cpp for Windows.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601 // Windows 7: QueryFullProcessImageName, GetTickCount64
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include "platform.h"

#include "base.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <fcntl.h>
#include <io.h>

enum {
    QV_PLAT_SDDL_CAP = 512,
    QV_PLAT_SHARING_RETRIES = 20, // a reader holding the target briefly blocks the replace
    QV_PLAT_SHARING_RETRY_MS = 10,
    QV_PLAT_STATE_BASE_MAX = 599, // longest base folder kept before the state subfolder
    QV_PLAT_WIDE_PATH_CAP = 32768,
    QV_PLAT_LIST_PATTERN_CAP = 1200, // a state path, a separator and the wildcard
    QV_PLAT_EVENT_NAME_CAP = 64,
    QV_PLAT_CMDLINE_CAP = 2200,
    QV_PLAT_ENV_NAME_CAP = 80, // longer names are never among those a daemon keeps
    QV_PLAT_EXIT_TERMINATED = 0,
};

enum : int64_t { QV_PLAT_STOP_SLICE_MS = 50, QV_PLAT_KILL_WAIT_MS = 3000 };
// Windows allows a console close handler 5 s before it ends the process anyway.
enum : DWORD { QV_PLAT_CLOSE_GRACE_MS = 4500 };

static const char DEFAULT_PROFILE[] = "C:\\Users\\Default";
static const char STATE_SUBDIR[] = "\\quorvane\\connectors\\chimewick";
// Every process that installs the stop handlers creates this event; the setup interface sets
// it to ask that daemon to finish in order before it would have to terminate it.
static const char STOP_EVENT_FORMAT[] = "Local\\chimewick-stop-%lu";

// --- files and folders (state files hold credentials, so they are private) ---

// Full control for SYSTEM, the administrators and this user, nothing inherited from the parent
// folder: what a user profile's own folders carry. `inherit` passes it on to what a folder
// holds. Freed with LocalFree.
static PSECURITY_DESCRIPTOR private_descriptor(bool inherit) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    union {
        TOKEN_USER user;
        unsigned char room[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD got = 0;
    char *sid = nullptr;
    if (GetTokenInformation(token, TokenUser, &info, sizeof info, &got) &&
        ConvertSidToStringSidA(info.user.User.Sid, &sid)) {
        const char *flags = inherit ? "OICI" : "";
        char sddl[QV_PLAT_SDDL_CAP];
        int n = snprintf(sddl, sizeof sddl, "D:P(A;%s;FA;;;SY)(A;%s;FA;;;BA)(A;%s;FA;;;%s)", flags,
                         flags, flags, sid);
        if (n > 0 && static_cast<size_t>(n) < sizeof sddl &&
            !ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd,
                                                                  nullptr))
            sd = nullptr;
        LocalFree(sid);
    }
    CloseHandle(token);
    return sd;
}

int qv_plat_mkdir_private(const char *path) {
    PSECURITY_DESCRIPTOR sd = private_descriptor(true);
    if (!sd)
        return -1;
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    int rc = CreateDirectoryA(path, &sa) ? 0 : -1;
    LocalFree(sd);
    return rc;
}

// A volume that keeps no access lists at all (FAT, some network shares) has nothing to narrow.
static bool volume_keeps_access_lists(HANDLE h) {
    DWORD flags = 0;
    if (!GetVolumeInformationByHandleW(h, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0))
        return true;
    return (flags & FILE_PERSISTENT_ACLS) != 0;
}

// A file left by an earlier writer may carry wider rights; credentials must not.
static bool narrow_to_private(HANDLE h, PSECURITY_DESCRIPTOR sd) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present)
        return false;
    if (SetSecurityInfo(h, SE_FILE_OBJECT,
                        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, dacl, nullptr) == ERROR_SUCCESS)
        return true;
    return !volume_keeps_access_lists(h);
}

// A reparse point (a symbolic link, a junction, a mount point) where a state file should be
// would send the program's reads and writes elsewhere; it is opened as itself and refused,
// like a folder in the file's place.
static bool is_plain_file(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info))
        return false;
    return (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

// A C stream on an open handle, or nullptr with the handle closed.
static FILE *stream_on(HANDLE h, int flags, const char *mode) {
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    FILE *f = _fdopen(fd, mode);
    if (!f)
        _close(fd);
    return f;
}

FILE *qv_plat_fopen_private(const char *path, const char *mode) {
    bool append = mode[0] == 'a';
    PSECURITY_DESCRIPTOR sd = private_descriptor(false);
    if (!sd)
        return nullptr;
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    // Shared for deletion too, so that another process can rotate the log (move it away) while
    // this one holds it open. Opened, never replaced, and emptied only once it is known to be a
    // plain file: what is found there is judged before anything about it changes.
    HANDLE h = CreateFileA(path, GENERIC_WRITE | WRITE_DAC | READ_CONTROL,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    FILE *f = nullptr;
    if (h != INVALID_HANDLE_VALUE) {
        if (is_plain_file(h) && narrow_to_private(h, sd) && (append || SetEndOfFile(h)))
            f = stream_on(h, append ? _O_APPEND : 0, append ? "ab" : "wb");
        else
            CloseHandle(h);
    }
    LocalFree(sd);
    return f;
}

FILE *qv_plat_fcreate_new_private(const char *path) {
    PSECURITY_DESCRIPTOR sd = private_descriptor(false);
    if (!sd)
        return nullptr;
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    // CREATE_NEW fails on any existing name, a reparse point included.
    HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, &sa,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                           nullptr);
    LocalFree(sd);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    FILE *f = stream_on(h, 0, "wb");
    if (!f)
        DeleteFileA(path);
    return f;
}

FILE *qv_plat_fopen_read(const char *path) {
    // Sharing deletion lets a writer replace the file while it is read.
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    if (!is_plain_file(h)) {
        CloseHandle(h);
        return nullptr;
    }
    return stream_on(h, _O_RDONLY, "rb");
}

// Only a reparse point is judged here: the owner and access list of a folder this program
// made are the private ones qv_plat_mkdir_private gave it, which keep other users out.
int qv_plat_dir_check_private(const char *path, int follow, char *err, size_t cap) {
    DWORD attrs = GetFileAttributesA(path);
    if (attrs == INVALID_FILE_ATTRIBUTES)
        return QV_PLAT_DIR_MISSING;
    if (!follow && (attrs & FILE_ATTRIBUTE_REPARSE_POINT)) {
        qv_errf(err, cap,
                "state folder %s is a link or junction: replace it with a folder of your own",
                path);
        return QV_PLAT_DIR_EXPOSED;
    }
    return (attrs & FILE_ATTRIBUTE_DIRECTORY) ? QV_PLAT_DIR_PRIVATE : QV_PLAT_DIR_MISSING;
}

// The same narrow (ANSI) paths as every other file call here, so a folder found by those is
// found by this too.
int qv_plat_list_dir(const char *path, char *names, size_t name_cap, int max) {
    char pattern[QV_PLAT_LIST_PATTERN_CAP];
    int n = snprintf(pattern, sizeof pattern, "%s\\*", path);
    if (n < 0 || static_cast<size_t>(n) >= sizeof pattern)
        return -1;
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA(pattern, &found);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : -1;
    int count = 0;
    do {
        const char *name = found.cFileName;
        size_t len = strlen(name);
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || len >= name_cap)
            continue;
        memcpy(names + static_cast<size_t>(count++) * name_cap, name, len + 1);
    } while (count < max && FindNextFileA(h, &found));
    FindClose(h);
    return count;
}

static int64_t file_time_value(const FILETIME &t) {
    return static_cast<int64_t>((uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime);
}

int qv_plat_file_stamp_of(const char *path, qv_plat_file_stamp *out) {
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &a))
        return -1;
    out->identity = static_cast<uint64_t>(file_time_value(a.ftCreationTime));
    out->size = static_cast<int64_t>((uint64_t{a.nFileSizeHigh} << 32) | a.nFileSizeLow);
    out->modified_ns = file_time_value(a.ftLastWriteTime) * 100;
    out->changed_ns = out->modified_ns;
    return 0;
}

int qv_plat_path_missing(const char *path) {
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES)
        return 0;
    DWORD err = GetLastError();
    return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? 1 : 0;
}

int qv_plat_replace_file(const char *from, const char *to) {
    for (int attempt = 0;; attempt++) {
        if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return 0;
        // A reader that has the target open without sharing deletion (the C library's fopen)
        // blocks the replace for the moment it reads; anything else will not pass by waiting.
        DWORD err = GetLastError();
        bool busy = err == ERROR_SHARING_VIOLATION || err == ERROR_ACCESS_DENIED ||
                    err == ERROR_LOCK_VIOLATION;
        if (!busy || attempt + 1 >= QV_PLAT_SHARING_RETRIES)
            return -1;
        Sleep(QV_PLAT_SHARING_RETRY_MS);
    }
}

int qv_plat_file_flush(FILE *f) {
    if (fflush(f) != 0)
        return -1;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    return h != INVALID_HANDLE_VALUE && FlushFileBuffers(h) ? 0 : -1;
}

// An existing file or folder opened for reading and writing, shared with every other opener so
// readers and a replace are never blocked by it, and a reparse point opened as itself.
static HANDLE open_existing_shared(const char *path, DWORD flags) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

int64_t qv_plat_file_open_in_place(const char *path) {
    HANDLE h = open_existing_shared(path, FILE_ATTRIBUTE_NORMAL);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    if (!is_plain_file(h)) {
        CloseHandle(h);
        SetLastError(ERROR_ACCESS_DENIED);
        return -1;
    }
    return static_cast<int64_t>(reinterpret_cast<intptr_t>(h));
}

int qv_plat_file_write_at_durable(int64_t file, int64_t offset, const void *data, size_t len) {
    HANDLE h = reinterpret_cast<HANDLE>(static_cast<intptr_t>(file));
    const char *p = static_cast<const char *>(data);
    for (size_t done = 0; done < len;) {
        uint64_t at = static_cast<uint64_t>(offset) + done;
        OVERLAPPED where = {};
        where.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD chunk = len - done > 0x40000000u ? 0x40000000u : static_cast<DWORD>(len - done);
        DWORD wrote = 0;
        if (!WriteFile(h, p + done, chunk, &wrote, &where) || wrote == 0)
            return -1;
        done += wrote;
    }
    return FlushFileBuffers(h) ? 0 : -1;
}

void qv_plat_file_close_in_place(int64_t file) {
    if (file >= 0)
        CloseHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(file)));
}

// Renames are written through (qv_plat_replace_file) and NTFS journals a folder's entries; a
// folder handle is flushed where the file system takes one, and a refusal of the request
// itself (not of the disk) counts as nothing left to flush.
int qv_plat_dir_flush(const char *path) {
    HANDLE h = open_existing_shared(path, FILE_FLAG_BACKUP_SEMANTICS);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_ACCESS_DENIED ? 0 : -1;
    BOOL ok = FlushFileBuffers(h);
    DWORD err = ok ? 0 : GetLastError();
    CloseHandle(h);
    bool refused = err == ERROR_ACCESS_DENIED || err == ERROR_INVALID_FUNCTION ||
                   err == ERROR_INVALID_PARAMETER || err == ERROR_NOT_SUPPORTED;
    return ok || refused ? 0 : -1;
}

// Our messages are lower case; a leading word in capitals (an acronym) stays as it is.
static void lower_first(char *out, size_t cap) {
    if (cap > 0 && out[0] >= 'A' && out[0] <= 'Z' && !(out[1] >= 'A' && out[1] <= 'Z'))
        out[0] = static_cast<char>(out[0] - 'A' + 'a');
}

// The system's text for an error code: one line, lower case, without the full stop.
static void code_text(DWORD code, char *out, size_t cap) {
    char text[256] = "";
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), text, sizeof text,
                             nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.' ||
                     text[n - 1] == ' '))
        text[--n] = '\0';
    if (n == 0)
        qv_errf(out, cap, "error %lu", static_cast<unsigned long>(code));
    else
        qv_errf(out, cap, "%s", text);
    lower_first(out, cap);
}

void qv_plat_error_text(char *out, size_t cap) {
    DWORD code = GetLastError();
    if (code != 0) {
        code_text(code, out, cap);
        return;
    }
    qv_errf(out, cap, "%s", strerror(errno));
    lower_first(out, cap);
}

static thread_local int g_resolve_error = 0;

void qv_plat_resolve_error_text(char *out, size_t cap) {
    if (g_resolve_error != 0)
        code_text(static_cast<DWORD>(g_resolve_error), out, cap);
    else
        qv_errf(out, cap, "no address found");
}

enum { QV_PLAT_LOCK_RETRY_MS = 2 };

int64_t qv_plat_lock_take(const char *path, int64_t wait_ms) {
    PSECURITY_DESCRIPTOR sd = private_descriptor(false);
    if (!sd)
        return -1;
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    // Not inheritable, and a reparse point is opened as itself, never followed elsewhere.
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    LocalFree(sd);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    int64_t deadline = qv_plat_monotonic_ms() + (wait_ms > 0 ? wait_ms : 0);
    for (;;) {
        OVERLAPPED at = {};
        if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
            return static_cast<int64_t>(reinterpret_cast<intptr_t>(h));
        if (GetLastError() != ERROR_LOCK_VIOLATION || qv_plat_monotonic_ms() >= deadline) {
            CloseHandle(h);
            return -1;
        }
        Sleep(QV_PLAT_LOCK_RETRY_MS);
    }
}

void qv_plat_lock_release(int64_t lock) {
    if (lock < 0)
        return;
    // Closing the handle releases the lock; Windows also releases it when the process ends.
    CloseHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(lock)));
}

int qv_plat_home_dir(char *out, size_t cap) {
    if (!out || cap == 0)
        return -1;
    const char *home = env_nonempty("USERPROFILE");
    if (!home)
        home = DEFAULT_PROFILE;
    if (strlen(home) >= cap)
        return -1;
    memcpy(out, home, strlen(home) + 1);
    return 0;
}

int qv_plat_default_state_dir(char *out, size_t cap) {
    if (!out || cap == 0)
        return -1;
    out[0] = '\0';
    const char *base = env_nonempty("LOCALAPPDATA");
    if (!base)
        base = env_nonempty("USERPROFILE");
    if (!base)
        base = DEFAULT_PROFILE;
    int n =
        snprintf(out, cap, "%.*s%s", static_cast<int>(QV_PLAT_STATE_BASE_MAX), base, STATE_SUBDIR);
    if (n < 0 || static_cast<size_t>(n) >= cap) {
        out[0] = '\0';
        return -1;
    }
    return 0;
}

// --- process and clocks ---

long qv_plat_pid(void) {
    return static_cast<long>(GetCurrentProcessId());
}

int64_t qv_plat_monotonic_ms(void) {
    return static_cast<int64_t>(GetTickCount64());
}

int64_t qv_plat_epoch_seconds(void) {
    // File time counts 100 ns steps since 1601-01-01 UTC.
    const int64_t ticks_per_second = 10000000;
    const int64_t unix_epoch_ticks = INT64_C(116444736000000000);
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    int64_t ticks =
        static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
    return (ticks - unix_epoch_ticks) / ticks_per_second;
}

void qv_plat_stdio_binary(void) {
    // Text mode would turn every "\n" into "\r\n" and drop "\r" from what is read.
    fflush(stdout);
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

enum { QV_STDIN_POLL_MS = 10 };

// An anonymous pipe cannot be waited on: its content is looked at every few milliseconds
// until something came, the writer closed it, or the time is up. A file is simply read.
int64_t qv_plat_stdin_read(void *buf, size_t len, int64_t deadline_ms) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (in == INVALID_HANDLE_VALUE || in == nullptr)
        return 0;
    DWORD want = len > 0x10000000 ? 0x10000000 : static_cast<DWORD>(len);
    if (GetFileType(in) == FILE_TYPE_PIPE) {
        for (;;) {
            DWORD avail = 0;
            // A pipe whose writer is gone, or that cannot be looked into (Wine's for a Unix
            // pipe), is read as it always was: what is left, then the end.
            if (!PeekNamedPipe(in, nullptr, 0, nullptr, &avail, nullptr))
                break;
            if (avail > 0) {
                want = avail < want ? avail : want;
                break;
            }
            if (qv_plat_monotonic_ms() >= deadline_ms)
                return QV_PLAT_STDIN_TIMED_OUT;
            Sleep(QV_STDIN_POLL_MS);
        }
    }
    DWORD got = 0;
    if (!ReadFile(in, buf, want, &got, nullptr))
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    return static_cast<int64_t>(got);
}

static std::atomic<int> g_winsock_started{0};

void qv_plat_net_startup(void) {
    // Winsock never raises a signal for a closed peer; it only has to be started.
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) == 0)
        g_winsock_started.store(1);
}

// Name resolution and sockets need Winsock started; a caller that did not start it (a test)
// still gets a working layer.
static void winsock_ready(void) {
    if (!g_winsock_started.load())
        qv_plat_net_startup();
}

typedef LONG(WINAPI *bcrypt_gen_random_fn)(void *, unsigned char *, ULONG, ULONG);

enum : ULONG { QV_BCRYPT_USE_SYSTEM_PREFERRED_RNG = 0x00000002 };

// bcrypt.dll is loaded at run time, from the system folder only, so a DLL planted in the
// working folder of a web server is never picked up in its place (Mbed TLS has usually loaded it
// already).
static bcrypt_gen_random_fn bcrypt_gen_random(void) {
    static std::atomic<bcrypt_gen_random_fn> fn{nullptr};
    bcrypt_gen_random_fn f = fn.load();
    if (f)
        return f;
    HMODULE lib = GetModuleHandleA("bcrypt.dll");
    if (!lib)
        lib = LoadLibraryExA("bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!lib)
        return nullptr;
    f = reinterpret_cast<bcrypt_gen_random_fn>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(lib, "BCryptGenRandom")));
    fn.store(f);
    return f;
}

int qv_plat_random_bytes(void *buf, size_t len) {
    bcrypt_gen_random_fn gen = bcrypt_gen_random();
    if (!gen)
        return -1;
    unsigned char *p = static_cast<unsigned char *>(buf);
    while (len > 0) {
        ULONG n = len > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(len);
        if (gen(nullptr, p, n, QV_BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
            return -1;
        p += n;
        len -= n;
    }
    return 0;
}

// --- sockets and stop signals (HTTP/TLS client) ---

struct qv_plat_addrs {
    struct addrinfo *list;
    int count;
};

static std::atomic<int> g_stop_requested{0};
static std::atomic<int64_t> g_stop_at_ms{-1}; // set before the flag, by the first stop only
static std::atomic<HANDLE> g_stop_event{nullptr};

// Records when the stop was first seen, then raises the flag.
static void note_stop(void) {
    int64_t none = -1;
    g_stop_at_ms.compare_exchange_strong(none, qv_plat_monotonic_ms());
    g_stop_requested.store(1);
}

int qv_plat_resolve(const char *host, int port, qv_plat_addrs **out) {
    *out = nullptr;
    winsock_ready();
    char service[16];
    snprintf(service, sizeof service, "%d", port);
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *list = nullptr;
    g_resolve_error = getaddrinfo(host, service, &hints, &list);
    if (g_resolve_error != 0 || !list)
        return -1;
    qv_plat_addrs *a = static_cast<qv_plat_addrs *>(calloc(1, sizeof *a));
    if (!a) {
        freeaddrinfo(list);
        return -1;
    }
    a->list = list;
    for (struct addrinfo *ai = list; ai; ai = ai->ai_next)
        a->count++;
    *out = a;
    return 0;
}

int qv_plat_addrs_count(const qv_plat_addrs *a) {
    return a ? a->count : 0;
}

void qv_plat_addrs_free(qv_plat_addrs *a) {
    if (!a)
        return;
    freeaddrinfo(a->list);
    free(a);
}

static SOCKET as_socket(int64_t sock) {
    return static_cast<SOCKET>(sock);
}

int64_t qv_plat_connect_start(const qv_plat_addrs *a, int index, int *pending) {
    *pending = 0;
    struct addrinfo *ai = a ? a->list : nullptr;
    for (int i = 0; ai && i < index; i++)
        ai = ai->ai_next;
    if (!ai)
        return -1;
    // Not inheritable: a daemon started from this process must not hold our connections.
    SOCKET s = WSASocketW(ai->ai_family, ai->ai_socktype, ai->ai_protocol, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        return -1;
    u_long one_nb = 1;
    if (ioctlsocket(s, FIONBIO, &one_nb) != 0) {
        closesocket(s);
        return -1;
    }
    // Requests and TLS records go out in small writes: without this, a write that follows an
    // unacknowledged one waits for the peer's delayed acknowledgement.
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
    if (connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0)
        return static_cast<int64_t>(s);
    if (WSAGetLastError() == WSAEWOULDBLOCK) {
        *pending = 1;
        return static_cast<int64_t>(s);
    }
    closesocket(s);
    return -1;
}

int qv_plat_connect_result(int64_t sock) {
    int error = 0;
    int len = sizeof error;
    if (getsockopt(as_socket(sock), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &len) !=
        0)
        return -1;
    WSASetLastError(error); // the connect's own reason, for qv_plat_error_text
    return error == 0 ? 0 : -1;
}

// One select call. Windows reports a failed connect among the exceptions, never as writable.
static int select_once(SOCKET s, int for_write, int64_t timeout_ms) {
    fd_set set, failed;
    FD_ZERO(&set);
    FD_ZERO(&failed);
    FD_SET(s, &set);
    FD_SET(s, &failed);
    struct timeval tv;
    tv.tv_sec = static_cast<long>(timeout_ms / 1000);
    tv.tv_usec = static_cast<long>((timeout_ms % 1000) * 1000);
    int n = select(0, for_write ? nullptr : &set, for_write ? &set : nullptr,
                   for_write ? &failed : nullptr, &tv);
    if (n <= 0)
        return n < 0 ? -1 : 0;
    return FD_ISSET(s, &set) || (for_write && FD_ISSET(s, &failed)) ? 1 : 0;
}

int qv_plat_sock_wait(int64_t sock, int for_write, int64_t timeout_ms) {
    if (sock < 0)
        return 0;
    if (timeout_ms < 0)
        timeout_ms = 0;
    SOCKET s = as_socket(sock);
    // Nothing interrupts select on Windows: a process that listens for stop requests waits in
    // short slices and looks at the flag between them, so a stop still ends the wait at once.
    // Once the stop was seen there is nothing left to look for: a caller that waits on (an
    // exchange finishing within its grace) sleeps on the socket for the whole time it gave.
    if (!g_stop_event.load() || qv_plat_stop_requested())
        return select_once(s, for_write, timeout_ms) == 1 ? 1 : 0;
    int64_t deadline = qv_plat_monotonic_ms() + timeout_ms;
    for (;;) {
        if (qv_plat_stop_requested())
            return QV_PLAT_INTERRUPTED;
        int64_t left = deadline - qv_plat_monotonic_ms();
        int got = select_once(s, for_write,
                              left < QV_PLAT_STOP_SLICE_MS ? (left > 0 ? left : 0)
                                                           : QV_PLAT_STOP_SLICE_MS);
        if (got != 0)
            return got == 1 ? 1 : 0;
        if (left <= QV_PLAT_STOP_SLICE_MS)
            return 0;
    }
}

static int clamp_len(size_t len) {
    return len > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len);
}

int64_t qv_plat_sock_send(int64_t sock, const void *buf, size_t len) {
    int n = send(as_socket(sock), static_cast<const char *>(buf), clamp_len(len), 0);
    if (n >= 0)
        return n;
    int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK || err == WSAEINTR)
        return QV_PLAT_WOULD_BLOCK;
    return -1;
}

int64_t qv_plat_sock_recv(int64_t sock, void *buf, size_t len) {
    int n = recv(as_socket(sock), static_cast<char *>(buf), clamp_len(len), 0);
    if (n >= 0)
        return n;
    int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK || err == WSAEINTR)
        return QV_PLAT_WOULD_BLOCK;
    return -1;
}

void qv_plat_sock_close(int64_t sock) {
    if (sock >= 0)
        closesocket(as_socket(sock));
}

static void request_stop_here(void) {
    note_stop();
    // Wakes a sleep at once rather than at the end of its slice.
    HANDLE ev = g_stop_event.load();
    if (ev)
        SetEvent(ev);
}

// Runs on a thread of its own that the system starts for each console event.
static BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        request_stop_here();
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The process ends as soon as this returns; the wait gives the daemon the time to finish
        // in order (its own end of main ends the process, and this wait with it).
        request_stop_here();
        Sleep(QV_PLAT_CLOSE_GRACE_MS);
        return TRUE;
    default:
        return FALSE;
    }
}

void qv_plat_install_stop_handlers(void) {
    SetConsoleCtrlHandler(on_console_event, TRUE);
    if (g_stop_event.load())
        return;
    char name[QV_PLAT_EVENT_NAME_CAP];
    snprintf(name, sizeof name, STOP_EVENT_FORMAT,
             static_cast<unsigned long>(GetCurrentProcessId()));
    // Manual reset: once set it stays set, like the flag.
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, name);
    if (ev)
        g_stop_event.store(ev);
}

int qv_plat_stop_requested(void) {
    if (g_stop_requested.load())
        return 1;
    HANDLE ev = g_stop_event.load();
    if (ev && WaitForSingleObject(ev, 0) == WAIT_OBJECT_0) {
        note_stop();
        return 1;
    }
    return 0;
}

int64_t qv_plat_stop_requested_at_ms(void) {
    (void)qv_plat_stop_requested(); // the answer is not needed: it notes an event set elsewhere
    return g_stop_at_ms.load();
}

// --- process liveness and local time (daemon pid file and log) ---

static bool pid_in_range(long pid) {
    return pid > 0;
}

int qv_plat_process_alive(long pid) {
    if (!pid_in_range(pid))
        return 0;
    DWORD id = static_cast<DWORD>(pid);
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, id);
    if (!h) {
        // Another user's process exists but may not be opened; only an id that names no
        // process means gone, so no live daemon is ever taken for dead.
        if (GetLastError() == ERROR_INVALID_PARAMETER)
            return 0;
        h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
        if (!h)
            return GetLastError() == ERROR_INVALID_PARAMETER ? 0 : 1;
    }
    // A process that has just ended can still be opened for a while: its exit code tells.
    DWORD code = 0;
    int alive = 1;
    if (GetExitCodeProcess(h, &code) && code != STILL_ACTIVE)
        alive = 0;
    // A process may itself exit with the code that means "still active"; its handle is
    // signalled all the same.
    if (alive && WaitForSingleObject(h, 0) == WAIT_OBJECT_0)
        alive = 0;
    CloseHandle(h);
    return alive;
}

int qv_plat_local_time(int64_t epoch, struct tm *out) {
    __time64_t t = static_cast<__time64_t>(epoch);
    // The C library reads TZ once unless asked again, so a long-running process follows a change.
    _tzset();
    return _localtime64_s(out, &t) == 0 ? 0 : -1;
}

// --- waiting (daemon) ---

void qv_plat_sleep_ms(int64_t ms) {
    if (ms <= 0)
        return;
    DWORD wait = ms > static_cast<int64_t>(INFINITE - 1) ? INFINITE - 1 : static_cast<DWORD>(ms);
    HANDLE ev = g_stop_event.load();
    // A stop request ends the sleep early, as a signal does elsewhere.
    if (ev)
        WaitForSingleObject(ev, wait);
    else
        Sleep(wait);
}

// --- daemon control for the setup interface (start and stop) ---

int qv_plat_exe_path(char *out, size_t cap) {
    if (!out || cap == 0)
        return -1;
    out[0] = '\0';
    DWORD size = cap > MAXDWORD ? MAXDWORD : static_cast<DWORD>(cap);
    DWORD n = GetModuleFileNameA(nullptr, out, size);
    // A path that does not fit comes back cut (and, on older systems, unterminated).
    if (n == 0 || n >= size) {
        out[0] = '\0';
        return -1;
    }
    return 0;
}

// Whether one "NAME=value" entry of a wide environment block goes on to the daemon: its name,
// in ASCII (any other character cannot be part of a kept name), through the shared rule.
static bool daemon_keeps(const wchar_t *entry) {
    char name[QV_PLAT_ENV_NAME_CAP];
    size_t i = 0;
    for (; entry[i] && (i == 0 || entry[i] != L'='); i++) {
        if (i + 1 >= sizeof name)
            return false;
        name[i] = entry[i] < 0x80 ? static_cast<char>(entry[i]) : '?';
    }
    name[i] = '\0';
    return qv_env_keep_for_daemon(name) != 0;
}

// This process's environment as a new wide block (entries, each ended by a zero, and one zero
// more) without what the web server set for the request that asks for the start: its headers
// carry the node password and the query string may too. Null when it cannot be made.
static wchar_t *daemon_environment(void) {
    wchar_t *own = GetEnvironmentStringsW();
    if (!own)
        return nullptr;
    size_t total = 0;
    for (const wchar_t *e = own; *e; e += wcslen(e) + 1) {
        if (daemon_keeps(e))
            total += wcslen(e) + 1;
    }
    // An empty block still needs its two closing zeros.
    wchar_t *block = static_cast<wchar_t *>(malloc((total + 2) * sizeof *block));
    if (block) {
        size_t at = 0;
        for (const wchar_t *e = own; *e; e += wcslen(e) + 1) {
            size_t len = wcslen(e) + 1;
            if (!daemon_keeps(e))
                continue;
            memcpy(block + at, e, len * sizeof *block);
            at += len;
        }
        block[at] = L'\0';
        block[at + 1] = L'\0';
    }
    FreeEnvironmentStringsW(own);
    return block;
}

int qv_plat_spawn_detached(const char *exe, const char *arg) {
    if (!exe || !arg)
        return -1;
    qv_heap<wchar_t> env(daemon_environment());
    if (!env)
        return -1;
    char cmdline[QV_PLAT_CMDLINE_CAP];
    int n = snprintf(cmdline, sizeof cmdline, "\"%s\" %s", exe, arg);
    if (n < 0 || static_cast<size_t>(n) >= sizeof cmdline)
        return -1;
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION pi;
    memset(&pi, 0, sizeof pi);
    // No console and no inherited handle: a web server waits for its CGI's output to close,
    // which an inherited one would keep open for the daemon's whole life.
    DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT;
    if (!CreateProcessA(exe, cmdline, nullptr, nullptr, FALSE, flags, env.get(), nullptr, &si, &pi))
        return -1;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
}

// The image path of a process as a wide string. Paths compare without regard to case on Windows.
static bool image_path_of(HANDLE process, wchar_t *out, DWORD cap) {
    DWORD size = cap;
    return QueryFullProcessImageNameW(process, 0, out, &size) && size > 0 && size < cap;
}

int qv_plat_process_is_self(long pid) {
    if (!pid_in_range(pid))
        return 0;
    HANDLE other = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!other)
        return 0;
    static wchar_t self_path[QV_PLAT_WIDE_PATH_CAP], other_path[QV_PLAT_WIDE_PATH_CAP];
    bool same = image_path_of(GetCurrentProcess(), self_path, QV_PLAT_WIDE_PATH_CAP) &&
                image_path_of(other, other_path, QV_PLAT_WIDE_PATH_CAP) &&
                CompareStringOrdinal(self_path, -1, other_path, -1, TRUE) == CSTR_EQUAL;
    CloseHandle(other);
    return same ? 1 : 0;
}

// Sets the stop event of a process that listens for one. False when it has none.
static bool request_orderly_stop(DWORD pid) {
    char name[QV_PLAT_EVENT_NAME_CAP];
    snprintf(name, sizeof name, STOP_EVENT_FORMAT, static_cast<unsigned long>(pid));
    HANDLE ev = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
    if (!ev)
        return false;
    bool set = SetEvent(ev) != 0;
    CloseHandle(ev);
    return set;
}

static DWORD wait_slice(int64_t ms) {
    if (ms <= 0)
        return 0;
    return ms > static_cast<int64_t>(INFINITE - 1) ? INFINITE - 1 : static_cast<DWORD>(ms);
}

int qv_plat_terminate(long pid, int64_t wait_ms) {
    if (!pid_in_range(pid))
        return -1;
    DWORD id = static_cast<DWORD>(pid);
    HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
    if (!h)
        return GetLastError() == ERROR_INVALID_PARAMETER ? 0 : -1;
    // The daemon asked through its stop event finishes in order (its status, its own
    // "daemon stopped" line); one that does not end in time is terminated.
    int rc = -1;
    if (request_orderly_stop(id) && WaitForSingleObject(h, wait_slice(wait_ms)) == WAIT_OBJECT_0) {
        rc = 0;
    } else {
        TerminateProcess(h, QV_PLAT_EXIT_TERMINATED);
        if (WaitForSingleObject(h, wait_slice(QV_PLAT_KILL_WAIT_MS)) == WAIT_OBJECT_0)
            rc = 0;
    }
    CloseHandle(h);
    return rc;
}
