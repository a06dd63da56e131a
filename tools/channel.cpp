/*
** velmora-channel: checks a running Velmora server the way the Roku channel
** talks to it, and prints the answers.
**
**   velmora-channel [-I] [-r RANGE] [-s SOURCE] HOST PORT TARGET...
**
** -I sends HEAD instead of GET; -r asks for a byte range (0-99, 500-);
** -s connects from the local address SOURCE (127.0.0.2, say).
** Targets go on the wire as given, so encode blanks as %20.
*/
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "roku_channel.h"

static int usage(void)
{
    fprintf(stderr, "usage: velmora-channel [-I] [-r RANGE] [-s SOURCE] HOST PORT TARGET...\n");
    return 2;
}

int main(int argc, char **argv)
{
    std::string method = "GET", extra, source;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        if (!strcmp(argv[i], "-I")) {
            method = "HEAD";
        } else if (!strcmp(argv[i], "-s") && i + 1 < argc) {
            source = argv[++i];
        } else if (!strcmp(argv[i], "-r") && i + 1 < argc) {
            extra = std::string("Range: bytes=") + argv[++i] + "\r\n";
        } else {
            return usage();
        }
    }
    if (argc - i < 3) return usage();
    Channel ch;
    ch.host = argv[i];
    ch.port = atoi(argv[i + 1]);
    ch.source = source;
    long r = ch.start();
    if (r < 0) {
        fprintf(stderr, "velmora-channel: no start number from %s:%d\n", ch.host.c_str(), ch.port);
        return 1;
    }
    fprintf(stderr, "start number %ld\n", r);
    int failed = 0;
    for (int t = i + 2; t < argc; t++) {
        Channel_Answer a;
        if (!ch.request(method, argv[t], a, extra)) {
            fprintf(stderr, "velmora-channel: no answer for %s\n", argv[t]);
            failed = 1;
            continue;
        }
        fwrite(a.head.data(), 1, a.head.size(), stdout);
        fwrite(a.body.data(), 1, a.body.size(), stdout);
        if (a.status != 200 && a.status != 206) failed = 1;
    }
    return failed;
}
