// Test support implementation: temporary state roots and running the executable.
#include "support.h"

#include <cerrno>
#include <csignal>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

static std::string make_temp_root() {
    char tmpl[] = "/tmp/qvtest.XXXXXX";
    char *dir = mkdtemp(tmpl);
    return dir ? std::string(dir) : std::string("/tmp");
}

TempStateRoot::TempStateRoot() : root_(make_temp_root()), env_("QV_CONNECTORS_DIR", root_.c_str()) {}

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

RunResult run_exe(const std::vector<std::string> &args,
                  const std::vector<std::pair<std::string, std::string>> &env,
                  const std::string &stdin_data) {
    RunResult r;
    int in_pipe[2], out_pipe[2];
    if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0)
        return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        close(in_pipe[1]);
        close(out_pipe[0]);
        std::vector<std::string> env_text;
        for (const auto &[k, v] : env)
            env_text.push_back(k + "=" + v);
        std::vector<char *> argv{const_cast<char *>(QV_EXE_PATH)}, envp;
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        for (auto &e : env_text)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        execve(QV_EXE_PATH, argv.data(), envp.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    // A program may answer without reading its input (a refused request, a body too large):
    // its closed pipe must not end the test with SIGPIPE.
    void (*old_handler)(int) = signal(SIGPIPE, SIG_IGN);
    if (!stdin_data.empty() && write(in_pipe[1], stdin_data.data(), stdin_data.size()) < 0 &&
        errno != EPIPE)
        perror("write");
    signal(SIGPIPE, old_handler);
    close(in_pipe[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(out_pipe[0], buf, sizeof buf)) > 0)
        r.out.append(buf, static_cast<size_t>(n));
    close(out_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}
