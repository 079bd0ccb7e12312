// The Windows platform layer: the default state folder, private folders and files by their
// access lists, reparse points refused where state goes, the replace that waits out a reader, clocks, random bytes, Winsock connects that
// fail or succeed, process liveness by exit code, telling our own program from others, and the
// stop that asks first and terminates a process that does not listen.
#include "net_peers.h"
#include "platform.h"
#include "support.h"

#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

// --- helpers ------------------------------------------------------------------------------

template <typename Check> static bool wait_for(Check check, int timeout_ms = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!check()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

static std::string default_state_dir() {
    char out[1000];
    return qv_plat_default_state_dir(out, sizeof out) == 0 ? std::string(out)
                                                           : std::string("FAIL:") + out;
}

static std::string own_exe() {
    char path[MAX_PATH + 1];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n);
}

// The access list of a file or folder as SDDL ("D:P(A;;FA;;;SY)..."), or "" when unreadable.
static std::string dacl_of(const std::string &path) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &sd) != ERROR_SUCCESS)
        return "";
    char *text = nullptr;
    std::string out;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorA(
            sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
        out = text;
        LocalFree(text);
    }
    LocalFree(sd);
    return out;
}

static std::string my_sid() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    unsigned char buf[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD got = 0;
    std::string out;
    char *sid = nullptr;
    if (GetTokenInformation(token, TokenUser, buf, sizeof buf, &got) &&
        ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER *>(buf)->User.Sid, &sid)) {
        out = sid;
        LocalFree(sid);
    }
    CloseHandle(token);
    return out;
}

// Wine keeps no access lists of its own: it derives them from Unix file modes and back, so
// what is set cannot be read back there.
static bool under_wine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// A folder whose access list grants everyone full control, as a careless parent might carry.
static void open_to_everyone(const std::string &path) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
        "D:P(A;OICI;FA;;;WD)", SDDL_REVISION_1, &sd, nullptr));
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
    ASSERT_EQ(SetNamedSecurityInfoA(const_cast<char *>(path.c_str()), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, dacl, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    LocalFree(sd);
}

// Starts this test program running one of the child roles below; returns its process
// information (the caller closes both handles).
static PROCESS_INFORMATION start_child(const std::string &role, const std::string &file) {
    ScopedEnv r("QV_WIN32_CHILD_ROLE", role.c_str());
    ScopedEnv f("QV_WIN32_CHILD_FILE", file.c_str());
    std::string cmd = "\"" + own_exe() +
                      "\" --gtest_also_run_disabled_tests --gtest_filter=DISABLED_Win32Child.Run";
    // The child's own test report goes nowhere.
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE null = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = si.hStdOutput = si.hStdError = null;
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof pi);
    if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                        nullptr, nullptr, &si, &pi))
        ADD_FAILURE() << "CreateProcess failed: " << GetLastError();
    CloseHandle(null);
    return pi;
}

// --- the child roles (run only when started by start_child) ---------------------------------

// The names of this process's environment variables, one a line, and "end".
static std::string environment_names() {
    std::string out;
    char *block = GetEnvironmentStringsA();
    for (const char *e = block; e && *e; e += strlen(e) + 1) {
        const char *eq = strchr(e + 1, '=');
        out += std::string(e, eq ? static_cast<size_t>(eq - e) : strlen(e)) + "\n";
    }
    FreeEnvironmentStringsA(block);
    return out + "end\n";
}

