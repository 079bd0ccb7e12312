// Framing an inbound message for the agent. The first line starts with the sender line, which
// only this program writes ("[ann via ntfy tags=x]", "[ntfy]", "[phone via ntfy device topic]");
// everything the publisher chose (title, body, tags, attachment parts) is cleaned so that no
// other line can pass for one: one-line parts lose control bytes and line breaks, bracketed
// parts lose their brackets, and a line of the sender's own text that begins like a sender
// line gets its "[" escaped. Nothing else of the text changes, so Markdown and the like stay.
#include "daemon_internal.h"

#include "base.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

enum {
    // Room for every part of the attachment line whole, with its separators.
    QV_ATTACH_LINE_CAP = QV_ATTACH_NAME_CAP + 3 * QV_ATTACH_TYPE_CAP + 3 * QV_ATTACH_URL_CAP + 64,
    QV_SENDER_LINE_CAP = 3 * (QV_EVENT_USER_CAP + QV_EVENT_TAGS_CAP) + 64,
    QV_TITLE_LINE_CAP = 2 * QV_EVENT_TITLE_CAP + 16,
    // Every line of the body may gain one escape.
    QV_BODY_WORK_CAP = 2 * QV_EVENT_MESSAGE_CAP,
};

// How a one-line part treats brackets: kept (a title), turned into parentheses (a part inside
// one of our brackets), or percent-encoded (a URL, which stays usable).
enum bracket_rule { KEEP_BRACKETS, PAREN_BRACKETS, ENCODE_BRACKETS };

// Bytes of a line break other than LF at p: NEL (U+0085), LINE and PARAGRAPH SEPARATOR
// (U+2028, U+2029), which readers of the text may break lines at; 0 for none.
static size_t unicode_break_len(const unsigned char *p) {
    if (p[0] == 0xC2 && p[1] == 0x85)
        return 2;
    if (p[0] == 0xE2 && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9))
        return 3;
    return 0;
}

// Bytes of a control character at p: C0, DEL, or C1 (U+0080..U+009F); 0 for none.
static size_t control_len(const unsigned char *p) {
    if (*p < 0x20 || *p == 0x7F)
        return 1;
    if (p[0] == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F)
        return 2;
    return 0;
}

static size_t put(char *out, size_t len, size_t cap, const char *s) {
    size_t n = strlen(s);
    if (len + n >= cap)
        return len;
    memcpy(out + len, s, n + 1);
    return len + n;
}

// Appends one part as a single line: no control bytes, no line breaks, brackets per the rule.
// Stops before a character that would not fit whole.
static size_t put_one_line(char *out, size_t len, size_t cap, const char *in, bracket_rule rule) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(in);
    while (*p) {
        size_t skip = control_len(p);
        if (!skip)
            skip = unicode_break_len(p);
        if (skip) {
            p += skip;
            continue;
        }
        char one[8];
        size_t take = 1;
        bool bracket = *p == '[' || *p == ']';
        if (bracket && rule == PAREN_BRACKETS) {
            snprintf(one, sizeof one, "%c", *p == '[' ? '(' : ')');
        } else if (bracket && rule == ENCODE_BRACKETS) {
            snprintf(one, sizeof one, "%%5%c", *p == '[' ? 'B' : 'D');
        } else {
            size_t seq = qv_utf8_lead_length(*p);
            take = strnlen(reinterpret_cast<const char *>(p), seq > 1 ? seq : 1);
            memcpy(one, p, take);
            one[take] = '\0';
        }
        size_t before = len;
        len = put(out, len, cap, one);
        if (len == before)
            break;
        p += take;
    }
    return len;
}

int frame_looks_like_sender_line(const char *line) {
    while (*line == ' ' || *line == '\t')
        line++;
    if (*line != '[')
        return 0;
    // The bracket's content up to its end or the line's: what names ntfy there claims to be us.
    for (const char *p = line + 1; *p && *p != ']' && *p != '\n'; p++)
        if (strncasecmp(p, "ntfy", 4) == 0)
            return 1;
    return 0;
}

// Copies the sender's text with control bytes other than tab and LF dropped, other line breaks
// made LF, and the "[" of each line that begins like a sender line escaped.
static void clean_body(const char *in, char *out, size_t cap) {
    char flat[QV_EVENT_MESSAGE_CAP];
    size_t n = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(in);
         *p && n + 1 < sizeof flat;) {
        size_t brk = unicode_break_len(p);
        size_t ctl = brk ? 0 : control_len(p);
        if (brk)
            flat[n++] = '\n';
        else if (!ctl || *p == '\t' || *p == '\n')
            flat[n++] = static_cast<char>(*p);
        p += brk ? brk : ctl ? ctl : 1;
    }
    flat[n] = '\0';
    size_t len = 0;
    out[0] = '\0';
    for (const char *line = flat; *line && len + 1 < cap;) {
        const char *end = strchr(line, '\n');
        size_t line_len = end ? static_cast<size_t>(end - line) + 1 : strlen(line);
        if (frame_looks_like_sender_line(line)) {
            size_t lead = strspn(line, " \t");
            if (len + lead + 1 < cap) {
                memcpy(out + len, line, lead);
                len += lead;
                out[len++] = '\\';
                line += lead;
                line_len -= lead;
            }
        }
        size_t room = cap - 1 - len;
        size_t take = line_len < room ? line_len : qv_utf8_cut(line, line_len, room);
        memcpy(out + len, line, take);
        len += take;
        out[len] = '\0';
        if (take < line_len)
            break;
        line += line_len;
    }
}

