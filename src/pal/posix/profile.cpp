/*
** The profile (INI) functions of the platform layer on POSIX: Velmora.ini is
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
** any moment leaves either the old or the new file, never a mixture.
**
** The reader takes whatever bytes it finds.  A line ends at CR, LF, CR LF or
** a NUL byte; no read ever goes past the data that was read.
*/
#include "pal/pal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

/* The most of a file that is read.  A longer file is read up to here; a
** write to one fails rather than cut it. */
#define MAX_PROFILE_BYTES (64u * 1024u * 1024u)

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

/* Reads the file into *out (at most MAX_PROFILE_BYTES; *cut set when there
** was more).  Returns 1 on success; 0 with errno set when the file is
** missing, unreadable, or not a plain file (a folder or a pipe is never
** waited on). */
static int load(const char *file, std::string *out, struct stat *st, int *cut)
{
    out->clear();
    *cut = 0;
    if (!file || !*file) {
        errno = ENOENT;
        return 0;
    }
    int fd = open(file, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    int ok = 0;
    if (fstat(fd, st) != 0)
        goto done;
    if (!S_ISREG(st->st_mode)) {
        errno = S_ISDIR(st->st_mode) ? EISDIR : EINVAL;
        goto done;
    }
    if (st->st_size > 0)
        out->reserve(st->st_size < (off_t)MAX_PROFILE_BYTES ? (size_t)st->st_size
                                                             : (size_t)MAX_PROFILE_BYTES);
    for (;;) {
        char chunk[65536];
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            goto done;
        }
        if (got == 0)
            break;
        size_t room = MAX_PROFILE_BYTES - out->size();
        if ((size_t)got > room) {
            out->append(chunk, room);
            *cut = 1;
            break;
        }
        out->append(chunk, (size_t)got);
    }
    ok = 1;
done:
    int err = errno;
    close(fd);
    errno = err;
    return ok;
}

/* Reads a profile for a lookup: a missing or unreadable file reads as an
** empty one, so every lookup answers its default. */
static void load_for_read(const char *file, std::string *out)
{
    if (in_batch(file)) {
        *out = batch.data;
        return;
    }
    struct stat st;
    int cut;
    if (!load(file, out, &st, &cut))
        out->clear();
}

/* Writes all n bytes at p; 1 on success. */
static int write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t put = write(fd, p, n);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return 0;
        }
        p += put;
        n -= (size_t)put;
    }
    return 1;
}

/* Opens and locks the temporary file beside the profile.  The name is fixed
** (so a crash leaves at most one behind, which the next write reuses), and
** the lock keeps another process from writing it at the same time.  After
** the lock is granted the name must still lead to the file locked: the
** holder before may have renamed it over the profile or removed it.
** Returns the descriptor or -1. */
static int lock_temp(const std::string &tmp)
{
    for (int tries = 0; tries < 1000; tries++) {
        int fd = open(tmp.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0)
            return -1;
        while (flock(fd, LOCK_EX) != 0) {
            if (errno == EINTR)
                continue;
            /* A file system without locks: the process lock still holds. */
            if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS)
                return fd;
            int err = errno;
            close(fd);
            errno = err;
            return -1;
        }
        struct stat a, b;
        if (fstat(fd, &a) == 0 && lstat(tmp.c_str(), &b) == 0 &&
            a.st_dev == b.st_dev && a.st_ino == b.st_ino)
            return fd;
        close(fd);
    }
    errno = EAGAIN;
    return -1;
}

/* Flushes the folder holding path, so that the rename itself reaches the
** disk.  Failure is ignored: the file's own data is already safe. */
static void sync_folder(const std::string &path)
{
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".")
                    : slash == 0                 ? std::string("/")
                                                 : path.substr(0, slash);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

