// The state directory: resolution, privacy of folders and files (refused when others could
// change them, links never followed), paths, whole-file reads, atomic replacement, JSON loading
// and escaping, and the folder's lock.
#include "platform.h"
#include "state_internal.h"
#include "support.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <yyjson.h>

namespace fs = std::filesystem;

static std::string dir_or_fail() {
    char dir[QV_DIR_CAP];
    return qv_ntfy_dir(dir, sizeof dir) == 0 ? std::string(dir) : std::string("FAIL:") + dir;
}

static unsigned mode_of(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0xFFFF;
}

TEST(StateDir, ConnectorsRootWithOrWithoutTrailingSeparators) {
    TempStateRoot t;
    EXPECT_EQ(dir_or_fail(), t.root() + "/chimewick");
    std::string slashed = t.root() + "///\\";
    ScopedEnv e("QV_CONNECTORS_DIR", slashed.c_str());
    EXPECT_EQ(dir_or_fail(), t.root() + "/chimewick");
    EXPECT_EQ(mode_of(t.state_dir()), 0700u);
    EXPECT_FALSE(fs::exists(t.file(".qvwritable")));
}

TEST(StateDir, OnlySeparatorsOrTooLongFails) {
    {
        ScopedEnv e("QV_CONNECTORS_DIR", "///");
        EXPECT_EQ(dir_or_fail(), "FAIL:");
        char path[QV_PATH_CAP];
        EXPECT_EQ(qv_ntfy_path(path, sizeof path, "config.json"), -1);
    }
    std::string long_root = "/tmp/" + std::string(975, 'r'); // length + 24 reaches 1000
    ScopedEnv e("QV_CONNECTORS_DIR", long_root.c_str());
    EXPECT_EQ(dir_or_fail(), "FAIL:");
}

TEST(StateDir, HomeFallbackWhenConnectorsRootEmptyOrUnset) {
    TempStateRoot t;
    ScopedEnv home("HOME", t.root().c_str());
    for (const char *root : {"", static_cast<const char *>(nullptr)}) {
        ScopedEnv e("QV_CONNECTORS_DIR", root);
        EXPECT_EQ(dir_or_fail(), t.root() + "/.quorvane/connectors/chimewick");
    }
    EXPECT_EQ(mode_of(t.root() + "/.quorvane"), 0700u);
}

TEST(StateDir, UnwritableDirectoryFailsTheProbe) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root writes into read-only folders";
    TempStateRoot t;
    fs::create_directories(t.state_dir());
    chmod(t.state_dir().c_str(), 0500);
    EXPECT_EQ(dir_or_fail().rfind("FAIL:", 0), 0u);
    chmod(t.state_dir().c_str(), 0700);
}

TEST(StateDir, ProbeFailsWhereNothingCanBeCreated) {
    ScopedEnv e("QV_CONNECTORS_DIR", "/proc/qvtest-no-such-root");
    EXPECT_EQ(dir_or_fail().rfind("FAIL:", 0), 0u);
}

static std::string dir_problem() {
    char err[QV_DIR_ERR_CAP] = "";
    int rc = qv_ntfy_dir_problem(err, sizeof err);
    return std::to_string(rc) + " " + err;
}

TEST(StateDirPrivacy, AFolderOthersCanWriteIsRefusedByName) {
    struct {
        bool root;
        mode_t mode;
        const char *who;
    } rows[] = {{false, 0770, "its group"},
                {false, 0702, "others"},
                {true, 0777, "others"},
                {true, 0730, "its group"}};
    for (const auto &row : rows) {
        TempStateRoot t;
        fs::create_directories(t.state_dir());
        std::string dir = row.root ? t.root() : t.state_dir();
        ASSERT_EQ(chmod(dir.c_str(), row.mode), 0);
        EXPECT_EQ(dir_or_fail().rfind("FAIL:", 0), 0u) << dir;
        EXPECT_EQ(dir_problem(), "-2 state folder " + dir + " is writable by " + row.who +
                                     ": chmod go-w " + dir);
        EXPECT_EQ(mode_of(dir), row.mode); // reported, never changed behind the user's back
        ASSERT_EQ(chmod(dir.c_str(), 0700), 0);
        EXPECT_EQ(dir_or_fail(), t.state_dir());
    }
}

