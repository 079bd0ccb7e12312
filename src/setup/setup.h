// The setup interface: the CGI JSON API and the HTML setup page.
#pragma once

// Serves one setup API request for the given query string; returns the exit status.
int mode_json(const char *query);
// Writes the setup page as one CGI response; returns the exit status.
int setup_page_write(void);
