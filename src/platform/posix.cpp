// POSIX implementation of the platform layer: private files and folders, atomic replace,
// clocks, process id and random bytes.
#include "platform.h"

#include "base.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

int qv_plat_mkdir_private(const char *path) {
    return mkdir(path, 0700) == 0 ? 0 : -1;
}

// Opens without following a link and without blocking on a FIFO planted in the file's place;
// only a regular file with one name passes. -1 otherwise (nothing left open).
static int open_regular(const char *path, int flags, mode_t mode, struct stat *st) {
    int fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0)
        return -1;
    int fl = fcntl(fd, F_GETFL);
    if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode) || st->st_nlink != 1 || fl < 0 ||
        fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

FILE *qv_plat_fopen_private(const char *path, const char *mode) {
    bool append = mode[0] == 'a';
    struct stat st;
    // Not truncated at open: a file that is not ours must be left exactly as it is.
    int fd = open_regular(path, O_WRONLY | O_CREAT | (append ? O_APPEND : 0), 0600, &st);
    if (fd < 0)
        return nullptr;
    // A file left by an earlier writer may carry wider rights; credentials must not. Only a
    // file of the running user's is narrowed: anything else was put there by someone else.
    bool ok = st.st_uid == geteuid() && ((st.st_mode & 0777) == 0600 || fchmod(fd, 0600) == 0) &&
              (append || ftruncate(fd, 0) == 0);
    FILE *f = ok ? fdopen(fd, append ? "ab" : "wb") : nullptr;
    if (!f)
        close(fd);
    return f;
}

FILE *qv_plat_fcreate_new_private(const char *path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return nullptr;
    FILE *f = fdopen(fd, "wb");
    if (!f) {
        close(fd);
        unlink(path);
    }
    return f;
}

FILE *qv_plat_fopen_read(const char *path) {
    struct stat st;
    int fd = open_regular(path, O_RDONLY, 0, &st);
    if (fd < 0)
        return nullptr;
    FILE *f = fdopen(fd, "rb");
    if (!f)
        close(fd);
    return f;
}

int qv_plat_dir_check_private(const char *path, int follow, char *err, size_t cap) {
    struct stat st;
    if ((follow ? stat(path, &st) : lstat(path, &st)) != 0)
        return QV_PLAT_DIR_MISSING;
    if (S_ISLNK(st.st_mode)) {
        qv_errf(err, cap, "state folder %s is a symbolic link: replace it with a folder of your own",
                path);
        return QV_PLAT_DIR_EXPOSED;
    }
    if (!S_ISDIR(st.st_mode))
        return QV_PLAT_DIR_MISSING;
    uid_t me = geteuid();
    if (st.st_uid != me) {
        qv_errf(err, cap, "state folder %s is owned by another user (uid %lu): chown %lu %s", path,
                static_cast<unsigned long>(st.st_uid), static_cast<unsigned long>(me), path);
        return QV_PLAT_DIR_EXPOSED;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        qv_errf(err, cap, "state folder %s is writable by %s: chmod go-w %s", path,
                (st.st_mode & S_IWOTH) ? "others" : "its group", path);
        return QV_PLAT_DIR_EXPOSED;
    }
    return QV_PLAT_DIR_PRIVATE;
}

int qv_plat_list_dir(const char *path, char *names, size_t name_cap, int max) {
    DIR *dir = opendir(path);
    if (!dir)
        return -1;
    int count = 0;
    while (count < max) {
        const struct dirent *e = readdir(dir);
        if (!e)
            break;
        size_t len = strlen(e->d_name);
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0 || len >= name_cap)
            continue;
        memcpy(names + static_cast<size_t>(count++) * name_cap, e->d_name, len + 1);
    }
    closedir(dir);
    return count;
}

int qv_plat_file_stamp_of(const char *path, qv_plat_file_stamp *out) {
    struct stat st;
    if (lstat(path, &st) != 0)
        return -1;
    out->identity = static_cast<uint64_t>(st.st_ino);
    out->size = static_cast<int64_t>(st.st_size);
    out->modified_ns = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
    out->changed_ns = int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
    return 0;
}

int qv_plat_path_missing(const char *path) {
    struct stat st;
    return lstat(path, &st) != 0 && (errno == ENOENT || errno == ENOTDIR) ? 1 : 0;
}

int qv_plat_replace_file(const char *from, const char *to) {
    return rename(from, to) == 0 ? 0 : -1;
}

