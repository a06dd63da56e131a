/*
** The profile (INI) functions of the platform layer: Velmora.ini is
** read and written exactly as GetPrivateProfileStringA,
** GetPrivateProfileSectionA and WritePrivateProfileStringA read and write it
** on Windows, so the same file moves between platforms and the Roku channel,
** which reads this very file, sees the same bytes.
**
** Every call reads the whole file afresh (nothing is cached), so an edit by
** hand or by another process is seen at once.  A write changes only the
** lines it must and keeps every other byte of the file, then replaces the
** file atomically: the new text goes to "<file>.tmp" beside it, is flushed
** to the disk and renamed over the original, so a crash or a power cut at
** any moment leaves either the old or the new file, never a mixture.  The
** file operations themselves (the whole-file read, the lock on the
** temporary file, the atomic replacement) are the platform's own; this file
** is the same on every platform.
**
** The reader takes whatever bytes it finds.  A line ends at CR, LF, CR LF or
** a NUL byte; no read ever goes past the data that was read.
*/
#include "pal/pal.h"

#include <cstring>

#include <atomic>
#include <mutex>
#include <string>

/* Rewrites of profile files never interleave inside the process; between
** processes the lock on the temporary file does the same. */
static std::mutex profile_lock;

/* A batch: the writes of one thread to one file, collected in memory and
** put on disk by one replacement.  The owner holds profile_lock from the
** start of the batch to its end, so other threads' writes wait for it. */
static struct {
    std::atomic<pal_tid> owner{0};
    std::string file;
    std::string data;
    bool exists = false;
} batch;

/* True when the calling thread has a batch open (and so holds the lock). */
static bool batch_owner(void)
{
    pal_tid me = pal_thread_id();
    return batch.owner.load() == me;
}

/* True when the calling thread has a batch open on file. */
static bool in_batch(const char *file)
{
    return batch_owner() && file && batch.file == file;
}

/* ------------------------------------------------------------ lines */

/* A run of bytes inside the file's data. */
struct span {
    const char *p;
    size_t n;
};

enum line_kind { LINE_BLANK, LINE_COMMENT, LINE_HEADER, LINE_ENTRY };

/* One line of the file as the parser sees it. */
struct line {
    size_t start;      /* its first byte */
    size_t end;        /* one past its last byte, before the line end */
    size_t next;       /* the first byte of the following line */
    line_kind kind;
    span name;         /* a header's section name, an entry's key */
    span value;        /* an entry's value (when has_eq) */
    bool has_eq;
};

/* Walks the lines of data[0..len). */
struct scanner {
    const char *d;
    size_t len;
    size_t pos;
};

/* Blanks trimmed around names and values (line ends are never inside a
** line, so they need no place here). */
static bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

/* A NUL ends a line like CR and LF do, so no name or value ever holds one
** and every string handed back is exactly as long as its count says. */
static bool is_break(char c)
{
    return c == '\r' || c == '\n' || c == '\0';
}

/* The bytes p[0..n) without leading and trailing blanks. */
static span trim(const char *p, size_t n)
{
    while (n > 0 && is_blank(p[0])) {
        p++;
        n--;
    }
    while (n > 0 && is_blank(p[n - 1]))
        n--;
    span s = {p, n};
    return s;
}

static span trim_str(const char *s)
{
    return trim(s, strlen(s));
}

/* Compares two runs without regard to ASCII case; 1 when equal.  Other bytes
** must match exactly (no locale takes part). */
static int same(span a, span b)
{
    if (a.n != b.n)
        return 0;
    for (size_t i = 0; i < a.n; i++) {
        unsigned char x = (unsigned char)a.p[i], y = (unsigned char)b.p[i];
        if (x >= 'A' && x <= 'Z')
            x = (unsigned char)(x + 32);
        if (y >= 'A' && y <= 'Z')
            y = (unsigned char)(y + 32);
        if (x != y)
            return 0;
    }
    return 1;
}