// A folder found usable is taken as it is for a moment only: one that becomes writable by
// others while a daemon runs is refused again soon after.
TEST(StateDirPrivacy, AFolderOpenedUpAfterAUseIsRefusedAgainSoon) {
    TempStateRoot t;
    fs::create_directories(t.state_dir());
    ASSERT_EQ(dir_or_fail(), t.state_dir());
    ASSERT_EQ(chmod(t.state_dir().c_str(), 0777), 0);
    int64_t deadline = qv_plat_monotonic_ms() + 5000;
    while (dir_or_fail().rfind("FAIL:", 0) != 0 && qv_plat_monotonic_ms() < deadline)
        qv_plat_sleep_ms(50);
    EXPECT_EQ(dir_or_fail().rfind("FAIL:", 0), 0u);
    ASSERT_EQ(chmod(t.state_dir().c_str(), 0700), 0);
}

TEST(StateDirPrivacy, AFolderOfAnotherUserIsRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can give a folder away";
    for (bool root : {false, true}) {
        TempStateRoot t;
        fs::create_directories(t.state_dir());
        std::string dir = root ? t.root() : t.state_dir();
        ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
        EXPECT_EQ(dir_problem(), "-2 state folder " + dir +
                                     " is owned by another user (uid 65534): chown 0 " + dir);
    }
}

TEST(StateDirPrivacy, ALinkedStateFolderIsRefusedALinkedRootIsFollowed) {
    TempStateRoot t, elsewhere;
    fs::create_directories(elsewhere.state_dir());
    fs::create_directory_symlink(elsewhere.state_dir(), t.state_dir());
    ScopedEnv e("QV_CONNECTORS_DIR", t.root().c_str());
    EXPECT_EQ(dir_problem(), "-2 state folder " + t.state_dir() +
                                 " is a symbolic link: replace it with a folder of your own");
    std::string linked_root = t.root() + "/root-link";
    fs::create_directory_symlink(elsewhere.root(), linked_root);
    ScopedEnv e2("QV_CONNECTORS_DIR", linked_root.c_str());
    EXPECT_EQ(dir_or_fail(), linked_root + "/chimewick");
}

TEST(StateDirPrivacy, TheRefusalReachesConfigSavesAndTheLockOthersKeepTheirText) {
    TempStateRoot t;
    fs::create_directories(t.state_dir());
    ASSERT_EQ(chmod(t.state_dir().c_str(), 0777), 0);
    std::string want = "state folder " + t.state_dir() + " is writable by others: chmod go-w " +
                       t.state_dir();
    qv_ntfy_config c;
    char err[QV_DIR_ERR_CAP] = "";
    EXPECT_EQ(qv_ntfy_config_load(&c, err, sizeof err), -1);
    EXPECT_EQ(std::string(err), want);
    EXPECT_EQ(qv_ntfy_config_save(&c, err, sizeof err), -1);
    EXPECT_EQ(std::string(err), want);
    {
        qv_state_lock lock;
        EXPECT_EQ(lock.take(err, sizeof err), -1);
        EXPECT_EQ(std::string(err), want);
    }
    EXPECT_FALSE(fs::exists(t.file("config.json")));
    EXPECT_FALSE(fs::exists(t.file("state.lock")));

    ScopedEnv e("QV_CONNECTORS_DIR", "/proc/qvtest-no-such-root");
    err[0] = '\0';
    EXPECT_EQ(qv_ntfy_config_load(&c, err, sizeof err), 0);
    EXPECT_EQ(std::string(err), "");
    EXPECT_EQ(qv_ntfy_config_save(&c, err, sizeof err), -1);
    EXPECT_EQ(std::string(err), "connector state directory is not usable");
}

// A file of someone else's: a link to it, or (as root) the file itself given away.
static std::string planted_target(const TempStateRoot &t) {
    std::string target = t.root() + "/elsewhere";
    write_whole(target, "not yours");
    chmod(target.c_str(), 0644);
    return target;
}

TEST(StateFilePrivacy, LinksWhereStateFilesGoAreNeverFollowed) {
    TempStateRoot t;
    ASSERT_EQ(dir_or_fail(), t.state_dir());
    std::string target = planted_target(t);
    for (const char *name : {"config.json", "daemon.log", "pending.json"})
        fs::create_symlink(target, t.file(name));

    qv_ntfy_config c;
    char err[QV_DIR_ERR_CAP] = "";
    EXPECT_EQ(qv_ntfy_config_load(&c, err, sizeof err), 0); // the link reads as no file
    EXPECT_STRNE(c.topic, "not yours");
    char *data = nullptr;
    EXPECT_EQ(qv_ntfy_read_file(t.file("config.json").c_str(), &data, nullptr), -1);
    EXPECT_EQ(data, nullptr);
    qv_json_doc doc;
    EXPECT_EQ(qv_json_load_state("pending.json", &doc), -1);

    EXPECT_EQ(qv_ntfy_log_open(1), -1);
    EXPECT_EQ(qv_ntfy_log_open(0), -1);
    EXPECT_EQ(qv_ntfy_logf("a line for the log"), 0); // standard error only
    for (const char *mode : {"ab", "wb"})
        EXPECT_EQ(qv_plat_fopen_private(t.file("daemon.log").c_str(), mode), nullptr) << mode;
    EXPECT_EQ(read_whole(target), "not yours");
    EXPECT_EQ(mode_of(target), 0644u);
    EXPECT_TRUE(fs::is_symlink(t.file("daemon.log")));

    // A whole-file save replaces the link itself and leaves what it pointed at alone.
    EXPECT_EQ(qv_ntfy_write_file_atomic(t.file("pending.json").c_str(), "[]", 2, nullptr, 0), 0);
    EXPECT_FALSE(fs::is_symlink(t.file("pending.json")));
    EXPECT_EQ(read_whole(t.file("pending.json")), "[]");
    EXPECT_EQ(read_whole(target), "not yours");
}