// "listen": waits for a stop request the way the daemon does and reports how it ended;
// "deaf": never listens and has to be terminated; "exit259": ends with the code that
// GetExitCodeProcess also gives for a running process; "environment": writes the names of its
// environment variables.
TEST(DISABLED_Win32Child, Run) {
    std::string role = getenv("QV_WIN32_CHILD_ROLE") ? getenv("QV_WIN32_CHILD_ROLE") : "";
    std::string file = getenv("QV_WIN32_CHILD_FILE") ? getenv("QV_WIN32_CHILD_FILE") : "";
    if (role == "exit259")
        ExitProcess(259);
    if (role == "environment") {
        write_whole(file + ".tmp", environment_names());
        MoveFileExA((file + ".tmp").c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING);
        return;
    }
    if (role == "listen")
        qv_plat_install_stop_handlers();
    qv_plat_net_startup();
    // A socket wait and a sleep: both must end at once when the stop arrives.
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    write_whole(file, "ready " + std::to_string(qv_plat_pid()));
    int waited = qv_plat_sock_wait(static_cast<int64_t>(listener), 0, 60000);
    qv_plat_sleep_ms(60000);
    // After the stop, a wait (an exchange finishing within its grace) sleeps its whole time on
    // the socket instead of coming back at once, which would leave its caller spinning.
    int64_t before = qv_plat_monotonic_ms();
    int after = qv_plat_sock_wait(static_cast<int64_t>(listener), 0, 300);
    bool slept = after == 0 && qv_plat_monotonic_ms() - before >= 200;
    write_whole(file, std::string("stopped ") +
                          (waited == QV_PLAT_INTERRUPTED ? "interrupted" : "other") +
                          (qv_plat_stop_requested() ? " flag" : " noflag") +
                          (qv_plat_stop_requested_at_ms() >= 0 ? " at" : " never") +
                          (slept ? " slept" : " spun"));
    closesocket(listener);
}

// --- state folder -------------------------------------------------------------------------

TEST(Win32StateDir, LocalAppDataThenUserProfileThenDefaultProfile) {
    {
        ScopedEnv l("LOCALAPPDATA", "D:\\Data\\Local");
        ScopedEnv u("USERPROFILE", "D:\\Users\\ann");
        EXPECT_EQ(default_state_dir(), "D:\\Data\\Local\\quorvane\\connectors\\chimewick");
    }
    {
        ScopedEnv l("LOCALAPPDATA", nullptr);
        ScopedEnv u("USERPROFILE", "D:\\Users\\ann");
        EXPECT_EQ(default_state_dir(), "D:\\Users\\ann\\quorvane\\connectors\\chimewick");
    }
    {
        ScopedEnv l("LOCALAPPDATA", nullptr);
        ScopedEnv u("USERPROFILE", nullptr);
        EXPECT_EQ(default_state_dir(), "C:\\Users\\Default\\quorvane\\connectors\\chimewick");
    }
}

TEST(Win32StateDir, LongBaseIsCutAndSmallBufferFails) {
    std::string base = "D:\\" + std::string(700, 'b');
    ScopedEnv l("LOCALAPPDATA", base.c_str());
    EXPECT_EQ(default_state_dir(), base.substr(0, 599) + "\\quorvane\\connectors\\chimewick");
    char small[40] = "junk";
    EXPECT_EQ(qv_plat_default_state_dir(small, sizeof small), -1);
    EXPECT_STREQ(small, "");
}

TEST(Win32StateDir, HomeIsTheUserProfile) {
    char home[600];
    {
        ScopedEnv u("USERPROFILE", "D:\\Users\\ann");
        ASSERT_EQ(qv_plat_home_dir(home, sizeof home), 0);
        EXPECT_STREQ(home, "D:\\Users\\ann");
    }
    ScopedEnv u("USERPROFILE", nullptr);
    ASSERT_EQ(qv_plat_home_dir(home, sizeof home), 0);
    EXPECT_STREQ(home, "C:\\Users\\Default");
}

TEST(Win32StateDir, PathsUseBackslashes) {
    EXPECT_EQ(QV_DIR_SEP, '\\');
}

// --- private folders and files ------------------------------------------------------------

