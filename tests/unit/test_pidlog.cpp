// The daemon's lock and pid file (writing, reading, stale files, other programs) and the log
// (rotation at its size boundary, line form, local time stamps, cuts, the standard-error echo
// and unusable logs).
#include "platform.h"
#include "state.h"
#include "support.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

static unsigned mode_of(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0xFFFF;
}

// The id of a process that has ended and been reaped.
static pid_t gone_pid() {
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    int status = 0;
    waitpid(pid, &status, 0);
    return pid;
}

static std::string utc_stamp(time_t t) {
    struct tm tm;
    gmtime_r(&t, &tm);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    return buf;
}

class PidLog : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(state_.state_dir());
    }
    std::string pid_path() {
        return state_.file("daemon.pid");
    }
    std::string log_path() {
        return state_.file("daemon.log");
    }
    // Runs one log call and returns its result, with what it wrote to standard error.
    int logf_captured(std::string *err, const char *msg) {
        testing::internal::CaptureStderr();
        int rc = qv_ntfy_logf("%s", msg);
        *err = testing::internal::GetCapturedStderr();
        return rc;
    }
    TempStateRoot state_;
};

TEST_F(PidLog, PidFileHoldsTheIdAndALineFeed) {
    ASSERT_EQ(qv_ntfy_pidfile_write(12345), 0);
    EXPECT_EQ(read_whole(pid_path()), "12345\n");
    EXPECT_EQ(mode_of(pid_path()), 0600u);
    int32_t pid = 0;
    ASSERT_EQ(qv_ntfy_pidfile_read(&pid), 0);
    EXPECT_EQ(pid, 12345);
}

TEST_F(PidLog, ReadingPidFiles) {
    struct {
        const char *text; // null: no file
        int want_rc;
        int32_t want_pid;
    } cases[] = {
        {"  123abc", 0, 123},  {"\n\t77\n", 0, 77},
        {"+42", 0, 42},        {"2147483647\n", 0, 2147483647},
        {"0\n", -1, 0},        {"-5\n", -1, 0},
        {"abc", -1, 0},        {"", -1, 0},
        {"2147483648", -1, 0}, // would name another process once narrowed
        {"4294967297", -1, 0}, {"99999999999999999999999", -1, 0},
        {nullptr, -1, 0},
    };
    for (const auto &c : cases) {
        if (c.text)
            write_whole(pid_path(), c.text);
        else
            fs::remove(pid_path());
        int32_t pid = -9;
        EXPECT_EQ(qv_ntfy_pidfile_read(&pid), c.want_rc) << (c.text ? c.text : "(none)");
        EXPECT_EQ(pid, c.want_pid) << (c.text ? c.text : "(none)");
        EXPECT_EQ(qv_ntfy_pidfile_read(nullptr), c.want_rc);
    }
}