TEST(StateFilePrivacy, AFileOfAnotherUserIsNeitherWrittenNorNarrowed) {
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can give a file away";
    TempStateRoot t;
    ASSERT_EQ(dir_or_fail(), t.state_dir());
    std::string log = t.file("daemon.log");
    write_whole(log, "not yours");
    ASSERT_EQ(chmod(log.c_str(), 0644), 0);
    ASSERT_EQ(chown(log.c_str(), 65534, 65534), 0);
    for (const char *mode : {"ab", "wb"})
        EXPECT_EQ(qv_plat_fopen_private(log.c_str(), mode), nullptr) << mode;
    EXPECT_EQ(read_whole(log), "not yours");
    EXPECT_EQ(mode_of(log), 0644u);
}

TEST(WriteAtomic, TemporariesHaveNamesNobodyCanPlantFirst) {
    TempStateRoot t;
    ASSERT_EQ(dir_or_fail(), t.state_dir());
    std::string target = planted_target(t);
    std::string file = t.file("approved.json");
    std::string predictable = file + ".tmp." + std::to_string(getpid());
    fs::create_symlink(target, predictable);
    ASSERT_EQ(qv_ntfy_write_file_atomic(file.c_str(), "[]", 2, nullptr, 0), 0);
    EXPECT_EQ(read_whole(file), "[]");
    EXPECT_FALSE(fs::is_symlink(file));
    EXPECT_EQ(read_whole(target), "not yours");
    EXPECT_EQ(mode_of(target), 0644u);
    EXPECT_TRUE(fs::is_symlink(predictable)); // neither followed nor clobbered
    fs::remove(predictable);
    write_whole(predictable, "kept");
    ASSERT_EQ(qv_ntfy_write_file_atomic(file.c_str(), "[1]", 3, nullptr, 0), 0);
    EXPECT_EQ(read_whole(predictable), "kept");
    EXPECT_EQ(read_whole(file), "[1]");
}

TEST(StatePath, RefusesSeparatorsAndDotDot) {
    TempStateRoot t;
    char path[QV_PATH_CAP];
    ASSERT_EQ(qv_ntfy_path(path, sizeof path, "daemon.log"), 0);
    EXPECT_EQ(std::string(path), t.file("daemon.log"));
    for (const char *bad : {"..", "a..b", "a/b", "a\\b", "/etc/passwd"})
        EXPECT_EQ(qv_ntfy_path(path, sizeof path, bad), -1) << bad;
}

TEST(ReadFile, SizeLimitAndEmptyFiles) {
    TempStateRoot t;
    fs::create_directories(t.state_dir());
    std::string exact = t.file("exact"), over = t.file("over"), empty = t.file("empty");
    write_whole(exact, std::string(QV_STATE_FILE_MAX, 'a'));
    write_whole(over, std::string(QV_STATE_FILE_MAX + 1, 'a'));
    write_whole(empty, "");
    char *data = nullptr;
    size_t len = 0;
    ASSERT_EQ(qv_ntfy_read_file(exact.c_str(), &data, &len), 0);
    EXPECT_EQ(len, static_cast<size_t>(QV_STATE_FILE_MAX));
    EXPECT_EQ(data[len], '\0');
    free(data);
    EXPECT_EQ(qv_ntfy_read_file(over.c_str(), &data, &len), -1);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(len, 0u);
    ASSERT_EQ(qv_ntfy_read_file(empty.c_str(), &data, &len), 0);
    EXPECT_EQ(len, 0u);
    free(data);
    EXPECT_EQ(qv_ntfy_read_file(exact.c_str(), nullptr, &len), 0); // no data wanted
    EXPECT_EQ(len, static_cast<size_t>(QV_STATE_FILE_MAX));
    EXPECT_EQ(qv_ntfy_read_file(t.file("missing").c_str(), &data, &len), -1);
}

