/*
** Fuzz target for the /Roku/ tree and the pattern rules: arbitrary bytes as
** a request target for Map_Target (in a buffer the size the request handler
** gives it) and the check of what may be served, and as a pattern and a
** name for Match under every flag combination.
*/
#include "global.h"
#include "config/config.h"
#include "roku/match.h"
#include "roku/roku.h"
#include "subs/text.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_folder.h"

/* A data folder of its own, a few links and library prefixes, once. */
static void setup(void)
{
    static bool done = false;
    if (done) return;
    done = true;
    scopy(Roku_Path, sizeof Roku_Path, fuzz_folder().c_str());
    const char *titles[][2] = {{"Music", "D:/Media/Music"}, {"Recent", "/r"}, {"", "/empty"},
                               {"Long", "/aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"}};
    links.edit([&](LINK *t) {
        for (int i = 0; i < 4; i++) t[i] = LINK{strdup(titles[i][0]), strdup(titles[i][1])};
    });
    plinks[0] = strdup("E:/Lib%20One/");
    plinks[7] = strdup("%");
    plink_cnt = 8;
    scopy(recent[0], RECENT_TXT, "/m/a.mp4");
    const std::string ini = "[Velmora]\r\nName=Fuzz\r\n";
    fuzz_write(fuzz_folder() + "/Velmora.ini", ini.data(), ini.size());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    setup();

    /* The target, cut as the request handler cuts it. */
    std::vector<char> item(MAX_PATH_TXT, 0);
    size_t n = size < MAX_PATH_TXT - 1 ? size : MAX_PATH_TXT - 1;
    memcpy(item.data(), data, n);
    char out[MAX_PATH_TXT];
    std::string page;
    Map_Target(item.data(), out, size && (data[0] & 1) ? 3 : 0, &page);
    if (strnlen(out, sizeof out) >= sizeof out) __builtin_trap();
    /* What the check lets through is absolute, with no "." or ".." left. */
    if (out[0] && Confined_Path(out, sizeof out)) {
        /* Only "?info" splits a query off; any other "?" is part of a name
        ** or a search pattern. */
        std::string p = out;
        if (p.find("?info") != std::string::npos) p = p.substr(0, p.find('?'));
        if (p[0] != '/' || p.find("/./") != std::string::npos || p.find("/../") != std::string::npos ||
            (p.size() >= 3 && (p.compare(p.size() - 3, 3, "/..") == 0 || p.compare(p.size() - 2, 2, "/.") == 0)))
            __builtin_trap();
    }

    /* The first byte splits pattern and name; each in a buffer of its own. */
    if (size) {
        size_t cut = 1 + (size - 1) * data[0] / 256;
        std::vector<char> pat(data + 1, data + cut), str(data + cut, data + size);
        pat.push_back(0);
        str.push_back(0);
        for (int flags = 0; flags < 16; flags++) Match(pat.data(), str.data(), flags);
    }
    return 0;
}
