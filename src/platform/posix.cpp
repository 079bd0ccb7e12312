// POSIX implementation of the platform layer: private files and folders, atomic replace,
// clocks, process id and random bytes.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

int qv_plat_mkdir_private(const char *path) {
    return mkdir(path, 0700) == 0 ? 0 : -1;
}

FILE *qv_plat_fopen_private(const char *path, const char *mode) {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    if (mode[0] == 'a')
        flags |= O_APPEND;
    else
        flags |= O_TRUNC;
    int fd = open(path, flags, 0600);
    if (fd < 0)
        return nullptr;
    // A file left by an earlier writer may carry wider rights; credentials must not.
    if (fchmod(fd, 0600) != 0) {
        close(fd);
        return nullptr;
    }
    FILE *f = fdopen(fd, mode);
    if (!f)
        close(fd);
    return f;
}

int qv_plat_replace_file(const char *from, const char *to) {
    return rename(from, to) == 0 ? 0 : -1;
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

// --- process liveness and local time (daemon pid file and log) ---

int qv_plat_process_alive(long pid) {
    if (pid <= 0 || static_cast<pid_t>(pid) != pid)
        return 0;
    if (kill(static_cast<pid_t>(pid), 0) == 0)
        return 1;
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
