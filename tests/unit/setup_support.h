// Test support for the setup API: one CGI request run through the built executable with a
// private state folder, the exact answer bytes expected, and small JSON helpers.
#pragma once

#include "support.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>
#include <yyjson.h>

using CgiEnv = std::vector<std::pair<std::string, std::string>>;

// The whole CGI answer the API writes for a status and a body.
inline std::string cgi_answer(int status, const std::string &body) {
    return "Status: " + std::to_string(status) +
           "\r\n"
           "Content-Type: application/json; charset=utf-8\r\n"
           "Cache-Control: no-store\r\n"
           "X-Content-Type-Options: nosniff\r\n"
           "\r\n" +
           body + "\n";
}

inline std::string cgi_fail(int status, const std::string &error) {
    return cgi_answer(status, "{\"ok\":false,\"error\":\"" + error + "\"}");
}

// One request as a web server makes it. A POST carries the body with its CONTENT_LENGTH,
// unless the caller sets CONTENT_LENGTH itself in `extra`.
inline RunResult cgi(const TempStateRoot &state, const std::string &query,
                     const std::string &method = "GET", const std::string &body = "",
                     const CgiEnv &extra = {}) {
    std::filesystem::create_directories(state.state_dir());
    CgiEnv env = {{"QV_CONNECTORS_DIR", state.root()},
                  {"HOME", state.root()},
                  {"REQUEST_METHOD", method},
                  {"QUERY_STRING", query},
                  {"GATEWAY_INTERFACE", "CGI/1.1"}};
    bool own_length = false;
    for (const auto &kv : extra)
        own_length = own_length || kv.first == "CONTENT_LENGTH";
    if (!own_length && method == "POST")
        env.push_back({"CONTENT_LENGTH", std::to_string(body.size())});
    for (const auto &kv : extra)
        env.push_back(kv);
    return run_exe({}, env, body);
}

// The body of a CGI answer (after the empty line), without its final line feed.
inline std::string cgi_body(const RunResult &r) {
    size_t at = r.out.find("\r\n\r\n");
    if (at == std::string::npos)
        return "";
    std::string body = r.out.substr(at + 4);
    if (!body.empty() && body.back() == '\n')
        body.pop_back();
    return body;
}

// A text as a JSON string with its quotes (for expected answers built from plain text).
inline std::string json_str(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// 64 lower-case hexadecimal digits made from a number, as a sender identity.
inline std::string hex_identity(unsigned n) {
    char buf[65];
    for (int i = 0; i < 64; i++)
        buf[i] = "0123456789abcdef"[(n >> ((i % 8) * 4)) & 0xF];
    buf[64] = '\0';
    return buf;
}

// True when the file holds JSON that parses.
inline bool parses_as_json(const std::string &path) {
    std::string text = read_whole(path);
    yyjson_doc *doc = yyjson_read(text.data(), text.size(), 0);
    bool ok = doc != nullptr;
    yyjson_doc_free(doc);
    return ok;
}
