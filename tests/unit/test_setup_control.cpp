// The daemon controls: the log tail and its cut rules, start (refusals, a detached daemon, a
// second start), stop (this program only, twice in a row, stale and foreign pid files) and the
// log lines both leave.
#include "net_peers.h"
#include "platform.h"
#include "setup_support.h"
#include "state.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

static std::string logs_answer(const std::string &tail, size_t bytes) {
    return cgi_answer(200, "{\"ok\":true,\"log\":" + json_str(tail) +
                               ",\"bytes\":" + std::to_string(bytes) + "}");
}

// Polls until the check holds or the deadline passes; the result says which.
template <typename Check> static bool wait_for(Check check, int timeout_ms = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!check()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A process that exists and is not only waiting to be reaped.
static bool running(pid_t pid) {
    if (kill(pid, 0) != 0)
        return false;
    std::string stat = read_whole("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

static std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1)
        lines.push_back(text.substr(from, nl - from));
    return lines;
}

// The text after a log line's time stamp.
static std::string message_of(const std::string &line) {
    size_t blank = line.find(' ');
    return blank == std::string::npos ? line : line.substr(blank + 1);
}

class SetupControl : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(state_.state_dir());
    }
    void TearDown() override {
        // Never leave a daemon behind, whatever failed.
        int32_t pid = 0;
        if (qv_ntfy_pidfile_read(&pid) == 0 && running(pid))
            cgi(state_, "action=stop");
    }
    // A configuration a daemon accepts; both peers are loopback ports nobody listens on.
    void configure_valid() {
        qv_ntfy_config c;
        qv_ntfy_config_defaults(&c);
        snprintf(c.server_url, sizeof c.server_url, "http://127.0.0.1:%d", unused_port());
        snprintf(c.bot_api_url, sizeof c.bot_api_url, "http://127.0.0.1:%d", unused_port());
        snprintf(c.topic, sizeof c.topic, "alerts");
        snprintf(c.target_session, sizeof c.target_session, "main");
        char err[256] = "";
        ASSERT_EQ(qv_ntfy_config_save(&c, err, sizeof err), 0) << err;
    }
    std::string log() {
        return read_whole(state_.file("daemon.log"));
    }
    TempStateRoot state_;
};

// --- logs ---

TEST_F(SetupControl, MissingLogIsEmpty) {
    EXPECT_EQ(cgi(state_, "action=logs").out, logs_answer("", 0));
}

TEST_F(SetupControl, ShortLogIsReturnedWhole) {
    for (size_t n : {1u, 12u, 15999u}) {
        std::string text =
            n < 12 ? std::string(n, 'y') : "first line\n" + std::string(n - 12, 'x') + "\n";
        ASSERT_EQ(text.size(), n);
        write_whole(state_.file("daemon.log"), text);
        EXPECT_EQ(cgi(state_, "action=logs").out, logs_answer(text, n)) << n;
    }
}

TEST_F(SetupControl, TailOfALongLogStartsAfterANewline) {
    const size_t n = 20000;
    struct Case {
        std::vector<size_t> newlines;
        size_t start;
    } cases[] = {
        {{4001}, 4002},   {{100, 4000, 9000, 12000}, 9001}, {{4000}, 19920}, {{19919}, 19920},
        {{19920}, 19921}, {{19921, 19999}, 19920},          {{}, 19920},
    };
    for (const Case &c : cases) {
        std::string text(n, 'a');
        for (size_t at : c.newlines)
            text[at] = '\n';
        write_whole(state_.file("daemon.log"), text);
        EXPECT_EQ(cgi(state_, "action=logs").out, logs_answer(text.substr(c.start), n))
            << "start " << c.start;
    }
}

TEST_F(SetupControl, TailNeverStartsInsideACharacter) {
    // Two-byte characters from offset 1 on: offset 19,920 holds a continuation byte.
    std::string text = "x";
    while (text.size() < 20000)
        text += "\xC3\xA9";
    text.resize(19999);
    text += "!";
    ASSERT_EQ(static_cast<unsigned char>(text[19920]) & 0xC0, 0x80);
    write_whole(state_.file("daemon.log"), text);
    EXPECT_EQ(cgi(state_, "action=logs").out, logs_answer(text.substr(19921), 20000));
}