TEST(Win32Private, FoldersAndFilesGrantOnlyTheOwnerSystemAndAdministrators) {
    if (under_wine())
        GTEST_SKIP() << "Wine derives access lists from Unix modes";
    TempStateRoot t;
    std::string sid = my_sid();
    ASSERT_FALSE(sid.empty());
    open_to_everyone(t.root());
    std::string dir = t.root() + "\\private";
    ASSERT_EQ(qv_plat_mkdir_private(dir.c_str()), 0);
    EXPECT_EQ(qv_plat_mkdir_private(dir.c_str()), -1); // exists already
    EXPECT_EQ(dacl_of(dir), "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + sid + ")");

    std::string file = t.root() + "\\secret.json";
    FILE *f = qv_plat_fopen_private(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_EQ(dacl_of(file), "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + sid + ")");
}

TEST(Win32Private, AnExistingWideOpenFileIsNarrowedOnOpen) {
    if (under_wine())
        GTEST_SKIP() << "Wine derives access lists from Unix modes";
    TempStateRoot t;
    open_to_everyone(t.root());
    std::string file = t.root() + "\\daemon.log";
    write_whole(file, "old line\n");
    ASSERT_NE(dacl_of(file).find(";;;WD)"), std::string::npos);
    FILE *f = qv_plat_fopen_private(file.c_str(), "ab");
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_EQ(dacl_of(file).find(";;;WD)"), std::string::npos);
}

TEST(Win32Private, AppendKeepsAndTruncateReplacesTheBytesRaw) {
    TempStateRoot t;
    std::string file = t.root() + "\\daemon.log";
    write_whole(file, "old line\n");
    FILE *f = qv_plat_fopen_private(file.c_str(), "ab");
    ASSERT_NE(f, nullptr);
    fputs("new line\n", f);
    fclose(f);
    EXPECT_EQ(read_whole(file), "old line\nnew line\n"); // appended, no CR added
    f = qv_plat_fopen_private(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("a\r\nb\n", f);
    fclose(f);
    EXPECT_EQ(read_whole(file), "a\r\nb\n"); // truncated, written raw
}

TEST(Win32Private, FailsWhereNoFileCanBeMade) {
    TempStateRoot t;
    EXPECT_EQ(qv_plat_fopen_private((t.root() + "\\no\\such\\dir\\f").c_str(), "wb"), nullptr);
    EXPECT_EQ(qv_plat_mkdir_private((t.root() + "\\no\\such").c_str()), -1);
}

// A symbolic link where a state file (or the state folder) should be, made as Windows makes
// one; false when this system will not make it (no privilege, or Wine 8, whose
// CreateSymbolicLink reports success and makes nothing).
static bool make_link(const std::string &link, const std::string &target, bool folder) {
    DWORD flags = (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | 0x2; // unprivileged create
    (void)CreateSymbolicLinkA(link.c_str(), target.c_str(), flags);
    DWORD attrs = GetFileAttributesA(link.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT);
}

TEST(Win32Private, AReparsePointOrFolderWhereAFileGoesIsRefused) {
    TempStateRoot t;
    std::string target = t.root() + "\\elsewhere.txt";
    write_whole(target, "not yours");
    std::string linked = t.root() + "\\config.json", folder = t.root() + "\\daemon.log";
    bool have_link = make_link(linked, target, false);
    ASSERT_TRUE(fs::create_directory(folder));
    std::vector<std::string> places{folder};
    if (have_link)
        places.push_back(linked);
    for (const std::string &place : places) {
        EXPECT_EQ(qv_plat_fopen_private(place.c_str(), "ab"), nullptr) << place;
        EXPECT_EQ(qv_plat_fopen_private(place.c_str(), "wb"), nullptr) << place;
        EXPECT_EQ(qv_plat_fopen_read(place.c_str()), nullptr) << place;
        EXPECT_EQ(qv_plat_fcreate_new_private(place.c_str()), nullptr) << place;
    }
    EXPECT_EQ(read_whole(target), "not yours");
    RecordProperty("symbolic_link_tried", have_link ? "yes" : "no: a folder stood in its place");
}

TEST(Win32Private, ANewFileIsCreatedOnlyWhereNothingIs) {
    TempStateRoot t;
    std::string file = t.root() + "\\x.json.tmp.0123456789abcdef";
    FILE *f = qv_plat_fcreate_new_private(file.c_str());
    ASSERT_NE(f, nullptr);
    fputs("a\n", f);
    fclose(f);
    EXPECT_EQ(qv_plat_fcreate_new_private(file.c_str()), nullptr);
    EXPECT_EQ(read_whole(file), "a\n");
    f = qv_plat_fopen_read(file.c_str());
    ASSERT_NE(f, nullptr);
    char buf[8] = "";
    EXPECT_EQ(fread(buf, 1, sizeof buf, f), 2u); // raw: no line ends translated
    fclose(f);
    char err[300] = "";
    EXPECT_EQ(qv_plat_dir_check_private(t.root().c_str(), 0, err, sizeof err), QV_PLAT_DIR_PRIVATE);
    EXPECT_EQ(qv_plat_dir_check_private(file.c_str(), 0, err, sizeof err), QV_PLAT_DIR_MISSING);
}

TEST(Win32Private, ALinkedStateFolderIsRefused) {
    TempStateRoot t;
    std::string real = t.root() + "\\real", dir = t.root() + "\\chimewick";
    ASSERT_TRUE(fs::create_directory(real));
    if (!make_link(dir, real, true))
        GTEST_SKIP() << "no symbolic link could be made here";
    char err[300] = "";
    EXPECT_EQ(qv_plat_dir_check_private(dir.c_str(), 0, err, sizeof err), QV_PLAT_DIR_EXPOSED);
    EXPECT_EQ(std::string(err),
              "state folder " + dir + " is a link or junction: replace it with a folder of your own");
    EXPECT_EQ(qv_plat_dir_check_private(dir.c_str(), 1, err, sizeof err), QV_PLAT_DIR_PRIVATE);
}

// --- atomic replace -----------------------------------------------------------------------

TEST(Win32Replace, ReplacesAnExistingTargetWhole) {
    TempStateRoot t;
    std::string from = t.root() + "\\a.tmp", to = t.root() + "\\a.json";
    write_whole(to, "old content that is longer");
    write_whole(from, "new");
    ASSERT_EQ(qv_plat_replace_file(from.c_str(), to.c_str()), 0);
    EXPECT_EQ(read_whole(to), "new");
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ(qv_plat_replace_file(from.c_str(), to.c_str()), -1); // source gone
    EXPECT_EQ(read_whole(to), "new");
}

TEST(Win32Replace, WaitsOutAReaderThatHoldsTheTarget) {
    TempStateRoot t;
    std::string from = t.root() + "\\s.tmp", to = t.root() + "\\status.json";
    write_whole(to, "old");
    write_whole(from, "new");
    // The C library opens files without sharing deletion, which blocks a replace while open.
    FILE *reader = fopen(to.c_str(), "rb");
    ASSERT_NE(reader, nullptr);
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        fclose(reader);
    });
    int rc = qv_plat_replace_file(from.c_str(), to.c_str());
    closer.join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(read_whole(to), "new");
}

TEST(Win32Replace, ALogOpenForWritingCanBeRotated) {
    TempStateRoot t;
    std::string log = t.root() + "\\daemon.log", previous = log + ".1";
    write_whole(previous, "older generation");
    FILE *writer = qv_plat_fopen_private(log.c_str(), "ab");
    ASSERT_NE(writer, nullptr);
    fputs("line\n", writer);
    fflush(writer);
    EXPECT_EQ(qv_plat_replace_file(log.c_str(), previous.c_str()), 0);
    fclose(writer);
    EXPECT_EQ(read_whole(previous), "line\n");
    EXPECT_FALSE(fs::exists(log));
}

// --- clocks, time and random bytes --------------------------------------------------------

TEST(Win32Clock, EpochSecondsMatchTheCLibrary) {
    int64_t before = static_cast<int64_t>(time(nullptr));
    int64_t now = qv_plat_epoch_seconds();
    int64_t after = static_cast<int64_t>(time(nullptr));
    EXPECT_GE(now, before);
    EXPECT_LE(now, after);
}

TEST(Win32Clock, MonotonicNeverGoesBackAndAdvancesAcrossASleep) {
    int64_t a = qv_plat_monotonic_ms();
    qv_plat_sleep_ms(60);
    int64_t b = qv_plat_monotonic_ms();
    EXPECT_GT(b, a);
    for (int i = 0; i < 1000; i++) {
        int64_t c = qv_plat_monotonic_ms();
        ASSERT_GE(c, b);
        b = c;
    }
}

TEST(Win32Clock, LocalTimeFollowsAChangedTimeZone) {
    struct tm tm;
    {
        ScopedEnv tz("TZ", "UTC0");
        ASSERT_EQ(qv_plat_local_time(86400, &tm), 0);
        EXPECT_EQ(tm.tm_year, 70);
        EXPECT_EQ(tm.tm_mday, 2);
        EXPECT_EQ(tm.tm_hour, 0);
    }
    ScopedEnv tz("TZ", "EST5");
    ASSERT_EQ(qv_plat_local_time(86400, &tm), 0);
    EXPECT_EQ(tm.tm_mday, 1);
    EXPECT_EQ(tm.tm_hour, 19);
}

TEST(Win32Random, FillsLargeAndSmallBuffersDifferently) {
    std::vector<unsigned char> a(32), b(32), big(1 << 20);
    ASSERT_EQ(qv_plat_random_bytes(a.data(), a.size()), 0);
    ASSERT_EQ(qv_plat_random_bytes(b.data(), b.size()), 0);
    EXPECT_NE(a, b);
    ASSERT_EQ(qv_plat_random_bytes(big.data(), big.size()), 0);
    size_t zeros = 0;
    for (unsigned char c : big)
        zeros += c == 0;
    EXPECT_LT(zeros, big.size() / 128); // about 1/256 expected
    EXPECT_EQ(qv_plat_random_bytes(a.data(), 0), 0);
}

// --- sockets ------------------------------------------------------------------------------

struct Listener {
    SOCKET s = INVALID_SOCKET;
    int port = 0;
    Listener() {
        qv_plat_net_startup();
        s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int len = sizeof addr;
        bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        listen(s, 4);
        getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len);
        port = ntohs(addr.sin_port);
    }
    ~Listener() {
        if (s != INVALID_SOCKET)
            closesocket(s);
    }
};