static bool temporaries_left(const std::string &dir) {
    for (const auto &e : fs::directory_iterator(dir))
        if (e.path().filename().string().find(".tmp.") != std::string::npos)
            return true;
    return false;
}

TEST(WriteAtomic, ReplacesWholeIsPrivateAndLeavesNoTemporary) {
    TempStateRoot t;
    fs::create_directories(t.state_dir());
    std::string target = t.file("x.json");
    write_whole(target, "old content that is longer");
    chmod(target.c_str(), 0644);
    ASSERT_EQ(qv_ntfy_write_file_atomic(target.c_str(), "new", 3, nullptr, 0), 0);
    EXPECT_EQ(read_whole(target), "new");
    EXPECT_EQ(mode_of(target), 0600u);
    ASSERT_EQ(qv_ntfy_write_file_atomic(target.c_str(), "", 0, nullptr, 0), 0);
    EXPECT_EQ(read_whole(target), "");
    EXPECT_FALSE(temporaries_left(t.state_dir()));
}

TEST(WriteAtomic, FailedReplaceKeepsTargetAndRemovesTemporary) {
    TempStateRoot t;
    fs::create_directories(t.state_dir() + "/occupied"); // a folder cannot be replaced by a file
    std::string target = t.file("occupied");
    EXPECT_EQ(qv_ntfy_write_file_atomic(target.c_str(), "data", 4, nullptr, 0), -1);
    EXPECT_TRUE(fs::is_directory(target));
    EXPECT_FALSE(temporaries_left(t.state_dir()));
    EXPECT_EQ(qv_ntfy_write_file_atomic((t.root() + "/no/such/dir/f").c_str(), "d", 1, nullptr, 0), -1);
}

TEST(LoadState, EmptyOrBrokenFilesCountAsAbsent) {
    TempStateRoot t;
    fs::create_directories(t.state_dir());
    qv_json_doc doc;
    EXPECT_EQ(qv_json_load_state("pending.json", &doc), -1);
    write_whole(t.file("pending.json"), "");
    EXPECT_EQ(qv_json_load_state("pending.json", &doc), -1);
    write_whole(t.file("pending.json"), "[1,2,]");
    EXPECT_EQ(qv_json_load_state("pending.json", &doc), -1);
    write_whole(t.file("pending.json"), "\xEF\xBB\xBF[]"); // byte-order mark
    EXPECT_EQ(qv_json_load_state("pending.json", &doc), -1);
    write_whole(t.file("pending.json"), "[\"a\"]");
    ASSERT_EQ(qv_json_load_state("pending.json", &doc), 0);
    EXPECT_EQ(yyjson_arr_size(yyjson_doc_get_root(doc.get())), 1u);
    EXPECT_EQ(qv_json_load_state("../pending.json", &doc), -1);
    EXPECT_FALSE(doc);
}

static std::string escape(const char *text, size_t cap = 256) {
    char out[256];
    qv_ntfy_json_escape(text, out, cap);
    return out;
}

TEST(JsonEscape, UnitsAndCuts) {
    EXPECT_EQ(escape("a\"b\\c\nd\re\tf/"), "a\\\"b\\\\c\\nd\\re\\tf/");
    EXPECT_EQ(escape("\x01\x1b"), "\\u0001\\u001b");
    EXPECT_EQ(escape("\x1f\x20"), "\\u001f "); // the last control character, the first that is none
    EXPECT_EQ(escape("\x7f\xC3\xA9"), "\x7f\xC3\xA9");
    EXPECT_EQ(escape("a\"b", 4), "a\\\"");
    EXPECT_EQ(escape("a\"b", 3), "a");
    EXPECT_EQ(escape("ab\xC3\xA9", 4), "ab"); // a character is written whole or not at all
    EXPECT_EQ(escape(nullptr), "");
}

TEST(StateLock, TakenAgainItOnlyCountsAndTheLastHolderFreesIt) {
    TempStateRoot t;
    std::string path = t.file("state.lock");
    char err[256] = "";
    {
        qv_state_lock outer;
        ASSERT_EQ(outer.take(err, sizeof err), 0) << err;
        EXPECT_EQ(outer.take(err, sizeof err), 0);
        {
            qv_state_lock inner;
            ASSERT_EQ(inner.take(err, sizeof err), 0) << err;
            // Another open of the lock file (as another process would make) cannot have it.
            EXPECT_EQ(qv_plat_lock_take(path.c_str(), 0), -1);
        }
        EXPECT_EQ(qv_plat_lock_take(path.c_str(), 0), -1);
    }
    int64_t free_again = qv_plat_lock_take(path.c_str(), 0);
    EXPECT_GE(free_again, 0);
    qv_plat_lock_release(free_again);
}
