/*
** The web panel: a front end that draws the dialogs in the user's browser.
** A small HTTP server of its own serves one page (built into the program),
** the dialogs' state as an event stream, and takes the user's clicks and
** edits, which reach the dialog procedures through the dialog manager.
**
** Only someone holding the token gets in: every request carries it and it is
** compared in constant time; the Host header must name the panel's own
** address or, on a LAN address, this machine's own host name (so a DNS name
** rebound to it gets nothing), and a request from another origin is refused.
** The address with its token is printed at start-up and kept in a file
** readable by the account alone, so it stays the same across restarts until
** the owner renews it from the page.  Status lines and message boxes
** still go to the standard streams, as the headless front end writes them.
*/
#include "pal/pal.h"
#include "pal/common/dialog_internal.h"
#include "pal/front/panel_internal.h"

#include "pal/front/panel_page.h"   /* generated from src/pal/front/panel/ */

#include <atomic>
#include <deque>
#include <mutex>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>

#define PANEL_STACK       (256 * 1024)
#define MAX_CONNECTIONS   32            /* open at once; more are closed at once */
#define MAX_READING       8             /* of them still sending their request */
#define MAX_HEAD          8192          /* request line and headers */
#define MAX_BODY          16384
#define RECEIVE_MS        3000          /* a request not whole by then is dropped */
#define EVENT_WAIT_MS     1000          /* a keep-alive comment at least this often */
#define EVENT_COALESCE_MS 40            /* changes in a burst go out as one */
#define TOKEN_BYTES       16
#define KEPT_MODE         0600          /* the address file: the account alone reads it */
#define MAX_KEPT          4096
#define STATUS_EVERY_MS   1000          /* the status view is gathered at most this often */

struct panel_server {
    std::mutex cfg_lock;                /* guards cfg.token (renewed while serving) */
    panel_config cfg;
    std::string kept_file;              /* where the address with its token is kept, "" for nowhere */
    pal_socket listener = PAL_INVALID_SOCKET;
    std::atomic<int> connections{0};
    std::atomic<int> pages{0};          /* event streams open: someone is looking */
    /* The connections still sending their request, oldest first.  A new
    ** connection that finds MAX_READING of them ends the oldest, so idle
    ** connections can never keep out a request that carries the token.
    ** Under reading_lock; a connection leaves the list before its socket
    ** is closed, so no other connection's socket is ever ended. */
    std::mutex reading_lock;
    std::deque<pal_socket> reading;
    /* The status view's source, set once at start-up, and the view last
    ** gathered as JSON with when it was: under status_lock, so that every
    ** open page shares one gathering a second. */
    std::atomic<const pal_status_source *> source{nullptr};
    std::mutex status_lock;
    std::string status;
    uint32_t status_at = 0;
};
static panel_server server;

/* ------------------------------------------------------------- JSON */

static void json_string(std::string &out, const std::string &s)
{
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else if (c == '<') {
            out += "\\u003c";        /* never "</script>" or a tag, wherever it lands */
        } else {
            out += (char)c;
        }
    }
    out += '"';
}

static void json_key(std::string &out, const char *key)
{
    if (out.back() != '{') out += ',';
    json_string(out, key);
    out += ':';
}
static void json_int(std::string &out, const char *key, long v)
{
    json_key(out, key);
    out += std::to_string(v);
}
static void json_text(std::string &out, const char *key, const std::string &v)
{
    json_key(out, key);
    json_string(out, v);
}

static const char *kind_name(pal_control_kind k)
{
    static const char *const names[] = {"static", "picture", "button", "check", "edit", "combo", "progress", "group"};
    return (unsigned)k < sizeof names / sizeof names[0] ? names[k] : "static";
}

