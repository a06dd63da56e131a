/*
** Whole-file reads and atomic replacement on POSIX, for the profile engine:
** the temporary file beside the target is locked with flock against other
** processes, written, flushed to the disk and renamed over the target, and
** the folder is flushed so the rename itself is kept.
*/
#include "pal/pal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

const int pal_err_not_found = ENOENT;
const int pal_err_too_big = EFBIG;
const int pal_err_no_memory = ENOMEM;
const int pal_err_busy = EBUSY;

int pal_load_file(const char *file, std::string *out, size_t max, int *cut, unsigned *mode)
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
    struct stat st;
    if (fstat(fd, &st) != 0)
        goto done;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        goto done;
    }
    *mode = (unsigned)(st.st_mode & 07777);
    if (st.st_size > 0)
        out->reserve(st.st_size < (off_t)max ? (size_t)st.st_size : max);
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
        size_t room = max - out->size();
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

int pal_file_mode(const char *file, unsigned *mode)
{
    struct stat st;
    if (stat(file, &st) != 0) return 0;
    *mode = (unsigned)(st.st_mode & 07777);
    return 1;
}

std::string pal_replace_target(const char *file)
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

int pal_replace_lock(const char *tmp)
{
    for (int tries = 0; tries < 1000; tries++) {
        int fd = open(tmp, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, PAL_FILE_MODE);
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
        /* The holder before may have renamed the file over its target or
        ** removed it: the name must still lead to the file locked. */
        struct stat a, b;
        if (fstat(fd, &a) == 0 && lstat(tmp, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino)
            return fd;
        close(fd);
    }
    errno = EAGAIN;
    return -1;
}

void pal_replace_abandon(int h, const char *tmp)
{
    int err = errno;
    unlink(tmp);
    close(h);
    errno = err;
}

int pal_write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t put = write(fd, p, n);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return 0;
        }
        if (put == 0) {
            errno = ENOSPC;
            return 0;
        }
        p += put;
        n -= (size_t)put;
    }
    return 1;
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

int pal_replace_commit(int h, const char *tmp, const char *target, const char *data, size_t n,
                       int keep_mode, unsigned mode)
{
    if (ftruncate(h, 0) != 0 || !pal_write_all(h, data, n)) {
        pal_replace_abandon(h, tmp);
        return 0;
    }
    /* The file keeps its owner's bits; others get none (it holds the PINs),
    ** and a new file is the account's alone whatever the umask. */
    fchmod(h, keep_mode ? (mode_t)(mode & 0700) : PAL_FILE_MODE);
    if (fsync(h) != 0 || rename(tmp, target) != 0) {
        pal_replace_abandon(h, tmp);
        return 0;
    }
    sync_folder(target);
    close(h);
    return 1;
}