/* Sorts the line in p[0..n) into blank, comment, section header or entry
** and finds its name and value. */
static void classify(const char *p, size_t n, line *ln)
{
    span t = trim(p, n);
    ln->has_eq = false;
    ln->name.p = ln->value.p = t.p;
    ln->name.n = ln->value.n = 0;
    if (t.n == 0) {
        ln->kind = LINE_BLANK;
        return;
    }
    if (t.p[0] == ';') {
        ln->kind = LINE_COMMENT;
        return;
    }
    if (t.p[0] == '[') {
        /* The name runs to the last "]" on the line; text after it is
        ** ignored.  A "[" without any "]" is no header but an ordinary
        ** line of the section it stands in. */
        size_t k = t.n;
        while (k > 1 && t.p[k - 1] != ']')
            k--;
        if (k > 1) {
            ln->kind = LINE_HEADER;
            ln->name = trim(t.p + 1, k - 2);
            return;
        }
    }
    ln->kind = LINE_ENTRY;
    const char *eq = (const char *)memchr(t.p, '=', t.n);
    if (!eq) {
        ln->name = t;
        return;
    }
    size_t klen = (size_t)(eq - t.p);
    ln->has_eq = true;
    ln->name = trim(t.p, klen);
    ln->value = trim(eq + 1, t.n - klen - 1);
}

/* Starts a walk at pos; at the very start a UTF-8 byte-order mark is passed
** over (it stays in the file, but must not hide the first header). */
static void scan_at(scanner *s, const char *d, size_t len, size_t pos)
{
    s->d = d;
    s->len = len;
    s->pos = pos;
    if (pos == 0 && len >= 3 && (unsigned char)d[0] == 0xEF &&
        (unsigned char)d[1] == 0xBB && (unsigned char)d[2] == 0xBF)
        s->pos = 3;
}

/* The next line into *ln; 0 at the end of the data.  CR LF is one line end,
** a lone CR, a lone LF or a NUL each another. */
static int scan_next(scanner *s, line *ln)
{
    size_t i = s->pos, len = s->len;
    const char *d = s->d;
    if (i >= len)
        return 0;
    size_t e = i;
    while (e < len && !is_break(d[e]))
        e++;
    size_t nx = e;
    if (nx < len) {
        if (d[nx] == '\r' && nx + 1 < len && d[nx + 1] == '\n')
            nx += 2;
        else
            nx += 1;
    }
    ln->start = i;
    ln->end = e;
    ln->next = nx;
    s->pos = nx;
    classify(d + i, e - i, ln);
    return 1;
}

/* Finds the first header of the section named want; its line into *hdr.
** Returns 1 when found.  Lookups and writes both use the first occurrence
** of a section that appears twice, as Windows does. */
static int find_section(const char *d, size_t len, span want, line *hdr)
{
    scanner s;
    scan_at(&s, d, len, 0);
    while (scan_next(&s, hdr))
        if (hdr->kind == LINE_HEADER && same(hdr->name, want))
            return 1;
    return 0;
}

/* Finds the first entry with key want (and an "=") in the section whose
** header is hdr; its line into *ent.  Returns 1 when found. */
static int find_entry(const char *d, size_t len, const line *hdr, span want, line *ent)
{
    scanner s;
    scan_at(&s, d, len, hdr->next);
    while (scan_next(&s, ent)) {
        if (ent->kind == LINE_HEADER)
            return 0;
        if (ent->kind == LINE_ENTRY && ent->has_eq && same(ent->name, want))
            return 1;
    }
    return 0;
}

/* ------------------------------------------------------------- files */

/* Reads a profile for a lookup: a missing or unreadable file reads as an
** empty one, so every lookup answers its default. */
static void load_for_read(const char *file, std::string *out)
{
    if (in_batch(file)) {
        *out = batch.data;
        return;
    }
    int cut;
    unsigned mode;
    if (!pal_load_file(file, out, PAL_PROFILE_MAX_BYTES, &cut, &mode))
        out->clear();
}

/* ------------------------------------------------------- lists */