/* The file a write replaces: the target of a symbolic link (so the link
** stays a link), otherwise the path as given. */
static std::string write_target(const char *file)
{
    struct stat st;
    if (lstat(file, &st) == 0 && S_ISLNK(st.st_mode)) {
        char *real = realpath(file, nullptr);
        if (real) {
            std::string r(real);
            free(real);
            return r;
        }
    }
    return std::string(file);
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

/* Replaces target with the text now, atomically: written to the locked
** temporary file tmp (open as fd), flushed, renamed over target, and the
** folder flushed.  st holds the old file's status when it existed.  Closes
** fd; on failure removes tmp.  Returns 1 on success. */
static int replace_file(const std::string &target, const std::string &tmp, int fd,
                        const std::string &now, int exists, const struct stat *st);

/* Gives up a rewrite: removes the temporary file and closes it, keeping
** errno.  Returns 0. */
static int abandon(const std::string &tmp, int fd)
{
    int err = errno;
    unlink(tmp.c_str());
    close(fd);
    errno = err;
    return 0;
}

static int replace_file(const std::string &target, const std::string &tmp, int fd,
                        const std::string &now, int exists, const struct stat *st)
{
    if (ftruncate(fd, 0) != 0 || !write_all(fd, now.data(), now.size()))
        return abandon(tmp, fd);
    if (exists)
        fchmod(fd, st->st_mode & 07777);
    if (fsync(fd) != 0 || rename(tmp.c_str(), target.c_str()) != 0)
        return abandon(tmp, fd);
    sync_folder(target);
    close(fd);
    return 1;
}

/* The read-modify-write of one write, under the process lock. */
static int write_locked(span sec, const span *key, const span *value, const char *file)
{
    if (in_batch(file)) {
        std::string now;
        edit_profile(batch.data, sec, key, value, &now);
        if (now.size() > MAX_PROFILE_BYTES) {
            errno = EFBIG;
            return 0;
        }
        batch.data.swap(now);
        return 1;
    }
    std::string target = write_target(file);
    std::string tmp = target + ".tmp";
    std::string old, now;
    struct stat st;
    int cut;

    int fd = lock_temp(tmp);
    if (fd < 0)
        return 0;
    int exists = load(target.c_str(), &old, &st, &cut);
    if (!exists && errno != ENOENT)
        return abandon(tmp, fd);
    if (cut) {
        errno = EFBIG;
        return abandon(tmp, fd);
    }
    edit_profile(old, sec, key, value, &now);
    if (now == old && (exists || now.empty())) {
        /* nothing changes: the file is left alone (or not created) */
        abandon(tmp, fd);
        return 1;
    }
    return replace_file(target, tmp, fd, now, exists, &st);
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

/* The read-modify-write of a section replaced whole, under the process
** lock: one replacement of the file, as write_locked makes. */
static int section_locked(span sec, const std::string &body, const char *file)
{
    std::string now;
    if (in_batch(file)) {
        replace_section(batch.data, sec, body, &now);
        if (now.size() > MAX_PROFILE_BYTES) {
            errno = EFBIG;
            return 0;
        }
        batch.data.swap(now);
        return 1;
    }
    std::string target = write_target(file);
    std::string tmp = target + ".tmp";
    std::string old;
    struct stat st;
    int cut;
    int fd = lock_temp(tmp);
    if (fd < 0)
        return 0;
    int exists = load(target.c_str(), &old, &st, &cut);
    if ((!exists && errno != ENOENT) || cut) {
        if (cut)
            errno = EFBIG;
        return abandon(tmp, fd);
    }
    replace_section(old, sec, body, &now);
    if (now == old && (exists || now.empty())) {
        abandon(tmp, fd);
        return 1;
    }
    if (now.size() > MAX_PROFILE_BYTES) {
        errno = EFBIG;
        return abandon(tmp, fd);
    }
    return replace_file(target, tmp, fd, now, exists, &st);
}

/* WritePrivateProfileStringA: sets key = value in section, creating the
** file, the section or the key as needed.  A null key deletes the section,
** a null value the key; all three null is the cache flush, which has nothing
** to do here.  Returns 1 on success, 0 on failure (errno says why). */
int pal_write_private_profile_string(const char *section, const char *key,
                                     const char *value, const char *file)
{
    if (!section)
        return !key && !value;
    if (!file || !*file) {
        errno = ENOENT;
        return 0;
    }
    try {
        span sec = trim(section, one_line(section).n);
        span k, v;
        if (key)
            k = trim(key, one_line(key).n);
        if (value)
            v = one_line(value);
        /* The owner of a batch holds the lock already, whatever file it
        ** writes. */
        if (batch_owner())
            return write_locked(sec, key ? &k : nullptr, value ? &v : nullptr, file);
        std::lock_guard<std::mutex> guard(profile_lock);
        return write_locked(sec, key ? &k : nullptr, value ? &v : nullptr, file);
    } catch (...) {
        errno = ENOMEM;
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
        if (batch_owner())
            return section_locked(sec, body, file);
        std::lock_guard<std::mutex> guard(profile_lock);
        return section_locked(sec, body, file);
    } catch (...) {
        errno = ENOMEM;
        return 0;
    }
}

/* ------------------------------------------------------- batches */

int pal_profile_begin(const char *file)
{
    if (!file || !*file || batch_owner()) {
        errno = batch_owner() ? EBUSY : ENOENT;
        return 0;
    }
    profile_lock.lock();
    try {
        struct stat st;
        int cut;
        std::string target = write_target(file);
        batch.exists = load(target.c_str(), &batch.data, &st, &cut) != 0;
        if ((!batch.exists && errno != ENOENT) || cut) {
            if (cut)
                errno = EFBIG;
            batch.data.clear();
            profile_lock.unlock();
            return 0;
        }
        batch.file = file;
        batch.owner = pal_thread_id();
        return 1;
    } catch (...) {
        profile_lock.unlock();
        errno = ENOMEM;
        return 0;
    }
}

int pal_profile_end(const char *file)
{
    if (!in_batch(file))
        return 0;
    int ok = 0;
    try {
        std::string target = write_target(file);
        std::string tmp = target + ".tmp";
        struct stat st;
        int exists = batch.exists && stat(target.c_str(), &st) == 0;
        int fd = lock_temp(tmp);
        if (fd >= 0)
            ok = replace_file(target, tmp, fd, batch.data, exists, &st);
    } catch (...) {
        errno = ENOMEM;
    }
    batch.owner = 0;
    batch.file.clear();
    batch.data.clear();
    profile_lock.unlock();
    return ok;
}
