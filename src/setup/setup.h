// The setup interface: the CGI JSON API and the HTML setup page, and the CGI primitives the
// password gate above it reads the request with.
#pragma once

#include <cstddef>

// Serves one setup API request for the given query string; returns the exit status.
int mode_json(const char *query);
// Writes the setup page as one CGI response; returns the exit status.
int setup_page_write(void);
// Writes the small sign-in form a browser gets, with status 401, when it asks for the page
// without the node password; returns the exit status.
int setup_signin_write(void);

// --- CGI primitives (cgi.cpp) ---

// 1 when the request method is POST (in any letter case).
[[nodiscard]] int is_post_request(void);
// The first field of that name in a query string, %XX and '+' decoded, the raw value cut to
// size - 1 bytes before decoding. 1 when found, else 0 (and an empty output).
int get_query_val(const char *query, const char *name, char *out, size_t size);
// Writes one whole CGI response: status, the JSON headers, the body and a line feed.
void json_respond(int status, const char *body);
