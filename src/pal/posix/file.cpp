/*
** POSIX wide-character file calls.  The file layer hands us UTF-16 names;
** the file system takes bytes, so names are turned into UTF-8.  Bytes of a
** folder entry that are not valid UTF-8 travel as the units 0xDC80-0xDCFF
** and come back as the same bytes, so every name found can be opened again.
*/
#include "pal/pal.h"
#include "pal/posix/posix_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

/* UTF-16 units (no surrogate pairing: each unit is one character) to the
** file system's bytes. */
static std::string narrow(const uint16_t *w)
{
    std::string s;
    if (!w) return s;
    for (; *w; w++) {
        unsigned u = *w;
        if (u < 0x80) {
            s += (char)u;
        } else if (u >= 0xDC80 && u <= 0xDCFF) {
            s += (char)(u - 0xDC00);
        } else if (u < 0x800) {
            s += (char)(0xC0 | (u >> 6));
            s += (char)(0x80 | (u & 0x3F));
        } else {
            s += (char)(0xE0 | (u >> 12));
            s += (char)(0x80 | ((u >> 6) & 0x3F));
            s += (char)(0x80 | (u & 0x3F));
        }
    }
    return s;
}

/* Opens p with flags (which hold O_CREAT) for writing.  A file that was
** there with bits for others loses them. */
static int open_own(const std::string &p, int flags)
{
    int fd = open(p.c_str(), flags, PAL_FILE_MODE);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) == 0 && (st.st_mode & 077)) fchmod(fd, st.st_mode & 0700);
    return fd;
}

/* A stream over fd opened with mode; fd is closed when none can be made. */
static FILE *stream_of(int fd, const char *mode)
{
    FILE *f = fdopen(fd, mode);
    if (!f) {
        int err = errno;
        close(fd);
        errno = err;
    }
    return f;
}