std::string panel_state_json(unsigned long *version)
{
    std::vector<pal_window_view> windows;
    std::vector<pal_prompt_view> prompts;
    unsigned long v = pal_dialog_snapshot(windows, prompts);
    if (version) *version = v;
    std::string out = "{";
    json_int(out, "version", (long)v);
    json_key(out, "windows");
    out += '[';
    for (size_t i = 0; i < windows.size(); i++) {
        const pal_window_view &w = windows[i];
        out += i ? ",{" : "{";
        json_int(out, "dialog", w.t->id);
        json_text(out, "caption", w.caption);
        json_int(out, "width", w.t->width);
        json_int(out, "height", w.t->height);
        json_int(out, "shown", w.shown);
        json_int(out, "tray", w.in_tray);
        json_key(out, "controls");
        out += '[';
        for (size_t k = 0; k < w.controls.size(); k++) {
            const pal_control_view &c = w.controls[k];
            out += k ? ",{" : "{";
            json_int(out, "id", c.tmpl->id);
            json_text(out, "kind", kind_name(c.tmpl->kind));
            json_text(out, "text", c.tmpl->kind == PAL_CTL_GROUP || c.tmpl->id < 0 ? c.tmpl->text : c.text);
            json_int(out, "x", c.tmpl->x);
            json_int(out, "y", c.tmpl->y);
            json_int(out, "w", c.tmpl->w);
            json_int(out, "h", c.tmpl->h);
            json_int(out, "number", (c.tmpl->style & PAL_ES_NUMBER) != 0);
            json_int(out, "password", (c.tmpl->style & PAL_ES_PASSWORD) != 0);
            json_int(out, "limit", c.tmpl->limit);
            json_int(out, "check", c.check);
            json_int(out, "selected", c.selected);
            json_int(out, "lo", c.lo);
            json_int(out, "hi", c.hi);
            json_int(out, "pos", c.pos);
            json_key(out, "items");
            out += '[';
            for (size_t n = 0; n < c.items.size(); n++) {
                if (n) out += ',';
                json_string(out, c.items[n]);
            }
            out += "]}";
        }
        out += "]}";
    }
    out += ']';
    json_key(out, "prompts");
    out += '[';
    for (size_t i = 0; i < prompts.size(); i++) {
        out += i ? ",{" : "{";
        json_int(out, "seq", prompts[i].seq);
        json_text(out, "kind", prompts[i].kind == PAL_PROMPT_BOX ? "box" : "pick");
        json_text(out, "text", prompts[i].text);
        json_text(out, "caption", prompts[i].caption);
        json_int(out, "files", prompts[i].files);
        out += '}';
    }
    out += "]}";
    return out;
}

static void json_texts(std::string &out, const char *key, const std::vector<std::string> &list)
{
    json_key(out, key);
    out += '[';
    for (size_t i = 0; i < list.size(); i++) {
        if (i) out += ',';
        json_string(out, list[i]);
    }
    out += ']';
}

/* A list of objects under key, each written by one(out, entry). */
template <class T, class F> static void json_objects(std::string &out, const char *key, const std::vector<T> &list, F one)
{
    json_key(out, key);
    out += '[';
    for (size_t i = 0; i < list.size(); i++) {
        out += i ? ",{" : "{";
        one(out, list[i]);
        out += '}';
    }
    out += ']';
}

static std::string status_json(const pal_status_view &v)
{
    std::string out = "{";
    json_int(out, "running", v.running);
    json_objects(out, "players", v.players, [](std::string &o, const pal_status_player &p) {
        json_text(o, "address", p.address);
        json_text(o, "name", p.name);
        json_int(o, "seen", p.seen);
    });
    json_texts(out, "devices", v.devices);
    json_objects(out, "streams", v.streams, [](std::string &o, const pal_status_stream &t) {
        json_int(o, "number", t.number);
        json_text(o, "movie", t.movie);
        json_int(o, "segments", t.segments);
        json_int(o, "vlc", t.vlc);
    });
    json_texts(out, "requests", v.requests);
    json_texts(out, "trace", v.trace);
    json_objects(out, "folders", v.folders, [](std::string &o, const pal_status_folder &f) {
        json_text(o, "title", f.title);
        json_text(o, "path", f.path);
        json_int(o, "files", f.files);
        json_int(o, "more", f.more);
        json_int(o, "reachable", f.reachable);
    });
    json_texts(out, "prompts", v.prompts);
    json_int(out, "connectDialog", v.connect_dialog);
    json_int(out, "connectControl", v.connect_control);
    out += '}';
    return out;
}

std::string panel_status_json(void)
{
    const pal_status_source *src = server.source.load();
    if (!src) return "";
    std::lock_guard<std::mutex> g(server.status_lock);
    uint32_t now = pal_ticks();
    if (server.status.empty() || now - server.status_at >= STATUS_EVERY_MS) {
        pal_status_view v;
        src->gather(v);
        server.status = status_json(v);
        server.status_at = now;
    }
    return server.status;
}

void pal_panel_status_source(const pal_status_source *src)
{
    std::lock_guard<std::mutex> g(server.status_lock);
    server.source = src;
    server.status.clear();
}