// Connects to 127.0.0.1:port through the platform layer; -1 when it fails at once.
static int64_t connect_to(int port, int *pending) {
    qv_plat_addrs *a = nullptr;
    if (qv_plat_resolve("127.0.0.1", port, &a) != 0)
        return -1;
    int64_t s = qv_plat_connect_start(a, 0, pending);
    qv_plat_addrs_free(a);
    return s;
}

TEST(Win32Socket, ConnectSendReceiveWouldBlockAndClose) {
    Listener l;
    int pending = 0;
    int64_t s = connect_to(l.port, &pending);
    ASSERT_GE(s, 0);
    if (pending) {
        ASSERT_EQ(qv_plat_sock_wait(s, 1, 5000), 1);
        ASSERT_EQ(qv_plat_connect_result(s), 0);
    }
    SOCKET peer = accept(l.s, nullptr, nullptr);
    ASSERT_NE(peer, INVALID_SOCKET);
    char buf[16];
    EXPECT_EQ(qv_plat_sock_recv(s, buf, sizeof buf), QV_PLAT_WOULD_BLOCK); // non-blocking
    EXPECT_EQ(qv_plat_sock_wait(s, 0, 0), 0);
    EXPECT_EQ(qv_plat_sock_send(s, "ping", 4), 4);
    ASSERT_EQ(recv(peer, buf, sizeof buf, 0), 4);
    send(peer, "pong", 4, 0);
    ASSERT_EQ(qv_plat_sock_wait(s, 0, 5000), 1);
    EXPECT_EQ(qv_plat_sock_recv(s, buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "pong");
    closesocket(peer);
    ASSERT_EQ(qv_plat_sock_wait(s, 0, 5000), 1);
    EXPECT_EQ(qv_plat_sock_recv(s, buf, sizeof buf), 0); // the peer closed
    qv_plat_sock_close(s);
}

TEST(Win32Socket, ARefusedConnectEndsTheWaitAndReportsFailure) {
    int port = 0;
    {
        Listener gone;
        port = gone.port;
    }
    int pending = 0;
    int64_t s = connect_to(port, &pending);
    if (s < 0) {
        SUCCEED() << "refused at once";
    } else {
        // Windows reports a failed connect only as an exception: the wait must see it, not
        // sit out its whole time.
        ASSERT_EQ(pending, 1);
        EXPECT_EQ(qv_plat_sock_wait(s, 1, 20000), 1);
        EXPECT_EQ(qv_plat_connect_result(s), -1);
        qv_plat_sock_close(s);
    }
}

TEST(Win32Socket, WrappedSendAlternatesWouldBlock) {
    Listener l;
    int pending = 0;
    int64_t s = connect_to(l.port, &pending);
    ASSERT_GE(s, 0);
    if (pending) {
        ASSERT_EQ(qv_plat_sock_wait(s, 1, 5000), 1);
    }
    peer_would_block_once(true);
    EXPECT_EQ(qv_plat_sock_send(s, "x", 1), QV_PLAT_WOULD_BLOCK);
    EXPECT_EQ(qv_plat_sock_send(s, "x", 1), 1);
    peer_would_block_once(false);
    EXPECT_EQ(qv_plat_sock_send(s, "y", 1), 1);
    qv_plat_sock_close(s);
}

TEST(Win32Socket, UnresolvableNameFails) {
    qv_plat_addrs *a = reinterpret_cast<qv_plat_addrs *>(1);
    EXPECT_EQ(qv_plat_resolve("no-such-host.invalid", 80, &a), -1);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(qv_plat_addrs_count(nullptr), 0);
}

// --- processes ----------------------------------------------------------------------------

TEST(Win32Process, OwnPathIdAndLiveness) {
    char path[MAX_PATH + 1];
    ASSERT_EQ(qv_plat_exe_path(path, sizeof path), 0);
    EXPECT_EQ(std::string(path), own_exe());
    char tiny[4] = "xyz";
    EXPECT_EQ(qv_plat_exe_path(tiny, sizeof tiny), -1);
    EXPECT_STREQ(tiny, "");
    EXPECT_EQ(qv_plat_pid(), static_cast<long>(GetCurrentProcessId()));
    EXPECT_EQ(qv_plat_process_alive(qv_plat_pid()), 1);
    EXPECT_EQ(qv_plat_process_is_self(qv_plat_pid()), 1);
    for (long bad : {0L, -1L, -4L})
        EXPECT_EQ(qv_plat_process_alive(bad), 0) << bad;
}

TEST(Win32Process, AnEndedProcessIsGoneWhileStillOpen) {
    TempStateRoot t;
    PROCESS_INFORMATION pi = start_child("exit259", t.root() + "\\child");
    ASSERT_NE(pi.hProcess, nullptr);
    ASSERT_EQ(WaitForSingleObject(pi.hProcess, 20000), WAIT_OBJECT_0);
    // Our handle keeps the ended process openable; its exit code is the one that also means
    // "still active", so only the signalled handle tells.
    EXPECT_EQ(qv_plat_process_alive(static_cast<long>(pi.dwProcessId)), 0);
    EXPECT_EQ(qv_plat_process_is_self(static_cast<long>(pi.dwProcessId)), 1);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

TEST(Win32Process, AnotherProgramIsNotSelf) {
    TempStateRoot t;
    std::string exe = fs::path(own_exe()).parent_path().string() + "\\chimewick.exe";
    ScopedEnv meta("QV_PLUGIN_META", nullptr);
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof pi);
    // The MCP server waits on its input, which this pipe end never sends.
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE in_read = nullptr, in_write = nullptr;
    ASSERT_TRUE(CreatePipe(&in_read, &in_write, &sa, 0));
    SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in_read;
    std::string cmd = "\"" + exe + "\" --mcp";
    ASSERT_TRUE(CreateProcessA(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                               &si, &pi));
    CloseHandle(in_read);
    long pid = static_cast<long>(pi.dwProcessId);
    EXPECT_EQ(qv_plat_process_alive(pid), 1);
    EXPECT_EQ(qv_plat_process_is_self(pid), 0);
    // It does not listen for stop requests: it is terminated once the wait is over.
    EXPECT_EQ(qv_plat_terminate(pid, 100), 0);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), WAIT_OBJECT_0);
    EXPECT_EQ(qv_plat_process_alive(pid), 0);
    CloseHandle(in_write);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