// A live process running some other program (the id given out again after a crash or a
// restart); ended and reaped when the holder goes.
struct OtherProgram {
    pid_t pid = fork();
    OtherProgram() {
        if (pid == 0) {
            execl("/bin/sleep", "sleep", "30", static_cast<char *>(nullptr));
            _exit(127);
        }
        // Until the exec the child still runs this program; a few seconds at most.
        for (int i = 0; i < 250 && pid > 0 && qv_plat_process_is_self(pid); i++)
            usleep(20000);
    }
    ~OtherProgram() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

TEST_F(PidLog, RunningOnlyForAProcessOfThisProgramOrWhileTheLockIsHeld) {
    ASSERT_EQ(qv_ntfy_pidfile_write(static_cast<long>(getpid())), 0);
    EXPECT_EQ(qv_ntfy_daemon_running(), 1);
    EXPECT_TRUE(fs::exists(pid_path()));
    // Alive, but another program: no daemon, and its number is cleared.
    OtherProgram other;
    ASSERT_GT(other.pid, 0);
    ASSERT_EQ(qv_ntfy_pidfile_write(other.pid), 0);
    EXPECT_EQ(qv_ntfy_daemon_running(), 0);
    EXPECT_FALSE(fs::exists(pid_path()));

    // A daemon holding the lock runs even before its pid file names it, and nobody else
    // clears that file meanwhile; a second daemon cannot take the lock.
    int64_t claim = qv_ntfy_daemon_claim();
    ASSERT_GE(claim, 0);
    EXPECT_EQ(qv_ntfy_daemon_running(), 1);
    ASSERT_EQ(qv_ntfy_pidfile_write(other.pid), 0);
    EXPECT_EQ(qv_ntfy_daemon_running(), 1);
    EXPECT_TRUE(fs::exists(pid_path()));
    EXPECT_EQ(qv_ntfy_daemon_claim(), -1);
    // Letting go removes the holder's pid file.
    qv_ntfy_daemon_release(claim);
    EXPECT_FALSE(fs::exists(pid_path()));
    EXPECT_EQ(qv_ntfy_daemon_running(), 0);
}

TEST_F(PidLog, StalePidFileIsRemovedByWhoeverAsks) {
    ASSERT_EQ(qv_ntfy_pidfile_write(static_cast<long>(gone_pid())), 0);
    EXPECT_EQ(qv_ntfy_daemon_running(), 0);
    EXPECT_FALSE(fs::exists(pid_path()));
}

TEST_F(PidLog, UnusablePidFileIsLeftAlone) {
    for (const char *text : {"0", "-12", "nothing", "", "8589934593"}) {
        write_whole(pid_path(), text);
        EXPECT_EQ(qv_ntfy_daemon_running(), 0) << text;
        EXPECT_TRUE(fs::exists(pid_path())) << text;
    }
    fs::remove(pid_path());
    EXPECT_EQ(qv_ntfy_daemon_running(), 0);
}

TEST_F(PidLog, RemovingThePidFile) {
    EXPECT_EQ(qv_ntfy_pidfile_remove(), 0); // none there
    ASSERT_EQ(qv_ntfy_pidfile_write(55), 0);
    EXPECT_EQ(qv_ntfy_pidfile_remove(), 0);
    EXPECT_FALSE(fs::exists(pid_path()));
    ScopedEnv broken("QV_CONNECTORS_DIR", "///");
    EXPECT_EQ(qv_ntfy_pidfile_remove(), -1);
    EXPECT_EQ(qv_ntfy_pidfile_write(55), -1);
    EXPECT_EQ(qv_ntfy_daemon_running(), 0);
}

TEST_F(PidLog, OpeningCreatesAPrivateLogAndKeepsOrEmptiesIt) {
    ASSERT_EQ(qv_ntfy_log_open(1), 0);
    EXPECT_EQ(read_whole(log_path()), "");
    EXPECT_EQ(mode_of(log_path()), 0600u);
    write_whole(log_path(), "earlier line\n");
    ASSERT_EQ(qv_ntfy_log_open(1), 0);
    EXPECT_EQ(read_whole(log_path()), "earlier line\n");
    ASSERT_EQ(qv_ntfy_log_open(0), 0);
    EXPECT_EQ(read_whole(log_path()), "");
}

TEST_F(PidLog, RotationHappensOnlyBeyondOneMebibyte) {
    const std::string at_limit(QV_LOG_ROTATE_BYTES, 'a');
    write_whole(log_path(), at_limit);
    write_whole(log_path() + ".1", "older generation");
    ASSERT_EQ(qv_ntfy_log_open(1), 0);
    EXPECT_EQ(fs::file_size(log_path()), static_cast<uintmax_t>(QV_LOG_ROTATE_BYTES));
    EXPECT_EQ(read_whole(log_path() + ".1"), "older generation");

    const std::string beyond = at_limit + "b";
    write_whole(log_path(), beyond);
    fs::permissions(log_path(), fs::perms(0600));
    ASSERT_EQ(qv_ntfy_log_open(1), 0);
    EXPECT_EQ(read_whole(log_path() + ".1"), beyond); // replaces the older generation
    EXPECT_EQ(read_whole(log_path()), "");
    EXPECT_EQ(mode_of(log_path()), 0600u);
    EXPECT_EQ(mode_of(log_path() + ".1"), 0600u);
}

// A busy daemon must not grow its log without bound between starts: a line finds the log
// beyond the limit, rotates it and starts the fresh log, so the newest line is in daemon.log.
TEST_F(PidLog, ALogGrownBeyondTheLimitIsRotatedBeforeTheNextLine) {
    const std::string at_limit(QV_LOG_ROTATE_BYTES, 'a');
    write_whole(log_path(), at_limit);
    std::string err;
    ASSERT_EQ(logf_captured(&err, "first"), 0);
    EXPECT_FALSE(fs::exists(log_path() + ".1"));
    std::string grown = read_whole(log_path());
    ASSERT_GT(grown.size(), at_limit.size());
    EXPECT_EQ(grown.substr(grown.size() - 7), " first\n");

    ASSERT_EQ(logf_captured(&err, "second"), 0);
    EXPECT_EQ(read_whole(log_path() + ".1"), grown);
    std::string fresh = read_whole(log_path());
    EXPECT_EQ(fresh.size(), 19u + 8u);
    EXPECT_EQ(fresh.substr(19), " second\n");
    EXPECT_EQ(mode_of(log_path()), 0600u);
    EXPECT_EQ(mode_of(log_path() + ".1"), 0600u);
}

TEST_F(PidLog, UnopenableLog) {
    fs::create_symlink("daemon.log", log_path()); // a link to itself never opens
    EXPECT_EQ(qv_ntfy_log_open(1), -1);
    std::string err;
    EXPECT_EQ(logf_captured(&err, "still reported"), 0);
    EXPECT_NE(err.find(" chimewick: still reported\n"), std::string::npos);
}

TEST_F(PidLog, LineFormAndStandardErrorEcho) {
    std::string err;
    testing::internal::CaptureStderr();
    ASSERT_EQ(qv_ntfy_logf("daemon start topic=%s allow_all=%d cursor=%lld", "alerts", 0,
                           static_cast<long long>(41)),
              0);
    err = testing::internal::GetCapturedStderr();
    const std::regex stamp("\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}");
    const std::string text = "daemon start topic=alerts allow_all=0 cursor=41";
    std::string line = read_whole(log_path());
    ASSERT_GT(line.size(), 20u);
    EXPECT_TRUE(std::regex_match(line.substr(0, 19), stamp)) << line;
    EXPECT_EQ(line.substr(19), " " + text + "\n");
    ASSERT_GT(err.size(), 20u);
    EXPECT_TRUE(std::regex_match(err.substr(0, 19), stamp)) << err;
    EXPECT_EQ(err.substr(19), " chimewick: " + text + "\n");
    EXPECT_EQ(mode_of(log_path()), 0600u);

    // Lines are appended; a line break inside a message (a sender's tags, say) cannot forge a
    // line of its own: control bytes become blanks, in the log and on standard error alike.
    ASSERT_EQ(logf_captured(&err, "blocked x (tags=a\n2026-01-01T00:00:00 paired via code\r\x1b[2J\tz)"), 0);
    std::string all = read_whole(log_path());
    const std::string tail = "blocked x (tags=a 2026-01-01T00:00:00 paired via code  [2J\tz)\n";
    EXPECT_EQ(all.substr(all.size() - tail.size()), tail);
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 2);
    EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
}

