// The setup page: its fixed response head, the compiled-in template written out with the two
// theme blocks put in place of their mark bytes (0x01 in the head, 0x02 at the body's end), and
// the sign-in form a browser gets without the node password.
#include "setup_internal.h"

#include "base.h"

#include <cstring>

// No Status line: the web server's default 200 applies. The policy allows only the page's own
// inline script and style, data: images and requests back to this address.
const char QV_SETUP_PAGE_HEAD[] =
    "Content-Type: text/html; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "X-Frame-Options: SAMEORIGIN\r\n"
    "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; "
    "style-src 'unsafe-inline'; img-src data:; connect-src 'self'; form-action 'none'; "
    "base-uri 'none'\r\n"
    "\r\n";

enum : unsigned char {
    QV_PAGE_MARK_PICK = 0x01,
    QV_PAGE_MARK_BRIDGE = 0x02,
};

static int write_bytes(FILE *out, const char *p, size_t n) {
    return n == 0 || fwrite(p, 1, n, out) == n ? 0 : -1;
}

int qv_setup_page_render(FILE *out, const char *tmpl, const char *pick_block,
                         const char *bridge_block, char *err, size_t cap) {
    int rc = -1;
    const char *run = tmpl;
    const char *p = tmpl;
    // Plain bytes go out in runs between marks, not one call per byte.
    for (; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c != QV_PAGE_MARK_PICK && c != QV_PAGE_MARK_BRIDGE)
            continue;
        const char *block = c == QV_PAGE_MARK_PICK ? pick_block : bridge_block;
        if (write_bytes(out, run, static_cast<size_t>(p - run)) != 0 ||
            write_bytes(out, block, strlen(block)) != 0)
            goto done;
        run = p + 1;
    }
    if (write_bytes(out, run, static_cast<size_t>(p - run)) != 0 || fflush(out) != 0)
        goto done;
    rc = 0;
done:
    if (rc != 0)
        qv_errf(err, cap, "cannot write the setup page");
    return rc;
}

int setup_page_write(void) {
    char err[64] = "";
    // A reader that went away leaves nothing to answer; the request is over either way.
    if (fputs(QV_SETUP_PAGE_HEAD, stdout) < 0 ||
        qv_setup_page_render(stdout, QV_SETUP_PAGE_HTML, QV_SETUP_THEME_PICK, QV_SETUP_THEME_BRIDGE,
                             err, sizeof err) != 0)
        fprintf(stderr, "chimewick: %s\n", err[0] ? err : "cannot write the setup page");
    return 0;
}

int setup_signin_write(void) {
    // The same head as the page: the page is written into this document once signed in, so the
    // policy that holds here is the one the page needs.
    if (fputs("Status: 401\r\n", stdout) < 0 || fputs(QV_SETUP_PAGE_HEAD, stdout) < 0 ||
        fputs(QV_SETUP_SIGNIN_HTML, stdout) < 0 || fflush(stdout) != 0)
        fputs("chimewick: cannot write the sign-in page\n", stderr);
    return 0;
}
