// Benchmark: one https publish (connect, handshake, POST, response) to a loopback ntfy server,
// against curl doing the same request, measured interleaved in one run. Started by
// bench/https_publish.sh, which brings up the server and the certificates.
//
//   bench_https_publish URL CA_FILE CURL_CACERT [ROUNDS]
//   bench_https_publish --once URL CA_FILE        one publish in a fresh process, exit 0 or 1
#include "net.h"

#include <mbedtls/x509_crt.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// One publish the way the program makes it: a new connection per request, closed after it.
int publish(const char *url, const char *ca_file) {
    qv_url u;
    qv_conn c;
    char err[256];
    qv_conn_init(&c);
    if (qv_url_parse(url, &u, err, sizeof err) != 0 ||
        qv_conn_open(&c, &u, nullptr, ca_file, 0, 15000, err, sizeof err) != 0) {
        fprintf(stderr, "publish: %s\n", err);
        return -1;
    }
    const char *headers[] = {"Title: bench", nullptr};
    static const char body[] = "benchmark message";
    int status = 0;
    char *reply = nullptr;
    size_t len = 0;
    int rc = qv_http_request(&c, "POST", u.path, headers, body, sizeof body - 1, &status, &reply,
                             &len, err, sizeof err);
    qv_conn_close(&c);
    free(reply);
    if (rc != 0 || status != 200) {
        fprintf(stderr, "publish: status %d %s\n", status, err);
        return -1;
    }
    return 0;
}

// Runs a command, returns its wall time in ms (negative on failure) and its standard output.
double run_timed(const std::vector<std::string> &args, std::string *out) {
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    Clock::time_point start = Clock::now();
    pid_t pid;
    int spawned = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        return -1;
    }
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        out->append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    double wall = ms_since(start);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? wall : -1;
}

double store_parse_ms() {
    std::vector<double> runs;
    for (int i = 0; i < 15; i++) {
        mbedtls_x509_crt chain;
        mbedtls_x509_crt_init(&chain);
        Clock::time_point start = Clock::now();
        mbedtls_x509_crt_parse(&chain,
                               reinterpret_cast<const unsigned char *>(QV_NTFY_CA_BUNDLE_PEM),
                               strlen(QV_NTFY_CA_BUNDLE_PEM) + 1);
        runs.push_back(ms_since(start));
        mbedtls_x509_crt_free(&chain);
    }
    return median(runs);
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "--once") == 0)
        return publish(argv[2], argv[3]) == 0 ? 0 : 1;
    if (argc < 4) {
        fprintf(stderr, "usage: %s URL CA_FILE CURL_CACERT [ROUNDS]\n", argv[0]);
        return 2;
    }
    const char *url = argv[1], *ca_file = argv[2], *curl_cacert = argv[3];
    int rounds = argc > 4 ? atoi(argv[4]) : 30;
    char self[4096];
    ssize_t self_len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (self_len <= 0)
        return 2;
    self[self_len] = '\0';

    Clock::time_point first = Clock::now();
    if (publish(url, ca_file) != 0)
        return 1;
    double cold = ms_since(first); // includes parsing the embedded store once

    std::vector<double> ours, curl_total, curl_wall, curl_small, ours_process;
    for (int i = 0; i < rounds; i++) {
        Clock::time_point start = Clock::now();
        if (publish(url, ca_file) != 0)
            return 1;
        ours.push_back(ms_since(start));

        std::string out;
        double wall = run_timed({"curl", "-sS", "-o", "/dev/null", "-w", "%{time_total}",
                                 "--cacert", curl_cacert, "-H", "Title: bench", "--data-binary",
                                 "benchmark message", url},
                                &out);
        if (wall < 0) {
            fprintf(stderr, "curl failed\n");
            return 1;
        }
        curl_wall.push_back(wall);
        curl_total.push_back(atof(out.c_str()) * 1000.0);

        // The same with only the private root: what curl's own trust loading costs.
        out.clear();
        if (run_timed({"curl", "-sS", "-o", "/dev/null", "-w", "%{time_total}", "--cacert", ca_file,
                       "-H", "Title: bench", "--data-binary", "benchmark message", url},
                      &out) < 0)
            return 1;
        curl_small.push_back(atof(out.c_str()) * 1000.0);

        std::string none;
        double once = run_timed({self, "--once", url, ca_file}, &none);
        if (once < 0)
            return 1;
        ours_process.push_back(once);
    }
    double parse = store_parse_ms();
    double m_ours = median(ours), m_curl = median(curl_total);
    double m_ours_p = median(ours_process), m_curl_p = median(curl_wall);
    printf("https publish to loopback ntfy, %d interleaved rounds, medians in ms\n", rounds);
    printf("  parsing the embedded root store once:        %7.2f\n", parse);
    printf("  first publish in a process (parses it):      %7.2f\n", cold);
    printf("  parsing per connection would add (share):    %6.0f%%\n",
           100.0 * parse / (median(ours) + parse));
    printf("  chimewick publish, in process:               %7.2f\n", m_ours);
    printf("  curl, same request (its time_total):         %7.2f\n", m_curl);
    printf("  ratio chimewick / curl (in process):         %7.2f\n", m_ours / m_curl);
    printf("  curl, private root only (its time_total):    %7.2f\n", median(curl_small));
    printf("  one publish per fresh process, chimewick:    %7.2f\n", m_ours_p);
    printf("  one publish per fresh process, curl:         %7.2f\n", m_curl_p);
    printf("  ratio chimewick / curl (whole process):      %7.2f\n", m_ours_p / m_curl_p);
    return 0;
}
