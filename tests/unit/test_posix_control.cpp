// The platform's daemon controls: this executable's path, telling our own program from others,
// a detached start that inherits nothing, and a stop that ends even a process ignoring SIGTERM.
#include "platform.h"
#include "support.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

static std::string proc_text(pid_t pid, const char *name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The value of one "Name:\tvalue" line of /proc/PID/status.
static std::string status_line(pid_t pid, const std::string &name) {
    std::istringstream in(proc_text(pid, "status"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name + ":", 0) == 0)
            return line.substr(line.find_first_not_of(" \t", name.size() + 1));
    return "<none>";
}

// The process whose command line is exactly these arguments, or 0.
static pid_t find_process(const std::string &cmdline) {
    for (const auto &entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        pid_t pid = static_cast<pid_t>(std::stol(name));
        if (proc_text(pid, "cmdline") == cmdline)
            return pid;
    }
    return 0;
}

template <typename Check> static bool wait_for(Check check, int timeout_ms = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!check()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

TEST(PosixControl, ExecutablePath) {
    char path[4096];
    ASSERT_EQ(qv_plat_exe_path(path, sizeof path), 0);
    EXPECT_EQ(std::string(path), fs::canonical("/proc/self/exe").string());
    char tiny[4] = "xyz";
    EXPECT_EQ(qv_plat_exe_path(tiny, sizeof tiny), -1);
    EXPECT_STREQ(tiny, "");
}

TEST(PosixControl, OnlyAProcessOfThisExecutableIsSelf) {
    EXPECT_EQ(qv_plat_process_is_self(getpid()), 1);
    pid_t same = fork();
    if (same == 0) {
        pause();
        _exit(0);
    }
    pid_t other = fork();
    if (other == 0) {
        execl("/bin/sleep", "/bin/sleep", "30", static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_TRUE(wait_for([&] {
        return fs::read_symlink("/proc/" + std::to_string(other) + "/exe") ==
                   fs::path("/usr/bin/sleep") ||
               fs::read_symlink("/proc/" + std::to_string(other) + "/exe") ==
                   fs::path("/bin/sleep");
    }));
    EXPECT_EQ(qv_plat_process_is_self(same), 1);
    EXPECT_EQ(qv_plat_process_is_self(other), 0);
    for (pid_t p : {same, other}) {
        kill(p, SIGKILL);
        waitpid(p, nullptr, 0);
    }
    EXPECT_EQ(qv_plat_process_is_self(other), 0); // gone
    EXPECT_EQ(qv_plat_process_is_self(0), 0);
    EXPECT_EQ(qv_plat_process_is_self(-1), 0);
}

TEST(PosixControl, DetachedStartInheritsNothing) {
    // Things a web server's CGI process may hand on: an open pipe, an ignored and a blocked signal.
    int leak[2];
    ASSERT_EQ(pipe(leak), 0);
    void (*old_pipe)(int) = signal(SIGPIPE, SIG_IGN);
    sigset_t block, old_mask;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    sigprocmask(SIG_BLOCK, &block, &old_mask);

    // A duration nobody else uses names the process.
    std::mt19937 rng(std::random_device{}());
    std::string arg = "3600." + std::to_string(100000 + rng() % 800000);
    int rc = qv_plat_spawn_detached("/bin/sleep", arg.c_str());

    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    signal(SIGPIPE, old_pipe);
    close(leak[0]);
    close(leak[1]);
    ASSERT_EQ(rc, 0);

    std::string cmdline = std::string("/bin/sleep") + '\0' + arg + '\0';
    pid_t pid = 0;
    ASSERT_TRUE(wait_for([&] { return (pid = find_process(cmdline)) != 0; }));
    // Right after exec the dynamic loader briefly opens libraries of its own; an inherited
    // descriptor would stay, so wait for the list to settle and then compare.
    const std::vector<std::string> want{"0=/dev/null", "1=/dev/null", "2=/dev/null"};
    std::vector<std::string> fds;
    auto read_fds = [&] {
        fds.clear();
        std::error_code ec;
        for (const auto &entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
            std::error_code link_ec;
            fs::path target = fs::read_symlink(entry.path(), link_ec);
            if (!link_ec)
                fds.push_back(entry.path().filename().string() + "=" + target.string());
        }
        std::sort(fds.begin(), fds.end());
        return fds == want;
    };
    wait_for(read_fds);
    EXPECT_EQ(fds, want);
    EXPECT_EQ(status_line(pid, "SigIgn"), "0000000000000000");
    EXPECT_EQ(status_line(pid, "SigBlk"), "0000000000000000");
    EXPECT_NE(getsid(pid), getsid(0));
    EXPECT_NE(getsid(pid), pid); // not a session leader: it can never take a terminal
    EXPECT_NE(status_line(pid, "PPid"), std::to_string(getpid()));
    EXPECT_EQ(qv_plat_terminate(pid, 3000), 0);
}

TEST(PosixControl, DetachedStartOfAMissingProgramFails) {
    EXPECT_EQ(qv_plat_spawn_detached("/nonexistent/program", "--daemon"), -1);
    EXPECT_EQ(qv_plat_spawn_detached(nullptr, "--daemon"), -1);
}

TEST(PosixControl, TerminateAsksFirstThenKills) {
    struct Case {
        bool ignore_term;
        int want_signal;
    } cases[] = {{false, SIGTERM}, {true, SIGKILL}};
    for (const Case &c : cases) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t pid = fork();
        if (pid == 0) {
            // Other tests in this process may have installed a stop handler.
            signal(SIGTERM, c.ignore_term ? SIG_IGN : SIG_DFL);
            if (write(ready[1], "r", 1) != 1)
                _exit(1);
            for (;;)
                pause();
        }
        char byte;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
        close(ready[0]);
        close(ready[1]);
        EXPECT_EQ(qv_plat_terminate(pid, 200), 0);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_EQ(WTERMSIG(status), c.want_signal);
        // Gone already: nothing to do.
        EXPECT_EQ(qv_plat_terminate(pid, 200), 0);
    }
    EXPECT_EQ(qv_plat_terminate(0, 10), -1);
}

TEST(PosixControl, ALockHeldByAnotherProcessWaitsThenFailsAndIsFreeAfterRelease) {
    TempStateRoot t;
    fs::create_directories(t.state_dir());
    std::string path = t.file("state.lock");
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t pid = fork();
    if (pid == 0) {
        int64_t held = qv_plat_lock_take(path.c_str(), 0);
        char byte = held >= 0 ? 'y' : 'n';
        if (write(ready[1], &byte, 1) != 1 || read(release[0], &byte, 1) != 1)
            _exit(1);
        qv_plat_lock_release(held);
        if (write(ready[1], "r", 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 'y');
    EXPECT_EQ(qv_plat_lock_take(path.c_str(), 0), -1);
    EXPECT_EQ(qv_plat_lock_take(path.c_str(), 100), -1);
    ASSERT_EQ(write(release[1], "go", 1), 1);
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    int64_t mine = qv_plat_lock_take(path.c_str(), 5000);
    EXPECT_GE(mine, 0);
    qv_plat_lock_release(mine);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    for (int fd : {ready[0], ready[1], release[0], release[1]})
        close(fd);
}