TEST_F(SetupControl, BytesThatAreNotUtf8AreShownRepairedNotFailingTheWholeLog) {
    const std::string log = "2026-01-01T00:00:00 odd \xff\xfe bytes\n2026-01-01T00:00:01 fine\n";
    write_whole(state_.file("daemon.log"), log);
    EXPECT_EQ(cgi(state_, "action=logs").out,
              cgi_answer(200, "{\"ok\":true,\"log\":\"2026-01-01T00:00:00 odd \xEF\xBF\xBD\xEF\xBF\xBD "
                              "bytes\\n2026-01-01T00:00:01 fine\\n\",\"bytes\":" +
                              std::to_string(log.size()) + "}"));
}

TEST_F(SetupControl, UnusableStateFolderForLogs) {
    RunResult r = run_exe({}, {{"QV_CONNECTORS_DIR", "/proc/none"},
                               {"HOME", "/proc/none"},
                               {"QUERY_STRING", "action=logs"}});
    EXPECT_EQ(r.out, cgi_fail(500, "connector dir unavailable"));
}

// --- start ---

TEST_F(SetupControl, StartRefusesAnInvalidConfigurationBeforeTouchingAnything) {
    EXPECT_EQ(cgi(state_, "action=start").out, cgi_fail(400, "topic is required"));
    EXPECT_FALSE(fs::exists(state_.file("daemon.log")));
    EXPECT_FALSE(fs::exists(state_.file("daemon.pid")));
}

TEST_F(SetupControl, StartWithALogThatCannotBeOpened) {
    configure_valid();
    // A log that leads into a folder that does not exist cannot be created.
    fs::create_symlink(state_.root() + "/missing/daemon.log", state_.file("daemon.log"));
    EXPECT_EQ(cgi(state_, "action=start").out, cgi_fail(500, "cannot open the log file"));
    EXPECT_FALSE(fs::exists(state_.file("daemon.pid")));
}

TEST_F(SetupControl, StartThenStartAgainThenStopTwice) {
    configure_valid();
    RunResult r = cgi(state_, "action=start");
    // The answer is complete: the daemon holds nothing of the request open.
    EXPECT_EQ(r.out, cgi_answer(200, R"({"ok":true,"started":true})"));
    int32_t pid = 0;
    ASSERT_TRUE(wait_for([&] { return qv_ntfy_pidfile_read(&pid) == 0 && running(pid); }))
        << "no daemon wrote its pid file\n"
        << log();

    // Detached: its own session (not as its leader), standard streams on /dev/null, no pipe.
    std::string proc = "/proc/" + std::to_string(pid);
    for (int fd = 0; fd < 3; fd++)
        EXPECT_EQ(fs::read_symlink(proc + "/fd/" + std::to_string(fd)).string(), "/dev/null");
    for (const auto &entry : fs::directory_iterator(proc + "/fd")) {
        std::error_code ec;
        std::string target = fs::read_symlink(entry.path(), ec).string();
        EXPECT_EQ(target.rfind("pipe:", 0), std::string::npos) << entry.path() << " " << target;
    }
    pid_t sid = getsid(pid);
    EXPECT_NE(sid, getsid(0));
    EXPECT_NE(sid, pid);

    EXPECT_EQ(cgi(state_, "action=start").out, cgi_fail(409, "the daemon is already running"));
    std::string status = cgi_body(cgi(state_, "action=status"));
    EXPECT_NE(status.find("\"running\":1"), std::string::npos);
    EXPECT_NE(status.find("\"restart_needed\":false"), std::string::npos) << status;
    // A save after the start is not what the daemon runs with until it restarts. (The stamp
    // has whole seconds: the save waits for the next one.)
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ASSERT_EQ(cgi(state_, "action=save&tags=new").exit_code, 0);
    status = cgi_body(cgi(state_, "action=status"));
    EXPECT_NE(status.find("\"restart_needed\":true"), std::string::npos) << status;

    EXPECT_EQ(cgi(state_, "action=stop").out, cgi_answer(200, R"({"ok":true,"stopped":true})"));
    EXPECT_FALSE(running(pid));
    EXPECT_FALSE(fs::exists(state_.file("daemon.pid")));
    EXPECT_EQ(cgi(state_, "action=stop").out, cgi_fail(404, "the daemon is not running"));

    status = cgi_body(cgi(state_, "action=status"));
    EXPECT_NE(status.find("\"connected\":0,\"running\":0"), std::string::npos) << status;
    EXPECT_NE(status.find("\"restart_needed\":false"), std::string::npos) << status;

    // The daemon stopped in order and said so before the setup interface did.
    std::vector<std::string> lines = lines_of(log());
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(message_of(lines.back()), "daemon stopped by the setup UI");
    EXPECT_EQ(message_of(lines[lines.size() - 2]), "daemon stopped");
    bool started = false;
    for (const std::string &line : lines)
        started = started || message_of(line) == "daemon started by the setup UI";
    EXPECT_TRUE(started) << log();
}