/* A list of NUL-terminated strings being built for a caller's buffer of
** `limit` characters.  It keeps at most `limit` characters: enough to fill
** the buffer and to tell that the list did not fit. */
struct list_out {
    std::string s;
    size_t limit;
};

/* Appends n characters at p to the string being built, as far as the
** limit lets them in. */
static void list_put(list_out *l, const char *p, size_t n)
{
    if (l->s.size() >= l->limit)
        return;
    size_t room = l->limit - l->s.size();
    l->s.append(p, n < room ? n : room);
}

/* Ends the string being built with its NUL. */
static void list_end_item(list_out *l)
{
    if (l->s.size() < l->limit)
        l->s.push_back('\0');
}

/* Copies the list to buf as Windows fills it: the strings and a final NUL
** when all fit, and the count without that final NUL; otherwise the first
** size - 2 characters and two NULs, and the count size - 2 (the last string
** is cut, so the caller still finds a well-formed list). */
static unsigned long list_finish(const list_out *l, char *buf, unsigned long size)
{
    size_t n = l->s.size();
    if ((unsigned long)n < size) {
        memcpy(buf, l->s.data(), n);
        buf[n] = 0;
        if (n == 0 && size >= 2)
            buf[1] = 0;
        return (unsigned long)n;
    }
    if (size < 2) {
        buf[0] = 0;
        return 0;
    }
    memcpy(buf, l->s.data(), size - 2);
    buf[size - 2] = 0;
    buf[size - 1] = 0;
    return size - 2;
}

/* Copies n characters at p to buf, cut to size - 1; returns the count. */
static unsigned long copy_out(char *buf, unsigned long size, const char *p, size_t n)
{
    if (n > size - 1)
        n = size - 1;
    memcpy(buf, p, n);
    buf[n] = 0;
    return (unsigned long)n;
}

/* The default string, without its trailing blanks (Windows strips them, and
** says so). */
static unsigned long copy_default(char *buf, unsigned long size, const char *def)
{
    if (!def)
        def = "";
    size_t n = strlen(def);
    while (n > 0 && (def[n - 1] == ' ' || def[n - 1] == '\t'))
        n--;
    return copy_out(buf, size, def, n);
}

/* ------------------------------------------------------- lookups */

/* GetPrivateProfileStringA.  A null section lists every section name, a
** null key every key of the section (each string NUL-terminated, the list
** ending in a second NUL); otherwise the key's value without blanks around
** it and without one pair of enclosing quotes (single or double), or def.
** The count excludes the terminating NUL; a value cut to fit returns
** size - 1, a list cut to fit size - 2. */
unsigned long pal_get_private_profile_string(const char *section, const char *key,
                                             const char *def, char *buf,
                                             unsigned long size, const char *file)
{
    if (!buf || size == 0)
        return 0;
    buf[0] = 0;
    try {
        std::string data;
        load_for_read(file, &data);
        const char *d = data.data();
        size_t len = data.size();
        line ln;
        scanner s;

        if (!section) {
            list_out l = {std::string(), size};
            scan_at(&s, d, len, 0);
            while (scan_next(&s, &ln))
                if (ln.kind == LINE_HEADER) {
                    list_put(&l, ln.name.p, ln.name.n);
                    list_end_item(&l);
                }
            return list_finish(&l, buf, size);
        }

        line hdr;
        int found = find_section(d, len, trim_str(section), &hdr);
        if (!key) {
            /* The keys of the section; lines without "=" hold no key.  An
            ** empty or missing section answers the default, as on Windows. */
            list_out l = {std::string(), size};
            if (found) {
                scan_at(&s, d, len, hdr.next);
                while (scan_next(&s, &ln) && ln.kind != LINE_HEADER)
                    if (ln.kind == LINE_ENTRY && ln.has_eq) {
                        list_put(&l, ln.name.p, ln.name.n);
                        list_end_item(&l);
                    }
            }
            if (l.s.empty())
                return copy_default(buf, size, def);
            return list_finish(&l, buf, size);
        }

        if (found && find_entry(d, len, &hdr, trim_str(key), &ln)) {
            span v = ln.value;
            if (v.n >= 2 && (v.p[0] == '"' || v.p[0] == '\'') && v.p[v.n - 1] == v.p[0]) {
                v.p++;
                v.n -= 2;
            }
            return copy_out(buf, size, v.p, v.n);
        }
        return copy_default(buf, size, def);
    } catch (...) {
        /* Out of memory: answer as for an empty file's missing key. */
        buf[0] = 0;
        return 0;
    }
}