/* Appends code point u as UTF-8. */
static void put_utf8(std::string &out, unsigned u)
{
    if (u < 0x80) {
        out += (char)u;
    } else if (u < 0x800) {
        out += (char)(0xC0 | (u >> 6));
        out += (char)(0x80 | (u & 0x3F));
    } else if (u < 0x10000) {
        out += (char)(0xE0 | (u >> 12));
        out += (char)(0x80 | ((u >> 6) & 0x3F));
        out += (char)(0x80 | (u & 0x3F));
    } else {
        out += (char)(0xF0 | (u >> 18));
        out += (char)(0x80 | ((u >> 12) & 0x3F));
        out += (char)(0x80 | ((u >> 6) & 0x3F));
        out += (char)(0x80 | (u & 0x3F));
    }
}

struct json_reader {
    const std::string &s;
    size_t i;
    void blanks()
    {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n')) i++;
    }
    bool hex4(unsigned &u)
    {
        if (i + 4 > s.size()) return false;
        u = 0;
        for (int k = 0; k < 4; k++) {
            char c = s[i++];
            int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (d < 0) return false;
            u = u * 16 + (unsigned)d;
        }
        return true;
    }
    bool string(std::string &out)
    {
        if (i >= s.size() || s[i] != '"') return false;
        i++;
        while (i < s.size()) {
            unsigned char c = (unsigned char)s[i++];
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') {
                out += (char)c;
                continue;
            }
            if (i >= s.size()) return false;
            char e = s[i++];
            unsigned u;
            switch (e) {
            case '"': case '\\': case '/': out += e; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u':
                if (!hex4(u)) return false;
                if (u >= 0xD800 && u < 0xDC00) {
                    unsigned lo;
                    if (i + 2 > s.size() || s[i] != '\\' || s[i + 1] != 'u') return false;
                    i += 2;
                    if (!hex4(lo) || lo < 0xDC00 || lo > 0xDFFF) return false;
                    u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
                } else if (u >= 0xDC00 && u < 0xE000) {
                    return false;
                }
                put_utf8(out, u);
                break;
            default: return false;
            }
        }
        return false;
    }
    bool scalar(std::string &out)
    {
        if (i < s.size() && s[i] == '"') return string(out);
        for (const char *word : {"true", "false", "null"}) {
            size_t n = strlen(word);
            if (s.compare(i, n, word) == 0) {
                out = word[0] == 't' ? "1" : word[0] == 'f' ? "0" : "";
                i += n;
                return true;
            }
        }
        size_t start = i;
        if (i < s.size() && s[i] == '-') i++;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') i++;
        if (i == start || (s[start] == '-' && i == start + 1) || i - start > 12) return false;
        out = s.substr(start, i - start);
        return true;
    }
};

bool panel_parse_json(const std::string &text, std::map<std::string, std::string> &out)
{
    json_reader r{text, 0};
    r.blanks();
    if (r.i >= text.size() || text[r.i++] != '{') return false;
    r.blanks();
    if (r.i < text.size() && text[r.i] == '}') {
        r.i++;
    } else {
        for (;;) {
            std::string key, value;
            r.blanks();
            if (!r.string(key)) return false;
            r.blanks();
            if (r.i >= text.size() || text[r.i++] != ':') return false;
            r.blanks();
            if (!r.scalar(value)) return false;
            out[key] = value;
            r.blanks();
            if (r.i >= text.size()) return false;
            char c = text[r.i++];
            if (c == '}') break;
            if (c != ',') return false;
        }
    }
    r.blanks();
    return r.i == text.size();
}

/* ------------------------------------------------------------- HTTP */

static const char *status_text(int code)
{
    switch (code) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 409: return "Conflict";
    case 413: return "Payload Too Large";
    }
    return "Error";
}

/* A whole answer: headers that keep the page and its data to this origin,
** out of caches and out of frames, and no referrer to carry the token. */
static void answer(std::string &out, int code, const char *type, const std::string &body)
{
    out = "HTTP/1.1 " + std::to_string(code) + " " + status_text(code) + "\r\n";
    out += "Content-Type: ";
    out += type;
    out += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    out += "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n"
           "Referrer-Policy: no-referrer\r\n"
           "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; "
           "style-src 'unsafe-inline'; connect-src 'self'; img-src 'self' data:; frame-ancestors 'none'\r\n"
           "Connection: close\r\n\r\n";
    out += body;
}

static void error(std::string &out, int code, const char *why)
{
    std::string body = "{";
    json_text(body, "error", why);
    body += '}';
    answer(out, code, "application/json", body);
}

/* What a browser shows without a valid token (an old bookmark, an address
** typed by hand): where to find the current address. */
static const char no_token_page[] =
    "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
    "<title>Velmora panel</title></head><body>\n"
    "<h1>This address needs the panel's token</h1>\n"
    "<p>The link is missing its token, or the token was renewed. To get the current address, run\n"
    "<pre>sudo -u velmora velmora --panel-address</pre>\n"
    "on the machine Velmora runs on (or <code>velmora --panel-address</code> as the account that runs it),\n"
    "and open the address it prints.</p>\n</body></html>\n";