TEST_F(SetupControl, ALockHeldWithoutADaemonIsSaidAlikeByStatusStartAndStop) {
    configure_valid();
    // Some other process (this test) holds daemon.lock and names no daemon.
    int64_t held = qv_plat_lock_take(state_.file("daemon.lock").c_str(), 0);
    ASSERT_GE(held, 0);
    const std::string why = "daemon.lock in the state folder is held by another process that is "
                            "not a daemon of this folder, so no daemon can start: end that process";
    std::string status = cgi_body(cgi(state_, "action=status"));
    EXPECT_NE(status.find("\"running\":0"), std::string::npos) << status;
    EXPECT_NE(status.find("\"daemon_lock_held\":true"), std::string::npos) << status;
    EXPECT_EQ(cgi(state_, "action=start").out, cgi_fail(409, why));
    EXPECT_EQ(cgi(state_, "action=stop").out, cgi_fail(404, "the daemon is not running; " + why));
    qv_plat_lock_release(held);
    status = cgi_body(cgi(state_, "action=status"));
    EXPECT_NE(status.find("\"daemon_lock_held\":false"), std::string::npos) << status;
}

TEST_F(SetupControl, StartedDaemonSeesNothingOfTheRequest) {
    configure_valid();
    CgiEnv request = {{"BOT_PASSWORD", "n0de-pw"},
                      {"HTTP_X_BOT_PASSWORD", "n0de-pw"},
                      {"HTTP_AUTHORIZATION", "Bearer n0de-pw"},
                      {"REMOTE_ADDR", "127.0.0.1"},
                      {"SCRIPT_NAME", "/cgi-bin/chimewick"},
                      {"LANG", "C.UTF-8"}};
    RunResult r = cgi(state_, "action=start&pwd=n0de-pw", "POST", "{}", request);
    ASSERT_EQ(r.out, cgi_answer(200, R"({"ok":true,"started":true})"));
    int32_t pid = 0;
    ASSERT_TRUE(wait_for([&] { return qv_ntfy_pidfile_read(&pid) == 0 && running(pid); })) << log();
    std::string environ_text = read_whole("/proc/" + std::to_string(pid) + "/environ");
    std::vector<std::string> names;
    for (size_t from = 0, end; (end = environ_text.find('\0', from)) != std::string::npos;
         from = end + 1)
        names.push_back(environ_text.substr(from, environ_text.find('=', from) - from));
    std::sort(names.begin(), names.end());
    // What the daemon needs stays: its state folder, its home, its locale, the node password.
    EXPECT_EQ(names,
              (std::vector<std::string>{"BOT_PASSWORD", "HOME", "LANG", "QV_CONNECTORS_DIR"}));
}

// --- stop against pid files that do not name our daemon ---

