// Test support for the Windows build (in place of support.cpp): temporary state roots and
// running the executable that sits beside the test program, with pipes for its standard streams.
#include "support.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

static std::string make_temp_root() {
    static std::atomic<unsigned> serial{0};
    char base[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof base, base);
    std::string prefix = n > 0 && n < sizeof base ? std::string(base, n) : std::string("C:\\");
    for (int attempt = 0; attempt < 100; attempt++) {
        std::string dir = prefix + "qvtest." + std::to_string(GetCurrentProcessId()) + "." +
                          std::to_string(serial++);
        if (CreateDirectoryA(dir.c_str(), nullptr))
            return dir;
    }
    return prefix;
}

TempStateRoot::TempStateRoot()
    : root_(make_temp_root()), env_("QV_CONNECTORS_DIR", root_.c_str()) {}

TempStateRoot::~TempStateRoot() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

std::string read_whole(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_whole(const std::string &path, const std::string &data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

// chimewick.exe is built into the same folder as the test program.
static std::string exe_beside_tests() {
    char self[MAX_PATH + 1];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string path(self, n < sizeof self ? n : 0);
    size_t slash = path.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) +
           "chimewick.exe";
}

// One argument quoted the way the C runtime splits a command line again.
static std::string quote_arg(const std::string &arg) {
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            backslashes++;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

// "NAME=value\0...\0\0". Windows itself needs SystemRoot in every process (Winsock does not
// start without it), so that one variable comes from the test's own environment.
static std::string environment_block(const std::vector<std::pair<std::string, std::string>> &env) {
    std::string block;
    bool has_root = false;
    for (const auto &[k, v] : env) {
        has_root = has_root || _stricmp(k.c_str(), "SystemRoot") == 0;
        block += k + "=" + v;
        block += '\0';
    }
    const char *root = getenv("SystemRoot");
    if (!has_root && root) {
        block += std::string("SystemRoot=") + root;
        block += '\0';
    }
    block += '\0';
    return block;
}

static HANDLE inheritable_copy(HANDLE h) {
    HANDLE copy = nullptr;
    if (!h || h == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

RunResult run_exe(const std::vector<std::string> &args,
                  const std::vector<std::pair<std::string, std::string>> &env,
                  const std::string &stdin_data) {
    RunResult r;
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE in_read = nullptr, in_write = nullptr, out_read = nullptr, out_write = nullptr;
    if (!CreatePipe(&in_read, &in_write, &sa, 0))
        return r;
    if (!CreatePipe(&out_read, &out_write, &sa, 0)) {
        CloseHandle(in_read);
        CloseHandle(in_write);
        return r;
    }
    // Only the child's ends are inherited; ours must close for the child to see the end.
    SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    HANDLE err = inheritable_copy(GetStdHandle(STD_ERROR_HANDLE));

    std::string exe = exe_beside_tests();
    std::string cmdline = quote_arg(exe);
    for (const auto &a : args)
        cmdline += " " + quote_arg(a);
    std::string block = environment_block(env);
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in_read;
    si.hStdOutput = out_write;
    si.hStdError = err ? err : out_write;
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof pi);
    BOOL started = CreateProcessA(exe.c_str(), cmdline.data(), nullptr, nullptr, TRUE, 0,
                                  block.data(), nullptr, &si, &pi);
    CloseHandle(in_read);
    CloseHandle(out_write);
    if (err)
        CloseHandle(err);
    if (!started) {
        CloseHandle(in_write);
        CloseHandle(out_read);
        return r;
    }
    // The input goes in from a thread of its own, so a child that answers before it has read
    // everything never waits on us while we wait on it.
    std::thread feeder([&] {
        size_t off = 0;
        while (off < stdin_data.size()) {
            DWORD wrote = 0;
            DWORD chunk = static_cast<DWORD>(std::min<size_t>(stdin_data.size() - off, 65536));
            if (!WriteFile(in_write, stdin_data.data() + off, chunk, &wrote, nullptr))
                break;
            off += wrote;
        }
        CloseHandle(in_write);
    });
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(out_read, buf, sizeof buf, &got, nullptr) && got > 0)
        r.out.append(buf, got);
    feeder.join();
    CloseHandle(out_read);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    if (GetExitCodeProcess(pi.hProcess, &code))
        r.exit_code = static_cast<int>(code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return r;
}
