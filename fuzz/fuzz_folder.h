/*
** A working folder of the fuzzing process's own, made on first use and
** removed when the run ends.  It lies on tmpfs where there is one: the
** imports save the configuration, with fsync, on every run.
*/
#ifndef VELMORA_FUZZ_FOLDER_H
#define VELMORA_FUZZ_FOLDER_H

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

#endif
