/*
** Fuzz target for the profile (INI) functions: the input bytes become the
** file, which is read through every kind of lookup with buffers exactly as
** large as each call is told, then written once and read back, so that
** AddressSanitizer catches any read or write past the data or a buffer.
*/
#include "global.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_folder.h"

/* A lookup into a heap buffer of exactly size characters; the contract on
** the count and the terminators is checked. */
static void lookup(const char *sec, const char *key, unsigned long size, const char *file)
{
    std::vector<char> buf(size);
    unsigned long n = pal_get_private_profile_string(sec, key, "def  ", buf.data(), size, file);
    if (n >= size || buf[n] != 0) abort();
}

/* The list ends in two NULs wherever there is room for two: the last
** string's and the final one, or, when cut, the two after the count. */
static void section(const char *sec, unsigned long size, const char *file)
{
    std::vector<char> buf(size);
    unsigned long n = pal_get_private_profile_section(sec, buf.data(), size, file);
    if (n >= size || buf[n] != 0) abort();
    if (size >= 2 && !(n > 0 && buf[n - 1] == 0) && !(n + 1 < size && buf[n + 1] == 0)) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    /* In the process's own folder, so parallel jobs never share it. */
    static const std::string name = fuzz_folder() + "/fuzz.ini";
    const char *file = name.c_str();
    if (!fuzz_write(name, data, size)) return 0;

    /* Names that the input itself may hold, and buffer sizes around the
    ** edges of the cutting rules. */
    static const char *const secs[] = {"a", "A", "Velmora", "", " a "};
    static const char *const keys[] = {"a", "b", "", "D:/Kids"};
    static const unsigned long sizes[] = {1, 2, 3, 8, 2000};
    for (const char *s : secs) {
        for (const char *k : keys) lookup(s, k, 8, file);
        for (unsigned long n : sizes) {
            lookup(s, "a", n, file);
            lookup(s, nullptr, n, file);
            section(s, n, file);
        }
    }
    for (unsigned long n : sizes) lookup(nullptr, nullptr, n, file);

    /* One write; what it wrote must read back. */
    if (!pal_write_private_profile_string("a", "b", "fuzz value", file)) abort();
    char back[64];
    pal_get_private_profile_string("A", "B", "", back, sizeof back, file);
    if (strcmp(back, "fuzz value") != 0) abort();
    section("a", 2000, file);
    return 0;
}
