// Benchmark: one setup API request as a whole process, the way a web server runs it ("status"
// and "save", each answer read to its end), against starting /bin/true, measured interleaved
// in one run. Started by bench/setup_api.sh.
//
//   bench_setup_api EXE [ROUNDS]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Series {
    const char *name;
    std::vector<double> ms;
};

double pick(std::vector<double> v, double where) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[static_cast<size_t>(where * static_cast<double>(v.size() - 1))];
}

// Runs one process with this environment, its output drained through a pipe as a web server
// reads a CGI answer; returns the wall time in milliseconds, or -1 when it failed.
double run_once(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
    std::vector<char *> args, envp;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0)
        return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    posix_spawn_file_actions_addclose(&fa, out[1]);
    auto start = Clock::now();
    pid_t pid = 0;
    int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    // The answer is read whole, as a web server would, and then dropped.
    char buf[4096];
    while (read(out[0], buf, sizeof buf) > 0) {
    }
    close(out[0]);
    int status = 0;
    if (rc == 0)
        waitpid(pid, &status, 0);
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    bool ok = rc == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return ok ? ms : -1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: bench_setup_api EXE [ROUNDS]\n");
        return 2;
    }
    std::string exe = argv[1];
    int rounds = argc > 2 ? atoi(argv[2]) : 200;
    char tmpl[] = "/tmp/qv-bench-setup.XXXXXX";
    if (!mkdtemp(tmpl)) {
        perror("mkdtemp");
        return 1;
    }
    std::string root = tmpl;
    std::filesystem::create_directories(root + "/chimewick");
    // A configured connector with some history, as the status view would find it.
    std::ofstream(root + "/chimewick/config.json")
        << R"({"server_url":"https://ntfy.sh","topic":"alerts","target_session":"main"})";
    std::ofstream(root + "/chimewick/status.json")
        << R"({"started_at":1700000000,"inbound_count":12,"outbound_count":9,"connected":1})";

    auto cgi_env = [&](const std::string &query) {
        return std::vector<std::string>{"QV_CONNECTORS_DIR=" + root, "HOME=" + root,
                                        "REQUEST_METHOD=GET", "GATEWAY_INTERFACE=CGI/1.1",
                                        "QUERY_STRING=" + query};
    };
    std::vector<std::string> status_env = cgi_env("action=status");
    std::vector<std::string> save_env = cgi_env("action=save&tags=bench&priority=4&markdown=on");

    Series floor{"/bin/true", {}}, status{"status", {}}, save{"save", {}};
    // Warm the page cache and the dynamic loader first.
    run_once({"/bin/true"}, {});
    run_once({exe}, status_env);
    run_once({exe}, save_env);
    for (int i = 0; i < rounds; i++) {
        double a = run_once({"/bin/true"}, {});
        double b = run_once({exe}, status_env);
        double c = run_once({exe}, save_env);
        if (a < 0 || b < 0 || c < 0) {
            fprintf(stderr, "a run failed (round %d)\n", i);
            std::filesystem::remove_all(root);
            return 1;
        }
        floor.ms.push_back(a);
        status.ms.push_back(b);
        save.ms.push_back(c);
    }
    std::filesystem::remove_all(root);

    printf("setup_api: %d rounds, interleaved, wall time per process (ms)\n", rounds);
    printf("  %-10s %8s %8s %8s\n", "", "min", "median", "max");
    for (const Series *s : {&floor, &status, &save})
        printf("  %-10s %8.3f %8.3f %8.3f\n", s->name, pick(s->ms, 0), pick(s->ms, 0.5),
               pick(s->ms, 1));
    double base = pick(floor.ms, 0.5);
    printf("  ratio status / true (median): %.2f   (goal: at most 3)\n",
           pick(status.ms, 0.5) / base);
    printf("  ratio save / true (median):   %.2f\n", pick(save.ms, 0.5) / base);
    printf("  ratio status / true (min):    %.2f\n", pick(status.ms, 0) / pick(floor.ms, 0));
    return 0;
}