/* GetPrivateProfileSectionA: the lines of the section's first occurrence as
** "key=value" (blanks around both trimmed, quotes kept; a line without "="
** as it stands), each NUL-terminated, then a final NUL.  Comments and blank
** lines are left out.  Returns the count without the final NUL, or size - 2
** when the list was cut to fit. */
unsigned long pal_get_private_profile_section(const char *section, char *buf,
                                              unsigned long size, const char *file)
{
    if (!buf || size == 0)
        return 0;
    buf[0] = 0;
    try {
        list_out l = {std::string(), size};
        std::string data;
        load_for_read(file, &data);
        const char *d = data.data();
        size_t len = data.size();
        line hdr, ln;
        if (section && find_section(d, len, trim_str(section), &hdr)) {
            scanner s;
            scan_at(&s, d, len, hdr.next);
            while (scan_next(&s, &ln) && ln.kind != LINE_HEADER) {
                if (ln.kind != LINE_ENTRY)
                    continue;
                list_put(&l, ln.name.p, ln.name.n);
                if (ln.has_eq) {
                    list_put(&l, "=", 1);
                    list_put(&l, ln.value.p, ln.value.n);
                }
                list_end_item(&l);
            }
        }
        return list_finish(&l, buf, size);
    } catch (...) {
        buf[0] = 0;
        if (size >= 2)
            buf[1] = 0;
        return 0;
    }
}

/* ------------------------------------------------------- writes */

/* The text of a name or value as written: cut at the first line end, so a
** value can never add lines of its own to the file. */
static span one_line(const char *s)
{
    size_t n = 0;
    while (s[n] && s[n] != '\r' && s[n] != '\n')
        n++;
    span r = {s, n};
    return r;
}

/* Does the data end in a line end (or is it empty)?  If not, a line added
** after it needs one first. */
static int ends_line(const std::string &d)
{
    return d.empty() || is_break(d[d.size() - 1]);
}

/* Builds in *out the file text after the write; old is the text before.
** sec and key are already trimmed; a null key deletes the section (every
** occurrence of it, so none comes back), a null value deletes the key from
** the section's first occurrence. */
static void edit_profile(const std::string &old, span sec, const span *key,
                         const span *value, std::string *out)
{
    const char *d = old.data();
    size_t len = old.size();
    scanner s;
    line ln, hdr;
    out->clear();

    if (!key) {
        /* Drop each occurrence: the header and every line up to the next
        ** header, comments and blank lines included. */
        size_t kept = 0;
        int dropping = 0;
        scan_at(&s, d, len, 0);
        while (scan_next(&s, &ln)) {
            if (ln.kind == LINE_HEADER) {
                int match = same(ln.name, sec);
                if (match && !dropping)
                    out->append(d + kept, ln.start - kept);
                else if (!match && dropping)
                    kept = ln.start;
                dropping = match;
            }
        }
        if (!dropping)
            out->append(d + kept, len - kept);
        return;
    }

    int found = find_section(d, len, sec, &hdr);
    if (!value) {
        if (!found) {
            out->assign(old);
            return;
        }
        /* Every line of the key goes, so the lookup answers the default. */
        size_t kept = 0;
        scan_at(&s, d, len, hdr.next);
        while (scan_next(&s, &ln) && ln.kind != LINE_HEADER)
            if (ln.kind == LINE_ENTRY && ln.has_eq && same(ln.name, *key)) {
                out->append(d + kept, ln.start - kept);
                kept = ln.next;
            }
        out->append(d + kept, len - kept);
        return;
    }

    if (!found) {
        /* A new section goes at the end of the file. */
        out->assign(old);
        if (!ends_line(old))
            out->append("\r\n");
        out->append("[");
        out->append(sec.p, sec.n);
        out->append("]\r\n");
        out->append(key->p, key->n);
        out->append("=");
        out->append(value->p, value->n);
        out->append("\r\n");
        return;
    }

    line ent;
    if (find_entry(d, len, &hdr, *key, &ent)) {
        /* The line is rewritten whole; the key keeps the file's spelling. */
        out->append(d, ent.start);
        out->append(ent.name.p, ent.name.n);
        out->append("=");
        out->append(value->p, value->n);
        out->append("\r\n");
        out->append(d + ent.next, len - ent.next);
        return;
    }

    /* A new key goes after the section's last line that is not a comment
    ** or blank (or after the header), so comments heading the next section
    ** stay with it. */
    line last = hdr;
    scan_at(&s, d, len, hdr.next);
    while (scan_next(&s, &ln) && ln.kind != LINE_HEADER)
        if (ln.kind == LINE_ENTRY)
            last = ln;
    out->append(d, last.next);
    if (last.next == last.end)   /* the last line of the file, without a line end */
        out->append("\r\n");
    out->append(key->p, key->n);
    out->append("=");
    out->append(value->p, value->n);
    out->append("\r\n");
    out->append(d + last.next, len - last.next);
}