/* Equal texts, in a time that does not depend on where they differ. */
static bool same_secret(const std::string &a, const std::string &b)
{
    unsigned char diff = a.size() != b.size();
    for (size_t i = 0; i < b.size(); i++) diff |= (unsigned char)((i < a.size() ? a[i] : 0) ^ b[i]);
    return diff == 0;
}

static int hex_value(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

/* The value of name in a query string, percent-decoded ("" when absent). */
static std::string query_value(const std::string &query, const char *name)
{
    size_t n = strlen(name);
    for (size_t at = 0; at <= query.size();) {
        size_t end = query.find('&', at);
        if (end == std::string::npos) end = query.size();
        if (end - at > n && query.compare(at, n, name) == 0 && query[at + n] == '=') {
            std::string v;
            for (size_t i = at + n + 1; i < end; i++) {
                if (query[i] == '%' && i + 2 < end && hex_value(query[i + 1]) >= 0 && hex_value(query[i + 2]) >= 0) {
                    v += (char)(hex_value(query[i + 1]) * 16 + hex_value(query[i + 2]));
                    i += 2;
                } else {
                    v += query[i] == '+' ? ' ' : query[i];
                }
            }
            return v;
        }
        at = end + 1;
    }
    return "";
}

static bool same_nocase(const std::string &a, const char *b)
{
    size_t n = strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; i++)
        if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i])) return false;
    return true;
}

/* True when host (a Host header) names the panel itself: its address, or
** "localhost" when it listens on loopback, or any address literal when it
** listens on all; always with its port.  A name that merely resolves here is
** refused, which is what keeps a rebinding DNS name out. */
static bool own_host(const panel_config &cfg, const std::string &host)
{
    std::string port = ":" + std::to_string(cfg.port);
    if (host.size() <= port.size() || host.compare(host.size() - port.size(), port.size(), port) != 0) return false;
    std::string name = host.substr(0, host.size() - port.size());
    if (name == cfg.address) return true;
    bool loopback = cfg.address.compare(0, 4, "127.") == 0;
    if (loopback && same_nocase(name, "localhost")) return true;
    if (!loopback)
        for (const std::string &own : cfg.names)
            if (same_nocase(name, own.c_str())) return true;
    if (cfg.address != "0.0.0.0") return false;
    int dots = 0;
    for (char c : name) {
        if (c == '.') dots++;
        else if (c < '0' || c > '9') return false;
    }
    return dots == 3;
}

static pal_input input_kind(const std::string &name, bool &ok)
{
    static const struct { const char *name; pal_input what; } kinds[] = {
        {"click", PAL_IN_CLICK}, {"text", PAL_IN_TEXT}, {"select", PAL_IN_SELECT}, {"blur", PAL_IN_BLUR},
        {"minimize", PAL_IN_MINIMIZE}, {"restore", PAL_IN_RESTORE}, {"close", PAL_IN_CLOSE},
    };
    ok = true;
    for (const auto &k : kinds)
        if (name == k.name) return k.what;
    ok = false;
    return PAL_IN_CLICK;
}

/* A whole decimal number of at most 9 digits (with an optional minus). */
static bool small_number(const std::string &s, int &v)
{
    size_t i = s.size() && s[0] == '-';
    if (s.size() == i || s.size() - i > 9) return false;
    for (size_t k = i; k < s.size(); k++)
        if (s[k] < '0' || s[k] > '9') return false;
    v = atoi(s.c_str());
    return true;
}

static void take_input(const std::string &body, std::string &out)
{
    std::map<std::string, std::string> f;
    int dialog, control = 0;
    bool known;
    if (!panel_parse_json(body, f)) return error(out, 400, "the body is not a flat JSON object");
    pal_input what = input_kind(f["input"], known);
    if (!known) return error(out, 400, "unknown input");
    if (!small_number(f["dialog"], dialog)) return error(out, 400, "dialog must be a number");
    if (f.count("control") && !small_number(f["control"], control)) return error(out, 400, "control must be a number");
    switch (pal_user_input(dialog, control, what, f["value"].c_str())) {
    case 0: break;
    case PAL_IN_NO_WINDOW: return error(out, 404, "no such dialog is open");
    case PAL_IN_NO_CONTROL: return error(out, 404, "the dialog has no such control");
    case PAL_IN_BAD_INPUT: return error(out, 400, "the control takes no such input");
    case PAL_IN_BAD_VALUE: return error(out, 400, "the control refuses this value");
    case PAL_IN_BUSY: return error(out, 409, "a message box or picker waits for its answer");
    default: return error(out, 400, "refused");
    }
    answer(out, 200, "application/json", "{\"ok\":1}");
}