TEST(Win32Process, StopAsksAListeningProcessFirst) {
    TempStateRoot t;
    std::string file = t.root() + "\\child";
    PROCESS_INFORMATION pi = start_child("listen", file);
    ASSERT_NE(pi.hProcess, nullptr);
    ASSERT_TRUE(wait_for([&] { return read_whole(file).rfind("ready", 0) == 0; }));
    long pid = static_cast<long>(pi.dwProcessId);
    EXPECT_EQ(qv_plat_process_alive(pid), 1);
    EXPECT_EQ(qv_plat_process_is_self(pid), 1);
    EXPECT_EQ(qv_plat_terminate(pid, 10000), 0);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), WAIT_OBJECT_0);
    // It saw the request in its socket wait and its sleep, and ended on its own.
    EXPECT_EQ(read_whole(file), "stopped interrupted flag at slept");
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

TEST(Win32Process, StopTerminatesAProcessThatDoesNotListen) {
    TempStateRoot t;
    std::string file = t.root() + "\\child";
    PROCESS_INFORMATION pi = start_child("deaf", file);
    ASSERT_NE(pi.hProcess, nullptr);
    ASSERT_TRUE(wait_for([&] { return read_whole(file).rfind("ready", 0) == 0; }));
    long pid = static_cast<long>(pi.dwProcessId);
    EXPECT_EQ(qv_plat_terminate(pid, 200), 0);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), WAIT_OBJECT_0);
    EXPECT_EQ(read_whole(file).rfind("ready", 0), 0u); // never got to its own end
    EXPECT_EQ(qv_plat_process_alive(pid), 0);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