/* Drops section from old and adds body (whole lines) at the end: the text
** of a section replaced whole. */
static void replace_section(const std::string &old, span sec, const std::string &body,
                            std::string *out)
{
    edit_profile(old, sec, nullptr, nullptr, out);
    if (body.empty())
        return;
    if (!ends_line(*out))
        out->append("\r\n");
    out->append(body);
}

/* One change to a profile: with body, section sec replaced whole by body;
** without, the write of key and value that edit_profile makes. */
struct change {
    span sec;
    const span *key;
    const span *value;
    const std::string *body;
};

/* The file text after change ch; old is the text before. */
static void apply_change(const std::string &old, const change *ch, std::string *out)
{
    if (ch->body)
        replace_section(old, ch->sec, *ch->body, out);
    else
        edit_profile(old, ch->sec, ch->key, ch->value, out);
}

/* The read-modify-write of one change, under the process lock: into the
** open batch, or one replacement of the file.  A text that would grow past
** what a read takes in is refused. */
static int write_locked(const change *ch, const char *file)
{
    std::string now;
    if (in_batch(file)) {
        apply_change(batch.data, ch, &now);
        if (now.size() > PAL_PROFILE_MAX_BYTES) {
            pal_set_last_error(pal_err_too_big);
            return 0;
        }
        batch.data.swap(now);
        return 1;
    }
    std::string target = pal_replace_target(file);
    std::string tmp = target + ".tmp";
    std::string old;
    unsigned mode = 0;
    int cut;
    int h = pal_replace_lock(tmp.c_str());
    if (h < 0)
        return 0;
    int exists = pal_load_file(target.c_str(), &old, PAL_PROFILE_MAX_BYTES, &cut, &mode);
    if ((!exists && pal_last_error() != pal_err_not_found) || cut) {
        if (cut)
            pal_set_last_error(pal_err_too_big);
        pal_replace_abandon(h, tmp.c_str());
        return 0;
    }
    apply_change(old, ch, &now);
    if (now == old && (exists || now.empty())) {
        /* nothing changes: the file is left alone (or not created) */
        pal_replace_abandon(h, tmp.c_str());
        return 1;
    }
    if (now.size() > PAL_PROFILE_MAX_BYTES) {
        pal_set_last_error(pal_err_too_big);
        pal_replace_abandon(h, tmp.c_str());
        return 0;
    }
    return pal_replace_commit(h, tmp.c_str(), target.c_str(), now.data(), now.size(), exists, mode);
}

