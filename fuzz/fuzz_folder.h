/*
** A working folder of the fuzzing process's own, made on first use and
** removed when the run ends.  It lies on tmpfs where there is one: the
** imports save the configuration, with fsync, on every run.  And the
** whole-file write and read the targets share.
*/
#ifndef VELMORA_FUZZ_FOLDER_H
#define VELMORA_FUZZ_FOLDER_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

static std::string fuzz_folder_path;

static inline void fuzz_folder_drop(void)
{
    std::error_code ec;
    std::filesystem::remove_all(fuzz_folder_path, ec);
}

static inline const std::string &fuzz_folder(void)
{
    if (fuzz_folder_path.empty()) {
        char shm[] = "/dev/shm/velmora-fuzz-XXXXXX", tmp[] = "/tmp/velmora-fuzz-XXXXXX";
        const char *dir = mkdtemp(shm);
        if (!dir) dir = mkdtemp(tmp);
        if (!dir) abort();
        fuzz_folder_path = dir;
        atexit(fuzz_folder_drop);
    }
    return fuzz_folder_path;
}

/* Writes size bytes of data to path, replacing it; false when it cannot. */
static inline bool fuzz_write(const std::string &path, const void *data, size_t size)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool whole = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && whole;
}

/* The whole file, or "" when it cannot be read. */
static inline std::string fuzz_read(const std::string &path)
{
    std::string s;
    if (FILE *f = fopen(path.c_str(), "rb")) {
        char buf[65536];
        for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
        fclose(f);
    }
    return s;
}

#endif