TEST(Win32Process, StopOfAGoneProcessSucceedsAndBadIdsFail) {
    TempStateRoot t;
    PROCESS_INFORMATION pi = start_child("exit259", t.root() + "\\child");
    ASSERT_NE(pi.hProcess, nullptr);
    long pid = static_cast<long>(pi.dwProcessId);
    WaitForSingleObject(pi.hProcess, 20000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    // With the last handle closed the id names nothing (or, reused, nothing of ours to wait on).
    ASSERT_TRUE(wait_for([&] { return qv_plat_process_alive(pid) == 0; }));
    EXPECT_EQ(qv_plat_terminate(0, 100), -1);
    EXPECT_EQ(qv_plat_terminate(-8, 100), -1);
}

TEST(Win32Process, DetachedStartRunsTheProgramWithOurEnvironmentLessTheRequest) {
    TempStateRoot t;
    std::string file = t.root() + "\\names.txt";
    ScopedEnv role("QV_WIN32_CHILD_ROLE", "environment");
    ScopedEnv where("QV_WIN32_CHILD_FILE", file.c_str());
    ScopedEnv query("QUERY_STRING", "action=start&pwd=n0de-pw");
    ScopedEnv method("REQUEST_METHOD", "POST");
    ScopedEnv header("HTTP_X_BOT_PASSWORD", "n0de-pw");
    ScopedEnv password("BOT_PASSWORD", "n0de-pw");
    EXPECT_EQ(qv_plat_spawn_detached(own_exe().c_str(),
                                     "--gtest_also_run_disabled_tests "
                                     "--gtest_filter=DISABLED_Win32Child.Run"),
              0);
    ASSERT_TRUE(wait_for([&] { return fs::exists(file); }));
    std::string names = "\n" + read_whole(file);
    for (const char *kept : {"QV_WIN32_CHILD_FILE", "BOT_PASSWORD"})
        EXPECT_NE(names.find(std::string("\n") + kept + "\n"), std::string::npos) << kept << names;
    for (const char *dropped : {"QUERY_STRING", "REQUEST_METHOD", "HTTP_X_BOT_PASSWORD"})
        EXPECT_EQ(names.find(std::string("\n") + dropped + "\n"), std::string::npos) << dropped;
    EXPECT_EQ(qv_plat_spawn_detached((t.root() + "\\missing.exe").c_str(), "--daemon"), -1);
}

// --- locks ----------------------------------------------------------------------------------

TEST(Win32Lock, AHeldLockMakesAnotherTakeWaitAndFailUntilItIsReleased) {
    TempStateRoot t;
    std::string path = t.root() + "\\state.lock";
    int64_t held = qv_plat_lock_take(path.c_str(), 0);
    ASSERT_GE(held, 0);
    // Another handle on the file, as another process would open, cannot have it meanwhile.
    EXPECT_EQ(qv_plat_lock_take(path.c_str(), 0), -1);
    EXPECT_EQ(qv_plat_lock_take(path.c_str(), 100), -1);
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        qv_plat_lock_release(held);
    });
    int64_t mine = qv_plat_lock_take(path.c_str(), 5000);
    releaser.join();
    EXPECT_GE(mine, 0);
    qv_plat_lock_release(mine);
}