// fdatasync writes the data and what reading it back needs (the length), not the times.
int qv_plat_file_flush(FILE *f) {
    if (fflush(f) != 0)
        return -1;
    return fdatasync(fileno(f)) == 0 ? 0 : -1;
}

int64_t qv_plat_file_open_in_place(const char *path) {
    struct stat st;
    int fd = open_regular(path, O_RDWR, 0, &st);
    if (fd >= 0 && st.st_uid != geteuid()) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

int qv_plat_file_write_at_durable(int64_t file, int64_t offset, const void *data, size_t len) {
    const char *p = static_cast<const char *>(data);
    int fd = static_cast<int>(file);
    for (size_t done = 0; done < len;) {
        ssize_t n = pwrite(fd, p + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        done += static_cast<size_t>(n);
    }
    return fdatasync(fd) == 0 ? 0 : -1;
}

void qv_plat_file_close_in_place(int64_t file) {
    if (file >= 0)
        close(static_cast<int>(file));
}

int qv_plat_dir_flush(const char *path) {
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int rc = fsync(fd);
    int saved = errno;
    close(fd);
    errno = saved;
    return rc == 0 ? 0 : -1;
}

// The reasons are the C library's sentences; ours are lower case.
static void reason_text(const char *text, char *out, size_t cap) {
    qv_errf(out, cap, "%s", text ? text : "unknown error");
    if (cap > 0 && out[0] >= 'A' && out[0] <= 'Z' && !(out[1] >= 'A' && out[1] <= 'Z'))
        out[0] = static_cast<char>(out[0] - 'A' + 'a');
}

void qv_plat_error_text(char *out, size_t cap) {
    reason_text(strerror(errno), out, cap);
}

enum { QV_PLAT_LOCK_RETRY_MS = 2 };

int64_t qv_plat_lock_take(const char *path, int64_t wait_ms) {
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return -1;
    int64_t deadline = qv_plat_monotonic_ms() + (wait_ms > 0 ? wait_ms : 0);
    // flock belongs to this open file, so it outlives a fork only in children that keep the
    // descriptor (none do: it is close-on-exec) and ends when the process dies.
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || qv_plat_monotonic_ms() >= deadline) {
            close(fd);
            return -1;
        }
        qv_plat_sleep_ms(QV_PLAT_LOCK_RETRY_MS);
    }
    return fd;
}

void qv_plat_lock_release(int64_t lock) {
    if (lock >= 0)
        close(static_cast<int>(lock)); // closing the file releases its lock
}

int qv_plat_home_dir(char *out, size_t cap) {
    if (!out || cap == 0)
        return -1;
    const char *home = getenv("HOME");
    if (!home || !*home) {
        struct passwd *pw = getpwuid(getuid());
        home = pw ? pw->pw_dir : nullptr;
    }
    if (!home || !*home || strlen(home) >= cap)
        return -1;
    memcpy(out, home, strlen(home) + 1);
    return 0;
}

long qv_plat_pid(void) {
    return static_cast<long>(getpid());
}

int64_t qv_plat_monotonic_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t qv_plat_epoch_seconds(void) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

void qv_plat_stdio_binary(void) {
    // POSIX streams never translate line ends.
}

void qv_plat_net_startup(void) {
    signal(SIGPIPE, SIG_IGN);
}