static void take_answer(const std::string &body, std::string &out)
{
    std::map<std::string, std::string> f;
    int seq, button = 1;
    if (!panel_parse_json(body, f)) return error(out, 400, "the body is not a flat JSON object");
    if (!small_number(f["prompt"], seq)) return error(out, 400, "prompt must be a number");
    if (f.count("button") && !small_number(f["button"], button)) return error(out, 400, "button must be a number");
    if (pal_prompt_answer(seq, button, f["path"].c_str()) != 0) return error(out, 404, "no such prompt waits");
    answer(out, 200, "application/json", "{\"ok\":1}");
}

struct listing {
    std::string json;
    bool files;
    int count;
};

static void list_entry(void *ctx, const char *name, int is_folder)
{
    listing *l = (listing *)ctx;
    if (!is_folder && !l->files) return;
    l->json += l->count++ ? ",{" : "{";
    json_text(l->json, "name", name);
    json_int(l->json, "folder", is_folder);
    l->json += '}';
}

/* The folders (and files, when the picker takes them) of path, for the
** picker that waits; nothing is listed while no picker is open. */
static void list_folder(const std::string &query, std::string &out)
{
    std::vector<pal_window_view> windows;
    std::vector<pal_prompt_view> prompts;
    pal_dialog_snapshot(windows, prompts);
    const pal_prompt_view *pick = nullptr;
    for (const pal_prompt_view &p : prompts)
        if (p.kind == PAL_PROMPT_PICK) pick = &p;
    if (!pick) return error(out, 409, "no picker is open");
    std::string path = query_value(query, "path");
    if (path.empty()) {
        char home[2048];
        path = pal_getenv("HOME", home, sizeof home) ? home : "/";
    }
    listing l{"", pick->files != 0, 0};
    l.json = "{";
    json_text(l.json, "path", path);
    json_key(l.json, "entries");
    l.json += '[';
    if (!pal_list_folder(path.c_str(), list_entry, &l)) return error(out, 404, "the folder cannot be listed");
    l.json += "]}";
    answer(out, 200, "application/json", l.json);
}

/* The status view's actions: Launch on one player, Stop of one stream. */
static void take_action(const std::string &path, const std::string &body, std::string &out)
{
    std::map<std::string, std::string> v;
    const pal_status_source *src = server.source.load();
    if (!panel_parse_json(body, v)) return error(out, 400, "the body is not a flat JSON object");
    if (!src) return error(out, 409, "the status view is off");
    int n = 0;
    bool done = path == "/launch" ? src->launch(v["player"].c_str()) != 0
                                  : small_number(v["stream"], n) && src->stop(n) != 0;
    if (!done) return error(out, 409, path == "/launch" ? "no such player" : "no such stream");
    answer(out, 200, "application/json", "{}");
}

/* The value of header name (without regard to case), trimmed; "" when absent. */
static std::string header(const std::string &head, const char *name)
{
    size_t n = strlen(name);
    for (size_t at = head.find('\n'); at != std::string::npos; at = head.find('\n', at + 1)) {
        size_t line = at + 1;
        if (head.size() - line > n && head[line + n] == ':' && same_nocase(head.substr(line, n), name)) {
            size_t v = line + n + 1, end = head.find('\n', v);
            if (end == std::string::npos) end = head.size();
            while (v < end && head[v] == ' ') v++;
            while (end > v && (head[end - 1] == '\r' || head[end - 1] == ' ')) end--;
            return head.substr(v, end - v);
        }
    }
    return "";
}