/* write_locked under the process lock; the owner of a batch holds it
** already, whatever file it writes. */
static int write_change(const change *ch, const char *file)
{
    if (batch_owner())
        return write_locked(ch, file);
    std::lock_guard<std::mutex> guard(profile_lock);
    return write_locked(ch, file);
}

/* WritePrivateProfileStringA: sets key = value in section, creating the
** file, the section or the key as needed.  A null key deletes the section,
** a null value the key; all three null is the cache flush, which has nothing
** to do here.  Returns 1 on success, 0 on failure (pal_last_error says why). */
int pal_write_private_profile_string(const char *section, const char *key,
                                     const char *value, const char *file)
{
    if (!section)
        return !key && !value;
    if (!file || !*file) {
        pal_set_last_error(pal_err_not_found);
        return 0;
    }
    try {
        span sec = trim(section, one_line(section).n);
        span k, v;
        if (key)
            k = trim(key, one_line(key).n);
        if (value)
            v = one_line(value);
        change ch = {sec, key ? &k : nullptr, value ? &v : nullptr, nullptr};
        return write_change(&ch, file);
    } catch (...) {
        pal_set_last_error(pal_err_no_memory);
        return 0;
    }
}

/* WritePrivateProfileSectionA: replaces the whole of section with the
** entries of list ("key=value\0...\0\0").  The old section goes wherever it
** stood, and the new one is written at the end of the file, as a delete of
** the section followed by a write of each entry would leave it -- but in one
** pass, so a section of any size costs one rewrite.  An empty list only
** deletes the section.  Returns 1 on success, 0 on failure. */
int pal_write_private_profile_section(const char *section, const char *list,
                                      const char *file)
{
    if (!section || !file || !*file) {
        errno = ENOENT;
        return 0;
    }
    try {
        span sec = trim(section, one_line(section).n);
        std::string body;
        if (list && *list) {
            body = "[";
            body.append(sec.p, sec.n);
            body.append("]\r\n");
            for (const char *e = list; *e; e += strlen(e) + 1) {
                span ln = one_line(e);
                body.append(ln.p, ln.n);
                body.append("\r\n");
            }
        }
        change ch = {sec, nullptr, nullptr, &body};
        return write_change(&ch, file);
    } catch (...) {
        errno = ENOMEM;
        return 0;
    }
}

/* ------------------------------------------------------- batches */

int pal_profile_begin(const char *file)
{
    if (!file || !*file || batch_owner()) {
        pal_set_last_error(batch_owner() ? pal_err_busy : pal_err_not_found);
        return 0;
    }
    profile_lock.lock();
    try {
        unsigned mode;
        int cut;
        std::string target = pal_replace_target(file);
        batch.exists = pal_load_file(target.c_str(), &batch.data, PAL_PROFILE_MAX_BYTES, &cut, &mode) != 0;
        if ((!batch.exists && pal_last_error() != pal_err_not_found) || cut) {
            if (cut)
                pal_set_last_error(pal_err_too_big);
            batch.data.clear();
            profile_lock.unlock();
            return 0;
        }
        batch.file = file;
        batch.owner = pal_thread_id();
        return 1;
    } catch (...) {
        profile_lock.unlock();
        pal_set_last_error(pal_err_no_memory);
        return 0;
    }
}

int pal_profile_end(const char *file)
{
    if (!in_batch(file))
        return 0;
    int ok = 0;
    try {
        std::string target = pal_replace_target(file);
        std::string tmp = target + ".tmp";
        unsigned mode = 0;
        int exists = batch.exists && pal_file_mode(target.c_str(), &mode);
        int h = pal_replace_lock(tmp.c_str());
        if (h >= 0)
            ok = pal_replace_commit(h, tmp.c_str(), target.c_str(), batch.data.data(), batch.data.size(),
                                    exists, mode);
    } catch (...) {
        pal_set_last_error(pal_err_no_memory);
    }
    batch.owner = 0;
    batch.file.clear();
    batch.data.clear();
    profile_lock.unlock();
    return ok;
}
