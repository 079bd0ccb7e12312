// Benchmark: one MCP tools/call of ntfy_send that publishes to a loopback ntfy server, inside a
// running `chimewick --mcp` session and as a whole process per call, over http and https, against
// curl publishing the same message with the same headers, interleaved in one run. Started by
// bench/mcp_publish.sh, which brings up the server and the self-signed certificate.
//
//   bench_mcp_publish EXE HTTP_URL HTTPS_URL CERT_FILE PIN WORK_DIR [ROUNDS]
#include "clients.h"
#include "base.h"
#include "state.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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

namespace {

using Clock = std::chrono::steady_clock;

constexpr int CALL_TIMEOUT_MS = 15000;
constexpr int EXIT_TIMEOUT_MS = 5000;
constexpr char TOPIC[] = "benchtopic";
constexpr char MESSAGE[] = "benchmark message";
constexpr char TITLE[] = "bench";

const char INITIALIZE[] =
    "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"initialize\",\"params\":{\"protocolVersion\":"
    "\"2024-11-05\",\"capabilities\":{},\"clientInfo\":{\"name\":\"bench\",\"version\":\"1\"}}}";
const char INITIALIZED[] = "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}";

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::string tools_call(int id) {
    char line[400];
    snprintf(line, sizeof line,
             "{\"jsonrpc\":\"2.0\",\"id\":%d,\"method\":\"tools/call\",\"params\":{\"name\":"
             "\"ntfy_send\",\"arguments\":{\"message\":\"%s\",\"title\":\"%s\"}}}",
             id, MESSAGE, TITLE);
    return line;
}

bool published(const std::string &answer) {
    return answer.find("\"isError\":false") != std::string::npos &&
           answer.find("published to") != std::string::npos;
}

// The environment a chimewick run gets: only what the bench sets, so a developer's NTFY_* or
// QV_* variables never change what is measured.
std::vector<std::string> chimewick_env(const std::string &state_dir, const std::string &server,
                                       const std::string &trust) {
    const char *path = getenv("PATH");
    std::vector<std::string> env = {
        std::string("PATH=") + (path ? path : "/usr/bin:/bin"),
        "HOME=" + state_dir,
        "QV_CONNECTORS_DIR=" + state_dir,
        "NTFY_SERVER_URL=" + server,
        std::string("NTFY_TOPIC=") + TOPIC,
    };
    if (!trust.empty())
        env.push_back(trust);
    return env;
}

std::vector<char *> c_strings(std::vector<std::string> &list) {
    std::vector<char *> out;
    for (std::string &s : list)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

struct child {
    pid_t pid = -1;
    int in = -1;  // its standard input
    int out = -1; // its standard output
    std::string pending;
};

// Starts a program with pipes on standard input and output; standard error goes to err_file.
bool start_child(std::vector<std::string> args, std::vector<std::string> env,
                 const std::string &err_file, child *c) {
    int to_child[2], from_child[2];
    if (pipe(to_child) != 0)
        return false;
    if (pipe(from_child) != 0) {
        close(to_child[0]);
        close(to_child[1]);
        return false;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, to_child[0], 0);
    posix_spawn_file_actions_adddup2(&fa, from_child[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, err_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_addclose(&fa, to_child[1]);
    posix_spawn_file_actions_addclose(&fa, from_child[0]);
    std::vector<char *> argv = c_strings(args), envp = c_strings(env);
    int spawned = posix_spawnp(&c->pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(to_child[0]);
    close(from_child[1]);
    if (spawned != 0) {
        close(to_child[1]);
        close(from_child[0]);
        c->pid = -1;
        return false;
    }
    c->in = to_child[1];
    c->out = from_child[0];
    return true;
}

bool write_all(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The next line the child writes, or false at its end or after the time-out.
bool read_line(child *c, std::string *line, int timeout_ms) {
    Clock::time_point start = Clock::now();
    for (;;) {
        size_t nl = c->pending.find('\n');
        if (nl != std::string::npos) {
            *line = c->pending.substr(0, nl);
            c->pending.erase(0, nl + 1);
            return true;
        }
        int left = timeout_ms - static_cast<int>(ms_since(start));
        pollfd p = {c->out, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0)
            return false;
        char buf[4096];
        ssize_t n = read(c->out, buf, sizeof buf);
        if (n <= 0)
            return false;
        c->pending.append(buf, static_cast<size_t>(n));
    }
}

// Closes the child's input, waits for it to end (killing it after the time-out) and returns
// its exit status, or -1 when it did not end by itself.
int finish_child(child *c) {
    if (c->in != -1)
        close(c->in);
    c->in = -1;
    int status = 0, code = -1;
    Clock::time_point start = Clock::now();
    while (c->pid > 0) {
        pid_t got = waitpid(c->pid, &status, WNOHANG);
        if (got == c->pid) {
            code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
        if (ms_since(start) > EXIT_TIMEOUT_MS) {
            kill(c->pid, SIGKILL);
            waitpid(c->pid, &status, 0);
            break;
        }
        usleep(200);
    }
    if (c->out != -1)
        close(c->out);
    c->out = -1;
    c->pid = -1;
    return code;
}

// One running MCP session, initialised the way a client opens it.
struct session {
    const char *name = "";
    child proc;
    int next_id = 10;
    std::vector<double> calls;
};

bool open_session(const std::string &exe, const std::vector<std::string> &env,
                  const std::string &err_file, session *s) {
    std::string answer;
    if (!start_child({exe, "--mcp"}, env, err_file, &s->proc) ||
        !write_all(s->proc.in, std::string(INITIALIZE) + "\n" + INITIALIZED + "\n") ||
        !read_line(&s->proc, &answer, CALL_TIMEOUT_MS) ||
        answer.find("\"protocolVersion\"") == std::string::npos) {
        fprintf(stderr, "mcp_publish: the %s session did not start (see %s)\n", s->name,
                err_file.c_str());
        return false;
    }
    return true;
}

// One tools/call in the running session: the line out, the answer line back. ms, or -1.
double session_call(session *s) {
    std::string answer;
    Clock::time_point start = Clock::now();
    if (!write_all(s->proc.in, tools_call(s->next_id++) + "\n") ||
        !read_line(&s->proc, &answer, CALL_TIMEOUT_MS))
        return -1;
    double ms = ms_since(start);
    if (!published(answer)) {
        fprintf(stderr, "mcp_publish: %s call failed: %s\n", s->name, answer.c_str());
        return -1;
    }
    return ms;
}

// A ping in the running session: what the stdio round trip itself costs. ms, or -1.
double session_ping(session *s) {
    std::string answer;
    char line[100];
    snprintf(line, sizeof line, "{\"jsonrpc\":\"2.0\",\"id\":%d,\"method\":\"ping\"}\n",
             s->next_id++);
    Clock::time_point start = Clock::now();
    if (!write_all(s->proc.in, line) || !read_line(&s->proc, &answer, CALL_TIMEOUT_MS) ||
        answer.find("\"result\"") == std::string::npos)
        return -1;
    return ms_since(start);
}

// A whole `chimewick --mcp` process for one call: start, initialize, tools/call, end of
// input, exit. ms, or -1.
double process_call(const std::string &exe, const std::vector<std::string> &env,
                    const std::string &err_file) {
    child c;
    Clock::time_point start = Clock::now();
    if (!start_child({exe, "--mcp"}, env, err_file, &c))
        return -1;
    bool sent =
        write_all(c.in, std::string(INITIALIZE) + "\n" + INITIALIZED + "\n" + tools_call(2) + "\n");
    close(c.in);
    c.in = -1;
    std::string first, second;
    bool answered =
        sent && read_line(&c, &first, CALL_TIMEOUT_MS) && read_line(&c, &second, CALL_TIMEOUT_MS);
    int code = finish_child(&c);
    double ms = ms_since(start);
    if (!answered || code != 0 || !published(second)) {
        fprintf(stderr, "mcp_publish: one-call process failed (exit %d): %s\n", code,
                second.c_str());
        return -1;
    }
    return ms;
}

// curl publishing the same message with the same headers. Wall time of the process in ms and
// curl's own time_total; false on failure.
bool curl_publish(const std::string &url, const std::string &cacert, double *wall, double *total) {
    std::vector<std::string> args = {"curl",
                                     "-q",
                                     "-sS",
                                     "-o",
                                     "/dev/null",
                                     "-w",
                                     "%{http_code} %{time_total}",
                                     "-H",
                                     std::string("Title: ") + TITLE,
                                     "-H",
                                     "Tags: quorvane",
                                     "-H",
                                     "Priority: 3",
                                     "-H",
                                     "X-Source-Id: quorvane-bot-chimewick",
                                     "--data-binary",
                                     MESSAGE};
    if (!cacert.empty()) {
        args.push_back("--cacert");
        args.push_back(cacert);
    }
    args.push_back(url + "/" + TOPIC);
    const char *path = getenv("PATH");
    std::vector<std::string> env = {std::string("PATH=") + (path ? path : "/usr/bin:/bin")};
    child c;
    Clock::time_point start = Clock::now();
    if (!start_child(args, env, "/dev/null", &c))
        return false;
    std::string out;
    read_line(&c, &out, CALL_TIMEOUT_MS); // no line feed: the text comes back at its end
    out += c.pending;
    int code = finish_child(&c);
    *wall = ms_since(start);
    int http = 0;
    *total = 0;
    if (sscanf(out.c_str(), "%d %lf", &http, total) != 2 || code != 0 || http != 200) {
        fprintf(stderr, "mcp_publish: curl failed (exit %d): %s\n", code, out.c_str());
        return false;
    }
    *total *= 1000.0;
    return true;
}

struct curl_series {
    std::vector<double> wall, total;
    bool run(const std::string &url, const std::string &cacert) {
        double w = 0, t = 0;
        if (!curl_publish(url, cacert, &w, &t))
            return false;
        wall.push_back(w);
        total.push_back(t);
        return true;
    }
};

void row(const char *label, double ms) {
    printf("  %-50s %8.2f\n", label, ms);
}

void ratio(const char *label, double ours, double theirs) {
    printf("  %-50s %8.2f\n", label, theirs > 0 ? ours / theirs : 0);
}

// The same publish and ledger note that a tools/call makes, in this process: where the time of
// a call goes. The configuration comes from the environment, as the MCP server reads it.
struct in_process {
    qv_ntfy_config http, ca;
    std::vector<double> publish_http, publish_ca, note;

    bool load(const std::string &state_dir, const std::string &http_url,
              const std::string &https_url, const std::string &cert) {
        char err[256] = "";
        setenv("QV_CONNECTORS_DIR", state_dir.c_str(), 1);
        setenv("NTFY_SERVER_URL", http_url.c_str(), 1);
        setenv("NTFY_TOPIC", TOPIC, 1);
        if (qv_ntfy_config_load(&http, err, sizeof err) != 0) {
            fprintf(stderr, "mcp_publish: config: %s\n", err);
            return false;
        }
        ca = http;
        cp_trunc(ca.server_url, sizeof ca.server_url, https_url.c_str());
        cp_trunc(ca.ca_file, sizeof ca.ca_file, cert.c_str());
        return true;
    }
    bool round() {
        char id[QV_PUB_ID_CAP], err[512] = "";
        Clock::time_point start = Clock::now();
        if (ntfy_publish(&http, TOPIC, MESSAGE, TITLE, 3, "", id, err, sizeof err) != 0)
            return fail(err);
        publish_http.push_back(ms_since(start));
        start = Clock::now();
        if (qv_ntfy_sent_note(id) != 0)
            return fail("cannot note the id in sent.json");
        note.push_back(ms_since(start));
        start = Clock::now();
        if (ntfy_publish(&ca, TOPIC, MESSAGE, TITLE, 3, "", id, err, sizeof err) != 0)
            return fail(err);
        publish_ca.push_back(ms_since(start));
        return true;
    }
    static bool fail(const char *err) {
        fprintf(stderr, "mcp_publish: in-process publish failed: %s\n", err);
        return false;
    }
};

} // namespace

int main(int argc, char **argv) {
    if (argc < 7) {
        fprintf(stderr, "usage: %s EXE HTTP_URL HTTPS_URL CERT_FILE PIN WORK_DIR [ROUNDS]\n",
                argv[0]);
        return 2;
    }
    const std::string exe = argv[1], http_url = argv[2], https_url = argv[3], cert = argv[4],
                      pin = argv[5], work = argv[6];
    int rounds = argc > 7 ? atoi(argv[7]) : 30;
    if (rounds < 1)
        rounds = 1;
    const std::string err_file = work + "/chimewick.stderr";
    const std::string ca_trust = "NTFY_CA_FILE=" + cert, pin_trust = "NTFY_TLS_PIN=" + pin;
    const std::vector<std::string> env_http = chimewick_env(work + "/http", http_url, "");
    const std::vector<std::string> env_ca = chimewick_env(work + "/ca", https_url, ca_trust);
    const std::vector<std::string> env_pin = chimewick_env(work + "/pin", https_url, pin_trust);

    session s_http, s_ca, s_pin;
    s_http.name = "http";
    s_ca.name = "https (NTFY_CA_FILE)";
    s_pin.name = "https (NTFY_TLS_PIN)";
    static in_process inproc;
    int rc = 1;
    curl_series c_http, c_https;
    std::vector<double> pings, p_http, p_ca;
    if (!inproc.load(work + "/inproc", http_url, https_url, cert) ||
        !open_session(exe, env_http, err_file, &s_http) ||
        !open_session(exe, env_ca, err_file, &s_ca) ||
        !open_session(exe, env_pin, err_file, &s_pin))
        goto done;
    // One of each first, unmeasured: the first call of a session parses the root store and
    // reads the ledger, and the server warms up its topic.
    if (session_call(&s_http) < 0 || session_call(&s_ca) < 0 || session_call(&s_pin) < 0 ||
        !c_http.run(http_url, "") || !c_https.run(https_url, cert) || !inproc.round())
        goto done;
    c_http = curl_series{};
    c_https = curl_series{};
    inproc.publish_http.clear();
    inproc.publish_ca.clear();
    inproc.note.clear();
    for (int i = 0; i < rounds; i++) {
        double ms;
        if ((ms = session_call(&s_http)) < 0)
            goto done;
        s_http.calls.push_back(ms);
        if (!c_http.run(http_url, ""))
            goto done;
        if ((ms = session_call(&s_ca)) < 0)
            goto done;
        s_ca.calls.push_back(ms);
        if (!c_https.run(https_url, cert))
            goto done;
        if ((ms = session_call(&s_pin)) < 0)
            goto done;
        s_pin.calls.push_back(ms);
        if ((ms = session_ping(&s_http)) < 0)
            goto done;
        pings.push_back(ms);
        if ((ms = process_call(exe, env_http, err_file)) < 0)
            goto done;
        p_http.push_back(ms);
        if ((ms = process_call(exe, env_ca, err_file)) < 0)
            goto done;
        p_ca.push_back(ms);
        if (!inproc.round())
            goto done;
    }
    {
        double h = median(s_http.calls), ca = median(s_ca.calls), pn = median(s_pin.calls);
        double ch = median(c_http.total), cs = median(c_https.total);
        double chw = median(c_http.wall), csw = median(c_https.wall);
        double ph = median(p_http), pc = median(p_ca);
        printf("MCP tools/call ntfy_send to loopback ntfy, %d interleaved rounds, medians in ms\n",
               rounds);
        printf(" http\n");
        row("tools/call in a running session", h);
        row("curl, same request (its time_total)", ch);
        row("curl, whole process", chw);
        row("whole --mcp process (initialize + call)", ph);
        ratio("ratio session call / curl time_total", h, ch);
        ratio("ratio session call / curl process", h, chw);
        ratio("ratio --mcp process / curl process", ph, chw);
        printf(" https, self-signed certificate\n");
        row("tools/call in a running session, NTFY_CA_FILE", ca);
        row("tools/call in a running session, NTFY_TLS_PIN", pn);
        row("curl --cacert, same request (its time_total)", cs);
        row("curl --cacert, whole process", csw);
        row("whole --mcp process (initialize + call), CA_FILE", pc);
        ratio("ratio session call (CA_FILE) / curl time_total", ca, cs);
        ratio("ratio session call (PIN) / curl time_total", pn, cs);
        ratio("ratio session call (CA_FILE) / curl process", ca, csw);
        ratio("ratio --mcp process (CA_FILE) / curl process", pc, csw);
        printf(" where a session call goes (in this process, same code)\n");
        row("ping in a running session (stdio round trip)", median(pings));
        row("ntfy_publish, http", median(inproc.publish_http));
        row("ntfy_publish, https with NTFY_CA_FILE", median(inproc.publish_ca));
        row("noting the id in sent.json", median(inproc.note));
        printf(" goal: within 1.2x of curl\n");
    }
    rc = 0;
done:
    finish_child(&s_http.proc);
    finish_child(&s_ca.proc);
    finish_child(&s_pin.proc);
    return rc;
}