panel_next panel_handle(const panel_config &cfg, const std::string &request, std::string &out)
{
    size_t head_end = request.find("\r\n\r\n");
    if (head_end == std::string::npos) return error(out, 400, "incomplete request"), PANEL_CLOSE;
    std::string head = request.substr(0, head_end + 2), body = request.substr(head_end + 4);
    size_t sp1 = head.find(' '), sp2 = sp1 == std::string::npos ? sp1 : head.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || sp2 > head.find('\r')) return error(out, 400, "bad request line"), PANEL_CLOSE;
    std::string method = head.substr(0, sp1), target = head.substr(sp1 + 1, sp2 - sp1 - 1);
    size_t q = target.find('?');
    std::string path = target.substr(0, q), query = q == std::string::npos ? "" : target.substr(q + 1);

    std::string host = header(head, "Host");
    if (!own_host(cfg, host)) return error(out, 403, "the Host header does not name this panel"), PANEL_CLOSE;
    std::string origin = header(head, "Origin");
    if (!origin.empty() && origin != "http://" + host) return error(out, 403, "requests from other origins are refused"), PANEL_CLOSE;
    if (header(head, "Sec-Fetch-Site") == "cross-site") return error(out, 403, "requests from other sites are refused"), PANEL_CLOSE;
    if (!same_secret(query_value(query, "token"), cfg.token)) {
        answer(out, 403, "text/html; charset=utf-8", no_token_page);
        return PANEL_CLOSE;
    }

    bool get = method == "GET", post = method == "POST";
    if (path == "/") {
        if (!get) return error(out, 405, "use GET"), PANEL_CLOSE;
        answer(out, 200, "text/html; charset=utf-8", panel_page);
        return PANEL_CLOSE;
    }
    if (path == "/state" && get) {
        answer(out, 200, "application/json", panel_state_json(nullptr));
        return PANEL_CLOSE;
    }
    if (path == "/events" && get) return PANEL_EVENTS;
    if (path == "/folder" && get) return list_folder(query, out), PANEL_CLOSE;
    if ((path == "/input" || path == "/answer" || path == "/renew" || path == "/launch" || path == "/stop") && post) {
        /* A form post from elsewhere cannot send this type without asking
        ** first, and the panel never says yes. */
        if (header(head, "Content-Type").compare(0, 16, "application/json") != 0)
            return error(out, 400, "the body must be application/json"), PANEL_CLOSE;
        if (path == "/renew") return PANEL_RENEW;
        if (path == "/input") take_input(body, out);
        else if (path == "/answer") take_answer(body, out);
        else take_action(path, body, out);
        return PANEL_CLOSE;
    }
    if (path == "/state" || path == "/events" || path == "/folder" || path == "/input" || path == "/answer" ||
        path == "/renew" || path == "/launch" || path == "/stop")
        return error(out, 405, "wrong method"), PANEL_CLOSE;
    return error(out, 404, "no such page"), PANEL_CLOSE;
}

/* ------------------------------------------------------------- sockets */

static bool send_all(pal_socket s, const std::string &data)
{
    size_t at = 0;
    while (at < data.size()) {
        int n = pal_send(s, data.data() + at, (int)(data.size() - at));
        if (n <= 0) return false;
        at += (size_t)n;
    }
    return true;
}

/* Reads one request: the head, then the body its Content-Length gives.
** Returns 0, or the HTTP error to answer (0 with an empty request when the
** peer went away). */
static int read_request(pal_socket s, std::string &req)
{
    char buf[4096];
    size_t head_end;
    /* The whole request within the time-out, not each piece of it: a peer
    ** that trickles bytes holds no connection for long. */
    uint32_t start = pal_ticks();
    while ((head_end = req.find("\r\n\r\n")) == std::string::npos) {
        if (req.size() > MAX_HEAD) return 413;
        if (pal_ticks() - start > RECEIVE_MS) return 400;
        int n = pal_recv(s, buf, sizeof buf);
        if (n <= 0) return req.empty() ? 0 : 400;
        req.append(buf, (size_t)n);
    }
    std::string length = header(req.substr(0, head_end + 2), "Content-Length");
    int want = 0;
    if (!length.empty() && (!small_number(length, want) || want < 0)) return 400;
    if (want > MAX_BODY) return 413;
    size_t total = head_end + 4 + (size_t)want;
    while (req.size() < total) {
        if (pal_ticks() - start > RECEIVE_MS) return 400;
        int n = pal_recv(s, buf, sizeof buf);
        if (n <= 0) return 400;
        req.append(buf, (size_t)n);
    }
    req.resize(total);
    return 0;
}

/* The event stream: the whole state whenever it changes, a comment line
** while nothing does (which also finds a page that has gone). */
static void stream_events(pal_socket s)
{
    server.pages++;
    bool ok = send_all(s, "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
                          "X-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n");
    unsigned long sent = ~0UL;
    std::string status_sent;
    while (ok) {
        unsigned long now = pal_dialog_wait_change(sent, EVENT_WAIT_MS);
        /* The status view goes out as its own event, when it changed. */
        std::string status = panel_status_json();
        if (status != status_sent) {
            status_sent = status;
            ok = send_all(s, "event: status\ndata: " + status + "\n\n");
        }
        if (!ok) break;
        if (now == sent) {
            ok = send_all(s, ": still here\n\n");
            continue;
        }
        pal_sleep(EVENT_COALESCE_MS);
        ok = send_all(s, "data: " + panel_state_json(&sent) + "\n\n");
    }
    /* With no page left to answer them, waiting boxes and pickers would
    ** wait forever. */
    if (--server.pages == 0) pal_prompt_answer_all();
}