// "[who via ntfy tags=...]" from what the event claims, "[label via ntfy device topic]" for a
// message on a device's own topic, or "[ntfy]" when nothing is claimed.
static void sender_line(const qv_stream_event *ev, const char *device_label, char *out,
                        size_t cap) {
    out[0] = '\0';
    size_t len = put(out, 0, cap, "[");
    if (device_label && device_label[0]) {
        len = put_one_line(out, len, cap, device_label, PAREN_BRACKETS);
        put(out, len, cap, " via ntfy device topic]");
        return;
    }
    if (!ev->user[0] && !ev->tags[0]) {
        put(out, len, cap, "ntfy]");
        return;
    }
    len = put_one_line(out, len, cap, ev->user[0] ? ev->user : "anonymous", PAREN_BRACKETS);
    len = put(out, len, cap, " via ntfy");
    if (ev->tags[0]) {
        len = put(out, len, cap, " tags=");
        len = put_one_line(out, len, cap, ev->tags, PAREN_BRACKETS);
    }
    put(out, len, cap, "]");
}

// An update of an earlier message comes as a message of its own whose sequence_id is the
// earlier one's; the agent is told it replaces something it already has.
static bool is_edit(const qv_stream_event *ev) {
    return ev->sequence_id[0] && strcmp(ev->sequence_id, ev->id) != 0;
}

// Adds one part of the attachment line, made one line with its brackets out of the way.
static size_t add_attachment_part(char *out, size_t len, size_t cap, const char *part,
                                  bracket_rule rule) {
    if (!part[0] || len + 1 >= cap)
        return len;
    if (out[len - 1] != ' ')
        len = put(out, len, cap, ", ");
    return put_one_line(out, len, cap, part, rule);
}

// "\n[attachment: name, type, N bytes, url]" with the parts the event has, or "" for none.
static void attachment_line(const qv_event_attachment *att, char *out, size_t cap) {
    out[0] = '\0';
    char size[32] = "";
    if (att->size >= 0)
        snprintf(size, sizeof size, "%" PRId64 " bytes", att->size);
    if (!att->name[0] && !att->type[0] && !size[0] && !att->url[0])
        return;
    char parts[QV_ATTACH_LINE_CAP] = "\n[attachment: ";
    size_t len = strlen(parts);
    len = add_attachment_part(parts, len, sizeof parts, att->name, PAREN_BRACKETS);
    len = add_attachment_part(parts, len, sizeof parts, att->type, PAREN_BRACKETS);
    len = add_attachment_part(parts, len, sizeof parts, size, PAREN_BRACKETS);
    len = add_attachment_part(parts, len, sizeof parts, att->url, ENCODE_BRACKETS);
    put(parts, len, sizeof parts, "]");
    cp_trunc(out, cap, parts);
}

// "title: <title>" and a line feed, the title one line with a sender-like start escaped.
static void title_line(const char *title, char *out, size_t cap) {
    out[0] = '\0';
    char flat[QV_TITLE_LINE_CAP] = "";
    put_one_line(flat, 0, sizeof flat, title, KEEP_BRACKETS);
    if (!flat[0])
        return;
    snprintf(out, cap, "title: %s%s\n", frame_looks_like_sender_line(flat) ? "\\" : "", flat);
}

void frame_message(const qv_stream_event *ev, const char *device_label, char *out, size_t cap) {
    char sender[QV_SENDER_LINE_CAP];
    sender_line(ev, device_label, sender, sizeof sender);
    char title[QV_TITLE_LINE_CAP];
    title_line(ev->title, title, sizeof title);
    qv_heap<char> body(static_cast<char *>(malloc(QV_BODY_WORK_CAP)));
    if (!body) {
        cp_trunc(out, cap, sender);
        return;
    }
    clean_body(ev->message, body.get(), QV_BODY_WORK_CAP);
    char attached[QV_ATTACH_LINE_CAP];
    attachment_line(&ev->attachment, attached, sizeof attached);
    // The sender line and the attachment line are kept whole; a long message gives way.
    size_t len = cp_trunc(out, cap, sender);
    len = put(out, len, cap, " ");
    len = put(out, len, cap, is_edit(ev) ? "(edited) " : "");
    len = put(out, len, cap, title);
    size_t extra = strlen(attached);
    size_t room = len + extra < cap ? cap - extra : len + 1;
    len += cp_trunc(out + len, room - len, body.get());
    put(out, len, cap, attached);
}