FILE *pal_wfopen(const uint16_t *path, const uint16_t *mode)
{
    std::string p = narrow(path), m = narrow(mode);
    if (p.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    if (m.empty() || (m[0] != 'w' && m[0] != 'a')) return fopen(p.c_str(), m.c_str());
    /* What the server writes holds PINs, addresses and paths: its
    ** account's alone, whatever the umask, and a file written before with
    ** looser bits is closed to others too. */
    int flags = (m.find('+') != std::string::npos ? O_RDWR : O_WRONLY) | O_CREAT | O_CLOEXEC |
                (m[0] == 'w' ? O_TRUNC : O_APPEND);
    int fd = open_own(p, flags);
    return fd < 0 ? nullptr : stream_of(fd, m.c_str());
}

FILE *pal_wfopen_untouched(const uint16_t *path, int *untouched)
{
    *untouched = 0;
    std::string p = narrow(path);
    if (p.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    int fd = -1;
#ifdef O_NOATIME
    /* Allowed on the account's own files, and to root on any. */
    fd = open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NOATIME);
    if (fd >= 0) *untouched = 1;
    else if (errno != EPERM) return nullptr;
#endif
    if (fd < 0) fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    FILE *f = stream_of(fd, "rb");
    if (!f) *untouched = 0;
    return f;
}

int pal_wwrite_file(const uint16_t *path, const void *data, size_t len)
{
    std::string p = narrow(path);
    if (p.empty()) {
        errno = ENOENT;
        return -1;
    }
    /* Most files written whole are new: an exclusive create gets one with
    ** the server's bits already, without the status call an existing file
    ** needs. */
    int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, PAL_FILE_MODE);
    if (fd < 0 && errno == EEXIST) fd = open_own(p, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return -1;
    int err = pal_write_all(fd, (const char *)data, len) ? 0 : errno;
    if (close(fd) != 0 && !err) err = errno;
    if (!err) return 0;
    unlink(p.c_str());
    errno = err;
    return -1;
}

/* The fields of s that the system reads, into st. */
static void fill_stat(const struct stat &s, struct pal_stat *st)
{
    if (st) {
        st->st_size = (int64_t)s.st_size;
        st->st_mode = (S_ISDIR(s.st_mode) ? PAL_S_IFDIR : S_ISREG(s.st_mode) ? PAL_S_IFREG : 0) |
                      (unsigned)(s.st_mode & 0777);
        st->mtime = s.st_mtime;
        st->atime = s.st_atime;
        st->ctime = s.st_ctime;
        st->dev = (uint64_t)s.st_dev;
        st->ino = (uint64_t)s.st_ino;
    }
}

int pal_wstat(const uint16_t *path, struct pal_stat *st)
{
    struct stat s;
    std::string p = narrow(path);
    if (p.empty() || stat(p.c_str(), &s) != 0) return -1;
    fill_stat(s, st);
    return 0;
}

int pal_fstat(FILE *f, struct pal_stat *st)
{
    struct stat s;
    int fd = f ? fileno(f) : -1;
    if (fd < 0 || fstat(fd, &s) != 0) return -1;
    fill_stat(s, st);
    return 0;
}

int pal_wmkdir(const uint16_t *path) { return mkdir(narrow(path).c_str(), PAL_FOLDER_MODE); }
int pal_wchmod(const uint16_t *path, unsigned mode) { return chmod(narrow(path).c_str(), (mode_t)mode); }
int pal_wremove(const uint16_t *path) { return remove(narrow(path).c_str()); }
int pal_wchdir(const uint16_t *path) { return chdir(narrow(path).c_str()); }
int pal_wrename(const uint16_t *from, const uint16_t *to)
{
    return rename(narrow(from).c_str(), narrow(to).c_str());
}

struct pal_wdir {
    DIR *d;
    struct dirent *last;   /* the entry readdir gave last, valid until the next */
    pal_wdirent ent;
};

pal_wdir *pal_wopendir(const uint16_t *path)
{
    std::string p = narrow(path);
    DIR *d = opendir(p.c_str());
    if (!d) return nullptr;
    pal_wdir *w = (pal_wdir *)calloc(1, sizeof *w);
    if (!w) {
        closedir(d);
        errno = ENOMEM;
        return nullptr;
    }
    w->d = d;
    return w;
}

/* Decodes one UTF-8 character at s (n bytes left); returns its length, or 0
** when the bytes there are not a valid sequence of at most three bytes. */
static int utf8_char(const unsigned char *s, size_t n, unsigned *u)
{
    if (s[0] < 0x80) {
        *u = s[0];
        return 1;
    }
    if ((s[0] & 0xE0) == 0xC0 && n >= 2 && (s[1] & 0xC0) == 0x80) {
        *u = ((s[0] & 0x1Fu) << 6) | (s[1] & 0x3Fu);
        return *u >= 0x80 ? 2 : 0;
    }
    if ((s[0] & 0xF0) == 0xE0 && n >= 3 && (s[1] & 0xC0) == 0x80 && (s[2] & 0xC0) == 0x80) {
        *u = ((s[0] & 0x0Fu) << 12) | ((s[1] & 0x3Fu) << 6) | (s[2] & 0x3Fu);
        return *u >= 0x800 ? 3 : 0;
    }
    return 0;
}

pal_wdirent *pal_wreaddir(pal_wdir *w)
{
    if (!w) return nullptr;
    struct dirent *e = w->last = readdir(w->d);
    if (!e) return nullptr;
    w->ent.d_link = e->d_type == DT_LNK;
    w->ent.d_kind = e->d_type == DT_DIR ? PAL_DK_FOLDER
                    : e->d_type == DT_LNK || e->d_type == DT_UNKNOWN ? PAL_DK_UNKNOWN
                                                                     : PAL_DK_FILE;
    if (e->d_type == DT_UNKNOWN) {
        struct stat ls;
        w->ent.d_link = fstatat(dirfd(w->d), e->d_name, &ls, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(ls.st_mode);
    }
    const unsigned char *s = (const unsigned char *)e->d_name;
    size_t n = strlen(e->d_name);
    /* The name buffer holds 1024 units and the terminating zero. */
    size_t units = 0, i = 0;
    unsigned char *out = (unsigned char *)w->ent.d_name;
    while (i < n && units < 1023) {
        unsigned u;
        int k = utf8_char(s + i, n - i, &u);
        if (k == 0) {
            u = 0xDC00 + s[i];
            k = 1;
        }
        out[2 * units] = (unsigned char)(u & 0xFF);
        out[2 * units + 1] = (unsigned char)(u >> 8);
        units++;
        i += (size_t)k;
    }
    out[2 * units] = out[2 * units + 1] = 0;
    w->ent.d_namlen = (unsigned short)units;
    return &w->ent;
}

int pal_wstat_last(pal_wdir *w, struct pal_stat *st)
{
    struct stat s;
    if (!w || !w->last || fstatat(dirfd(w->d), w->last->d_name, &s, 0) != 0) return -1;
    fill_stat(s, st);
    return 0;
}

int pal_wclosedir(pal_wdir *w)
{
    if (!w) return -1;
    int rc = closedir(w->d);
    free(w);
    return rc;
}

int pal_fseek64(FILE *f, int64_t off, int whence)
{
    int w = whence == 0 ? SEEK_SET : whence == 1 ? SEEK_CUR : SEEK_END;
    return fseeko(f, (off_t)off, w);
}

int64_t pal_ftell64(FILE *f) { return (int64_t)ftello(f); }

int64_t pal_filelength64(FILE *f)
{
    struct stat s;
    int fd = fileno(f);
    if (fd >= 0) return fstat(fd, &s) == 0 ? (int64_t)s.st_size : -1;
    /* A memory stream: its end is where a seek to the end lands. */
    off_t at = ftello(f), len = -1;
    if (at >= 0 && fseeko(f, 0, SEEK_END) == 0) len = ftello(f);
    if (at >= 0) fseeko(f, at, SEEK_SET);
    return (int64_t)len;
}

/* The memory stream: a buffer that doubles as it fills, behind the stdio
** cookie calls.  Writes go at the position and may leave it past the end
** (the gap reads as zeros), as in a file. */
struct memory_stream {
    char *data;
    size_t len, room, pos, limit;
};

static ssize_t memory_read(void *c, char *buf, size_t n)
{
    memory_stream *m = (memory_stream *)c;
    size_t left = m->pos < m->len ? m->len - m->pos : 0;
    if (n > left) n = left;
    memcpy(buf, m->data + m->pos, n);
    m->pos += n;
    return (ssize_t)n;
}

static ssize_t memory_write(void *c, const char *buf, size_t n)
{
    memory_stream *m = (memory_stream *)c;
    if (n > m->limit || m->pos > m->limit - n) {
        errno = EFBIG;
        return -1;
    }
    size_t need = m->pos + n;
    if (need > m->room) {
        size_t room = m->room ? m->room : 4096;
        while (room < need) room = room > m->limit / 2 ? m->limit : 2 * room;
        char *d = (char *)realloc(m->data, room);
        if (!d) {
            errno = ENOMEM;
            return -1;
        }
        m->data = d;
        m->room = room;
    }
    if (m->pos > m->len) memset(m->data + m->len, 0, m->pos - m->len);
    memcpy(m->data + m->pos, buf, n);
    m->pos = need;
    if (need > m->len) m->len = need;
    return (ssize_t)n;
}

static int memory_seek(void *c, off64_t *off, int whence)
{
    memory_stream *m = (memory_stream *)c;
    off64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? (off64_t)m->pos : (off64_t)m->len;
    off64_t to = base + *off;
    if (to < 0 || (uint64_t)to > m->limit) {
        errno = EINVAL;
        return -1;
    }
    m->pos = (size_t)to;
    *off = to;
    return 0;
}

static int memory_close(void *c)
{
    memory_stream *m = (memory_stream *)c;
    free(m->data);
    free(m);
    return 0;
}

FILE *pal_memory_stream(size_t limit)
{
    memory_stream *m = (memory_stream *)calloc(1, sizeof *m);
    if (!m) return nullptr;
    m->limit = limit;
    cookie_io_functions_t io = {memory_read, memory_write, memory_seek, memory_close};
    FILE *f = fopencookie(m, "w+", io);
    if (!f) free(m);
    return f;
}

int pal_wrealpath(const uint16_t *path, char *out, size_t size)
{
    std::string p = narrow(path);
    char *real = p.empty() ? nullptr : realpath(p.c_str(), nullptr);
    if (!real) return 0;
    size_t n = strlen(real);
    int fits = n < size;
    if (fits) memcpy(out, real, n + 1);
    free(real);
    if (!fits) errno = ENAMETOOLONG;
    return fits;
}

int pal_set_file_times(const uint16_t *path, time_t atime, time_t mtime)
{
    struct timeval tv[2] = {{atime, 0}, {mtime, 0}};
    return utimes(narrow(path).c_str(), tv);
}

int pal_list_folder(const char *path, void (*each)(void *ctx, const char *name, int is_folder), void *ctx)
{
    DIR *d = opendir(path);
    if (!d) return 0;
    std::string base = path;
    if (base.empty() || base.back() != '/') base += '/';
    while (struct dirent *e = readdir(d)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
        struct stat s;
        int folder = stat((base + e->d_name).c_str(), &s) == 0 && S_ISDIR(s.st_mode);
        each(ctx, e->d_name, folder);
    }
    closedir(d);
    return 1;
}

int pal_is_separator(char c) { return c == '/'; }

size_t pal_path_root(const char *path) { return path[0] == '/' ? 1 : 0; }