static void renew_token(std::string &out);

/* Enters s in the list of connections still reading, ending the oldest
** when the list is full. */
static void reading_add(pal_socket s)
{
    std::lock_guard<std::mutex> g(server.reading_lock);
    if (server.reading.size() >= MAX_READING) {
        pal_shutdown(server.reading.front());
        server.reading.pop_front();
    }
    server.reading.push_back(s);
}

/* Takes s out of the list (it may have been ended and taken out already). */
static void reading_done(pal_socket s)
{
    std::lock_guard<std::mutex> g(server.reading_lock);
    auto at = std::find(server.reading.begin(), server.reading.end(), s);
    if (at != server.reading.end()) server.reading.erase(at);
}

static int serve_connection(int sock)
{
    pal_socket s = sock;
    int ms = RECEIVE_MS;
    pal_setsockopt(s, PAL_SOL_SOCKET, PAL_SO_RCVTIMEO, &ms, sizeof ms);
    std::string req, out;
    int bad = read_request(s, req);
    reading_done(s);
    if (bad) {
        error(out, bad, bad == 413 ? "the request is too large" : "malformed request");
        send_all(s, out);
    } else if (!req.empty()) {
        panel_config cfg;
        {
            std::lock_guard<std::mutex> g(server.cfg_lock);
            cfg = server.cfg;
        }
        panel_next next = panel_handle(cfg, req, out);
        if (next == PANEL_EVENTS) stream_events(s);
        else if (next == PANEL_RENEW) renew_token(out), send_all(s, out);
        else send_all(s, out);
    }
    pal_shutdown(s);
    pal_closesocket(s);
    server.connections--;
    return 0;
}

static int accept_loop(int)
{
    for (;;) {
        pal_socket c = pal_accept(server.listener, nullptr, nullptr);
        if (c == PAL_INVALID_SOCKET) {
            pal_sleep(10);
            continue;
        }
        if (server.connections.load() >= MAX_CONNECTIONS) {
            pal_closesocket(c);
            continue;
        }
        server.connections++;
        reading_add(c);
        pal_thread t = pal_thread_create(PANEL_STACK, serve_connection, c, nullptr);
        if (t) {
            pal_thread_close(t);
        } else {
            reading_done(c);
            pal_closesocket(c);
            server.connections--;
        }
    }
    return 0;
}

/* ------------------------------------------------------------- front end */

static const pal_front_end *headless(void) { return pal_headless_front_end(); }

static void opened(HWND w, const pal_dialog_template *t) { headless()->dialog_opened(w, t); }
static void closed(HWND w) { headless()->dialog_closed(w); }
static void control_changed(HWND w, int id, const char *text) { headless()->control_changed(w, id, text); }
static void caption_changed(HWND w, const char *text) { headless()->caption_changed(w, text); }
static void shown(HWND w, int mode) { headless()->window_shown(w, mode); }
static void tray(HWND w, int on, const char *tip) { headless()->tray(w, on, tip); }

/* A box is written out as always; while a page is open it also waits there
** for the user's OK. */
static int message_box(const char *text, const char *caption)
{
    headless()->message_box(text, caption);
    if (server.pages.load() == 0) return 1;
    return pal_prompt_wait(PAL_PROMPT_BOX, text, caption, 0, nullptr, 0);
}

static int pick_path(const char *title, int files, char *out, int size)
{
    if (server.pages.load() == 0) return headless()->pick_path(title, files, out, size);
    return pal_prompt_wait(PAL_PROMPT_PICK, title, "", files, out, size);
}

static const pal_front_end panel_front = {opened, closed, control_changed, caption_changed,
                                          shown, tray, message_box, pick_path};

static bool parse_address(const char *text, uint32_t &addr)
{
    unsigned a, b, c, d;
    char extra;
    if (sscanf(text, "%u.%u.%u.%u%c", &a, &b, &c, &d, &extra) != 4 || a > 255 || b > 255 || c > 255 || d > 255)
        return false;
    addr = a << 24 | b << 16 | c << 8 | d;
    return true;
}


/* The address to print for a panel that listens on every address: the
** host's first. */
static std::string reachable_address(const std::string &bound)
{
    if (bound != "0.0.0.0") return bound;
    char name[256];
    pal_hostent h;
    if (pal_gethostname(name, sizeof name) != 0 || !pal_gethostbyname(name, &h) || h.h_naddr == 0)
        return "127.0.0.1";
    uint32_t a = h.h_addrs[0];
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." + std::to_string((a >> 8) & 255) +
           "." + std::to_string(a & 255);
}