TEST_F(PidLog, LogWrittenByOthersIsNarrowedToTheOwner) {
    write_whole(log_path(), "");
    fs::permissions(log_path(), fs::perms(0644));
    std::string err;
    ASSERT_EQ(logf_captured(&err, "x"), 0);
    EXPECT_EQ(mode_of(log_path()), 0600u);
}

TEST_F(PidLog, TimestampsAreLocalTime) {
    struct {
        const char *tz;
        long offset;
    } zones[] = {
        {"UTC0", 0},
        {"QVE-5", 5 * 3600},
        {"QVW+3:30", -(3 * 3600 + 1800)},
    };
    for (const auto &z : zones) {
        ScopedEnv tz("TZ", z.tz);
        fs::remove(log_path());
        std::string err;
        time_t before = time(nullptr);
        ASSERT_EQ(logf_captured(&err, "tick"), 0);
        time_t after = time(nullptr);
        std::string got = read_whole(log_path()).substr(0, 19);
        EXPECT_TRUE(got == utc_stamp(before + z.offset) || got == utc_stamp(after + z.offset))
            << z.tz << ": " << got;
        EXPECT_EQ(err.substr(0, 19).size(), 19u);
    }
}

TEST_F(PidLog, LongMessagesAreCutTo1023BytesAtACharacter) {
    std::string cyr;
    for (int i = 0; i < 1000; i++)
        cyr += "\xD0\x96";
    struct {
        std::string msg;
        size_t want;
    } cases[] = {
        {std::string(2000, 'm'), 1023},
        {std::string(1023, 'm'), 1023},
        {cyr, 1022}, // 1023 would end inside a letter
    };
    for (const auto &c : cases) {
        fs::remove(log_path());
        std::string err;
        ASSERT_EQ(logf_captured(&err, c.msg.c_str()), 0);
        std::string line = read_whole(log_path());
        EXPECT_EQ(line.substr(20), c.msg.substr(0, c.want) + "\n");
        EXPECT_EQ(err.substr(19 + 12), c.msg.substr(0, c.want) + "\n");
    }
}

TEST_F(PidLog, UnusableStateDirectoryStillEchoes) {
    ScopedEnv broken("QV_CONNECTORS_DIR", "///");
    std::string err;
    EXPECT_EQ(logf_captured(&err, "nowhere to go"), -1);
    EXPECT_NE(err.find(" chimewick: nowhere to go\n"), std::string::npos);
    EXPECT_EQ(qv_ntfy_log_open(1), -1);
}