// Starts a program as our child with its standard input on a pipe we keep open.
static pid_t start_child(const std::vector<std::string> &argv, const CgiEnv &env, int *stdin_fd) {
    int in[2];
    if (pipe(in) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        close(in[0]);
        close(in[1]);
        std::vector<std::string> env_text;
        for (const auto &[k, v] : env)
            env_text.push_back(k + "=" + v);
        std::vector<char *> args, envp;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        for (std::string &e : env_text)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    *stdin_fd = in[1];
    return pid;
}

TEST_F(SetupControl, StopEndsAProcessOfThisProgram) {
    // A stand-in with our executable: the MCP server lives as long as its input is open.
    int input = -1;
    pid_t pid = start_child({QV_EXE_PATH, "--mcp"}, {{"QV_CONNECTORS_DIR", state_.root()}}, &input);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_for([&] {
        std::error_code ec;
        return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec) ==
               fs::canonical(QV_EXE_PATH);
    }));
    ASSERT_EQ(qv_ntfy_pidfile_write(pid), 0);
    EXPECT_EQ(cgi(state_, "action=stop").out, cgi_answer(200, R"({"ok":true,"stopped":true})"));
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    close(input);
    EXPECT_FALSE(fs::exists(state_.file("daemon.pid")));
    EXPECT_EQ(message_of(lines_of(log()).back()), "daemon stopped by the setup UI");
    EXPECT_EQ(cgi(state_, "action=stop").out, cgi_fail(404, "the daemon is not running"));
}

TEST_F(SetupControl, StopLeavesOtherProgramsAlone) {
    int input = -1;
    pid_t pid = start_child({"/bin/sleep", "30"}, {}, &input);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(qv_ntfy_pidfile_write(pid), 0);
    EXPECT_EQ(cgi(state_, "action=stop").out, cgi_fail(404, "the daemon is not running"));
    EXPECT_TRUE(running(pid));
    EXPECT_FALSE(fs::exists(state_.file("daemon.pid")));
    EXPECT_FALSE(fs::exists(state_.file("daemon.log")));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(input);
}

TEST_F(SetupControl, StopWithAStaleOrMissingPidFile) {
    EXPECT_EQ(cgi(state_, "action=stop").out, cgi_fail(404, "the daemon is not running"));
    pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    for (const std::string &text : {std::to_string(gone) + "\n", std::string("junk\n"),
                                    std::string("-4\n"), std::string("0\n")}) {
        write_whole(state_.file("daemon.pid"), text);
        EXPECT_EQ(cgi(state_, "action=stop").out, cgi_fail(404, "the daemon is not running"))
            << text;
    }
    // A gone process's pid file is cleared; an unreadable one is left for whoever wrote it.
    write_whole(state_.file("daemon.pid"), std::to_string(gone) + "\n");
    cgi(state_, "action=stop");
    EXPECT_FALSE(fs::exists(state_.file("daemon.pid")));
}

// --- a pid file naming another program, and the record a new daemon starts from ---

TEST_F(SetupControl, APidFileNamingAnotherProgramIsNoDaemon) {
    configure_valid();
    int input = -1;
    pid_t other = start_child({"/bin/sleep", "30"}, {}, &input);
    ASSERT_GT(other, 0);
    ASSERT_EQ(qv_ntfy_pidfile_write(other), 0);
    EXPECT_NE(cgi_body(cgi(state_, "action=status")).find("\"running\":0"), std::string::npos);
    ASSERT_EQ(qv_ntfy_pidfile_write(other), 0);
    EXPECT_EQ(cgi(state_, "action=start").out, cgi_answer(200, R"({"ok":true,"started":true})"));
    int32_t pid = 0;
    EXPECT_TRUE(wait_for([&] {
        return qv_ntfy_pidfile_read(&pid) == 0 && pid != other && running(pid);
    })) << log();
    EXPECT_EQ(cgi(state_, "action=stop").out, cgi_answer(200, R"({"ok":true,"stopped":true})"));
    EXPECT_TRUE(running(other));
    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);
    close(input);
}

TEST_F(SetupControl, ADaemonStartsNotConnected) {
    configure_valid();
    qv_ntfy_status left{};
    left.connected = 1;
    ASSERT_EQ(qv_ntfy_status_save(&left), 0);
    EXPECT_EQ(cgi(state_, "action=start").out, cgi_answer(200, R"({"ok":true,"started":true})"));
    // Its first subscription fails (nobody listens there), and the record says so.
    qv_ntfy_status s{};
    ASSERT_TRUE(wait_for([&] { return qv_ntfy_status_load(&s) == 0 && s.error_count >= 1; }))
        << log();
    EXPECT_EQ(s.connected, 0);
}