/* This machine's own names, as a browser on the LAN may write them: the
** host name and, for a name without a domain, its ".local" form. */
static std::vector<std::string> own_names(void)
{
    std::vector<std::string> names;
    char name[256];
    if (pal_gethostname(name, sizeof name) != 0 || !name[0]) return names;
    names.push_back(name);
    if (!strchr(name, '.')) names.push_back(std::string(name) + ".local");
    return names;
}

static std::string new_token(void)
{
    std::random_device rd;
    static const char hex[] = "0123456789abcdef";
    std::string token;
    for (int i = 0; i < TOKEN_BYTES; i++) {
        unsigned b = rd() & 0xFF;
        token += hex[b >> 4];
        token += hex[b & 15];
    }
    return token;
}

std::string panel_kept_token(const std::string &text)
{
    size_t at = text.find("?token=");
    if (at == std::string::npos) return "";
    std::string token = text.substr(at + 7, TOKEN_BYTES * 2);
    if (token.size() != TOKEN_BYTES * 2) return "";
    for (char c : token)
        if (hex_value(c) < 0 || (c >= 'A' && c <= 'F')) return "";
    return token;
}

/* The panel's address with its token, as printed and kept. */
static std::string address_line(const panel_config &cfg)
{
    return "http://" + reachable_address(cfg.address) + ":" + std::to_string(cfg.port) + "/?token=" + cfg.token;
}

/* Writes the address with its token to the kept file, readable by the
** account alone.  A failure is said once on standard error: the panel still
** works, with a token that lasts until the next start. */
static void keep_address(const panel_config &cfg)
{
    if (server.kept_file.empty()) return;
    std::string target = pal_replace_target(server.kept_file.c_str()), tmp = target + ".tmp";
    std::string line = address_line(cfg) + "\n";
    int h = pal_replace_lock(tmp.c_str());
    if (h < 0 || !pal_replace_commit(h, tmp.c_str(), target.c_str(), line.data(), line.size(), 1, KEPT_MODE)) {
        fprintf(stderr, "Panel - the address could not be kept in %s\n", server.kept_file.c_str());
        fflush(stderr);
    }
}

/* A new token for the owner who asked: the old one stops working at once,
** and the answer carries the new address for the page to move to. */
static void renew_token(std::string &out)
{
    panel_config cfg;
    {
        std::lock_guard<std::mutex> g(server.cfg_lock);
        server.cfg.token = new_token();
        cfg = server.cfg;
    }
    keep_address(cfg);
    std::string body = "{";
    json_text(body, "token", cfg.token);
    body += '}';
    answer(out, 200, "application/json", body);
}

int pal_panel_start(const char *addr_text, int port, const char *kept_file)
{
    uint32_t addr;
    if (!addr_text || !parse_address(addr_text, addr) || port < 0 || port > 65535) return 0;
    pal_socket s = pal_socket_open(PAL_AF_INET, PAL_SOCK_STREAM, 0);
    if (s == PAL_INVALID_SOCKET) return 0;
    int on = 1;
    pal_setsockopt(s, PAL_SOL_SOCKET, PAL_SO_REUSEADDR, &on, sizeof on);
    /* A port in use (another copy, a test) falls back to a free one: the
    ** printed address says which. */
    if ((pal_bind(s, addr, port) != 0 && (port == 0 || pal_bind(s, addr, 0) != 0)) || pal_listen(s, 16) != 0 ||
        pal_getsockname(s, nullptr, &port) != 0) {
        pal_closesocket(s);
        return 0;
    }
    /* The token kept from the last run, while the file is the account's
    ** alone; otherwise a new one. */
    server.kept_file = kept_file ? kept_file : "";
    std::string kept, token;
    int cut = 0;
    unsigned mode = 0;
    if (!server.kept_file.empty() && pal_load_file(server.kept_file.c_str(), &kept, MAX_KEPT, &cut, &mode) &&
        (mode & 077) == 0)
        token = panel_kept_token(kept);
    if (token.empty()) token = new_token();
    server.cfg = {token, addr_text, port, own_names()};
    server.listener = s;
    pal_thread t = pal_thread_create(PANEL_STACK, accept_loop, 0, nullptr);
    if (!t) {
        pal_closesocket(s);
        return 0;
    }
    pal_thread_close(t);
    pal_set_front_end(&panel_front);
    keep_address(server.cfg);
    printf("Panel - %s\n", address_line(server.cfg).c_str());
    fflush(stdout);
    return 1;
}