int64_t qv_plat_stdin_read(void *buf, size_t len, int64_t deadline_ms) {
    for (;;) {
        int64_t left = deadline_ms - qv_plat_monotonic_ms();
        if (left <= 0)
            return QV_PLAT_STDIN_TIMED_OUT;
        struct pollfd p = {STDIN_FILENO, POLLIN, 0};
        int ready = poll(&p, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return -1;
        if (ready == 0)
            return QV_PLAT_STDIN_TIMED_OUT;
        ssize_t n = read(STDIN_FILENO, buf, len);
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 ? -1 : static_cast<int64_t>(n);
    }
}

int qv_plat_random_bytes(void *buf, size_t len) {
    unsigned char *p = static_cast<unsigned char *>(buf);
    while (len > 0) {
        ssize_t n = getrandom(p, len, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

// --- sockets and stop signals (HTTP/TLS client) ---

#include <atomic>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

struct qv_plat_addrs {
    struct addrinfo *list;
    int count;
};

static thread_local int g_resolve_error = 0;
static thread_local int g_resolve_errno = 0;

void qv_plat_resolve_error_text(char *out, size_t cap) {
    if (g_resolve_error == EAI_SYSTEM)
        reason_text(strerror(g_resolve_errno), out, cap);
    else
        reason_text(g_resolve_error ? gai_strerror(g_resolve_error) : "no address found", out, cap);
}

static std::atomic<int> g_stop_requested{0};
static std::atomic<int64_t> g_stop_at_ms{-1}; // set before the flag, by the first stop only
static_assert(std::atomic<int64_t>::is_always_lock_free, "the stop handler stores the time");

int qv_plat_resolve(const char *host, int port, qv_plat_addrs **out) {
    *out = nullptr;
    char service[16];
    snprintf(service, sizeof service, "%d", port);
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *list = nullptr;
    // An address written as digits (the node on 127.0.0.1) needs no resolver and none of the
    // files it reads for every call.
    hints.ai_flags = AI_NUMERICHOST;
    g_resolve_error = getaddrinfo(host, service, &hints, &list);
    if (g_resolve_error == EAI_NONAME) {
        hints.ai_flags = 0;
        g_resolve_error = getaddrinfo(host, service, &hints, &list);
    }
    g_resolve_errno = errno;
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

int64_t qv_plat_connect_start(const qv_plat_addrs *a, int index, int *pending) {
    *pending = 0;
    struct addrinfo *ai = a ? a->list : nullptr;
    for (int i = 0; ai && i < index; i++)
        ai = ai->ai_next;
    if (!ai)
        return -1;
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0)
        return -1;
    // Requests and TLS records go out in small writes: without this, a write that follows an
    // unacknowledged one waits for the peer's delayed acknowledgement (about 40 ms on Linux).
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0)
        return fd;
    // A non-blocking connect cut short by a signal goes on in the background like one that
    // would block; both are finished by waiting for writability.
    if (errno == EINPROGRESS || errno == EINTR) {
        *pending = 1;
        return fd;
    }
    close(fd);
    return -1;
}

int qv_plat_connect_result(int64_t sock) {
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(static_cast<int>(sock), SOL_SOCKET, SO_ERROR, &error, &len) != 0)
        return -1;
    errno = error; // the connect's own reason, for qv_plat_error_text
    return error == 0 ? 0 : -1;
}

int qv_plat_sock_wait(int64_t sock, int for_write, int64_t timeout_ms) {
    if (sock < 0)
        return 0;
    if (timeout_ms < 0)
        timeout_ms = 0;
    if (timeout_ms > INT_MAX)
        timeout_ms = INT_MAX;
    // poll, unlike select, has no cap on the descriptor's number.
    struct pollfd p = {static_cast<int>(sock), static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
    int n = poll(&p, 1, static_cast<int>(timeout_ms));
    if (n < 0)
        return errno == EINTR ? QV_PLAT_INTERRUPTED : 0;
    // An error or a hang-up is "ready" too: the read or the connect result then tells which.
    return n > 0 && p.revents != 0 ? 1 : 0;
}

int64_t qv_plat_sock_send(int64_t sock, const void *buf, size_t len) {
    ssize_t n = send(static_cast<int>(sock), buf, len, MSG_NOSIGNAL);
    if (n >= 0)
        return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return QV_PLAT_WOULD_BLOCK;
    return -1;
}

int64_t qv_plat_sock_recv(int64_t sock, void *buf, size_t len) {
    ssize_t n = recv(static_cast<int>(sock), buf, len, 0);
    if (n >= 0)
        return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return QV_PLAT_WOULD_BLOCK;
    return -1;
}

void qv_plat_sock_close(int64_t sock) {
    if (sock >= 0)
        close(static_cast<int>(sock));
}

static void on_stop_signal(int) {
    // clock_gettime may be called from a signal handler, and a lock-free atomic may be stored.
    int64_t none = -1;
    g_stop_at_ms.compare_exchange_strong(none, qv_plat_monotonic_ms());
    g_stop_requested.store(1);
}

void qv_plat_install_stop_handlers(void) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the signal must end a blocking wait
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

int qv_plat_stop_requested(void) {
    return g_stop_requested.load() ? 1 : 0;
}

int64_t qv_plat_stop_requested_at_ms(void) {
    return g_stop_at_ms.load();
}

// --- process liveness and local time (daemon pid file and log) ---

// An exited process its parent has not reaped yet still answers kill(pid, 0); it has ended.
static bool process_is_zombie(long pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    FILE *f = fopen(path, "r");
    if (!f)
        return false;
    char buf[512];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    // The state follows the command name, which is in parentheses and may hold blanks.
    const char *close = strrchr(buf, ')');
    return close && close[1] == ' ' && close[2] == 'Z';
}

int qv_plat_process_alive(long pid) {
    if (pid <= 0 || static_cast<pid_t>(pid) != pid)
        return 0;
    if (kill(static_cast<pid_t>(pid), 0) == 0)
        return process_is_zombie(pid) ? 0 : 1;
    // EPERM: the process exists but belongs to someone else. Only ESRCH means it is gone; an
    // answer we cannot interpret counts as alive, so no live daemon is ever taken for dead.
    return errno == ESRCH ? 0 : 1;
}

int qv_plat_local_time(int64_t epoch, struct tm *out) {
    time_t t = static_cast<time_t>(epoch);
    // localtime_r need not look at TZ again; tzset makes it follow the current setting.
    tzset();
    return localtime_r(&t, out) ? 0 : -1;
}

// --- waiting (daemon) ---

void qv_plat_sleep_ms(int64_t ms) {
    if (ms <= 0)
        return;
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>((ms % 1000) * 1000000);
    nanosleep(&ts, nullptr);
}

// --- daemon control for the setup interface (start and stop) ---

#include <climits>
#include <sys/wait.h>

enum {
    QV_PLAT_LINK_CAP = PATH_MAX,
    QV_PLAT_PROC_PATH_CAP = 64,
    QV_PLAT_STAT_CAP = 512,
    QV_PLAT_FIRST_FREE_FD = 3,
    QV_PLAT_EXEC_FAILED = 127,
};

enum : int64_t { QV_PLAT_POLL_MS = 10, QV_PLAT_KILL_WAIT_MS = 1000 };

// Linux names an executable replaced since the process started "<path> (deleted)".
static const char DELETED_SUFFIX[] = " (deleted)";

static int read_exe_link(const char *link, char *out, size_t cap) {
    if (!out || cap == 0)
        return -1;
    out[0] = '\0';
    ssize_t n = readlink(link, out, cap);
    if (n <= 0 || static_cast<size_t>(n) >= cap) {
        out[0] = '\0';
        return -1;
    }
    out[n] = '\0';
    size_t len = static_cast<size_t>(n), suffix = sizeof DELETED_SUFFIX - 1;
    if (len > suffix && strcmp(out + len - suffix, DELETED_SUFFIX) == 0)
        out[len - suffix] = '\0';
    return 0;
}

int qv_plat_exe_path(char *out, size_t cap) {
    return read_exe_link("/proc/self/exe", out, cap);
}

int qv_plat_process_is_self(long pid) {
    if (pid <= 0 || static_cast<pid_t>(pid) != pid)
        return 0;
    char link[QV_PLAT_PROC_PATH_CAP];
    snprintf(link, sizeof link, "/proc/%ld/exe", pid);
    char self[QV_PLAT_LINK_CAP], other[QV_PLAT_LINK_CAP];
    if (read_exe_link("/proc/self/exe", self, sizeof self) != 0 ||
        read_exe_link(link, other, sizeof other) != 0)
        return 0;
    return strcmp(self, other) == 0;
}

// The grandchild's set-up before exec: nothing of the web server's request may stay attached,
// or the server would wait for the daemon before it finishes its response.
[[noreturn]] static void exec_detached(const char *exe, const char *arg, char *const *envp,
                                       int report_fd) {
    // Keep the failure report above the standard streams while they are replaced.
    int report = fcntl(report_fd, F_DUPFD_CLOEXEC, QV_PLAT_FIRST_FREE_FD);
    int null_fd = open("/dev/null", O_RDWR);
    if (report < 0 || null_fd < 0)
        _exit(QV_PLAT_EXEC_FAILED);
    for (int fd = 0; fd < QV_PLAT_FIRST_FREE_FD; fd++)
        dup2(null_fd, fd);
    if (report != QV_PLAT_FIRST_FREE_FD) {
        dup3(report, QV_PLAT_FIRST_FREE_FD, O_CLOEXEC);
        report = QV_PLAT_FIRST_FREE_FD;
    }
    if (close_range(QV_PLAT_FIRST_FREE_FD + 1, ~0U, 0) != 0) {
        long max_fd = sysconf(_SC_OPEN_MAX);
        for (long fd = QV_PLAT_FIRST_FREE_FD + 1; fd < max_fd; fd++)
            close(static_cast<int>(fd));
    }
    // Ignored signals survive exec; the daemon must start from the defaults.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; sig++)
        signal(sig, SIG_DFL);
    char *argv[] = {const_cast<char *>(exe), const_cast<char *>(arg), nullptr};
    execve(exe, argv, envp);
    int err = errno;
    ssize_t ignored = write(report, &err, sizeof err);
    (void)ignored;
    _exit(QV_PLAT_EXEC_FAILED);
}

// This process's environment without what the web server set for the request that asks for
// the start: its headers carry the node password and the query string may too. The entries
// are environ's own texts; only the list is new (null when it cannot be allocated).
static char **daemon_environment(void) {
    size_t n = 0;
    while (environ[n])
        n++;
    char **envp = static_cast<char **>(malloc((n + 1) * sizeof *envp));
    if (!envp)
        return nullptr;
    size_t kept = 0;
    for (size_t i = 0; i < n; i++) {
        if (qv_env_keep_for_daemon(environ[i]))
            envp[kept++] = environ[i];
    }
    envp[kept] = nullptr;
    return envp;
}

int qv_plat_spawn_detached(const char *exe, const char *arg) {
    if (!exe || !arg)
        return -1;
    qv_heap<char *> envp(daemon_environment());
    if (!envp)
        return -1;
    // Closed by a successful exec; an errno arrives through it when exec fails.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return -1;
    pid_t child = fork();
    if (child < 0) {
        close(report[0]);
        close(report[1]);
        return -1;
    }
    if (child == 0) {
        close(report[0]);
        // A session of its own, then a second fork: the daemon is no session leader, so it can
        // never take a terminal, and its parent (init) reaps it.
        if (setsid() < 0)
            _exit(QV_PLAT_EXEC_FAILED);
        pid_t grandchild = fork();
        if (grandchild < 0)
            _exit(QV_PLAT_EXEC_FAILED);
        if (grandchild == 0)
            exec_detached(exe, arg, envp.get(), report[1]);
        _exit(0);
    }
    close(report[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int exec_errno = 0;
    ssize_t n;
    do {
        n = read(report[0], &exec_errno, sizeof exec_errno);
    } while (n < 0 && errno == EINTR);
    close(report[0]);
    bool forked = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return forked && n == 0 ? 0 : -1;
}

// Ended: no such process any more, or only its exit status is left for its parent to collect.
static bool stop_target_ended(pid_t pid) {
    if (kill(pid, 0) != 0)
        return errno == ESRCH;
    char path[QV_PLAT_PROC_PATH_CAP];
    snprintf(path, sizeof path, "/proc/%ld/stat", static_cast<long>(pid));
    FILE *f = fopen(path, "r");
    if (!f)
        return true;
    char buf[QV_PLAT_STAT_CAP];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    // The state follows the command name, which is in parentheses and may hold blanks.
    const char *close_paren = strrchr(buf, ')');
    return close_paren && close_paren[1] == ' ' && close_paren[2] == 'Z';
}

static bool wait_ended(pid_t pid, int64_t wait_ms) {
    int64_t deadline = qv_plat_monotonic_ms() + wait_ms;
    for (;;) {
        if (stop_target_ended(pid))
            return true;
        if (qv_plat_monotonic_ms() >= deadline)
            return false;
        struct timespec slice = {0, QV_PLAT_POLL_MS * 1000000};
        nanosleep(&slice, nullptr);
    }
}

int qv_plat_terminate(long pid, int64_t wait_ms) {
    if (pid <= 0 || static_cast<pid_t>(pid) != pid)
        return -1;
    pid_t p = static_cast<pid_t>(pid);
    if (kill(p, SIGTERM) != 0 && errno == ESRCH)
        return 0;
    if (wait_ended(p, wait_ms))
        return 0;
    kill(p, SIGKILL);
    return wait_ended(p, QV_PLAT_KILL_WAIT_MS) ? 0 : -1;
}

// --- the state folder used when QV_CONNECTORS_DIR is not set ---

static const char HOME_STATE_SUBDIR[] = "/.quorvane/connectors/chimewick";
enum { QV_PLAT_HOME_CAP = 600 };  // a longer home folder is refused

int qv_plat_default_state_dir(char *out, size_t cap) {
    if (!out || cap == 0)
        return -1;
    out[0] = '\0';
    char home[QV_PLAT_HOME_CAP];
    if (qv_plat_home_dir(home, sizeof home) != 0)
        return -1;
    int n = snprintf(out, cap, "%s%s", home, HOME_STATE_SUBDIR);
    if (n < 0 || static_cast<size_t>(n) >= cap) {
        out[0] = '\0';
        return -1;
    }
    return 0;
}
