/* A stand-in for VLC under Wine, where Windows VLC is not at hand.  Started by
** a stream batch ("vlc.exe ... MOVIE ... --sout=...dst="FILE"} vlc://quit"),
** it copies MOVIE, a transport stream, to FILE a piece at a time as a
** transcoder writes, then waits to be told to quit; without --sout (the quit
** batch) it tells the running one.  The running one writes how it ended to
** quit.txt beside itself. */
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

static const char QUIT_EVENT[] = "Local\\velmora-stand-in-vlc-quit";
static const size_t PIECE = 16 * 1024;
static const DWORD PIECE_MS = 100, QUIT_WAIT_MS = 120000;

int main(int argc, char **argv)
{
    HANDLE quit = CreateEventA(nullptr, TRUE, FALSE, QUIT_EVENT);
    std::string movie, dst;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        size_t d = a.find("dst=\"");
        if (a == "-I") i++;
        else if (a.rfind("--sout=", 0) == 0 && d != std::string::npos) dst = a.substr(d + 5, a.find('"', d + 5) - d - 5);
        else if (a[0] != '-' && a.find("://") == std::string::npos) movie = a;
    }
    if (dst.empty()) return !SetEvent(quit);
    FILE *in = fopen(movie.c_str(), "rb"), *out = fopen(dst.c_str(), "wb");
    if (!in || !out) return 1;
    std::string buf(PIECE, '\0');
    for (size_t n; (n = fread(&buf[0], 1, PIECE, in)) > 0; Sleep(PIECE_MS)) fwrite(buf.data(), 1, n, out), fflush(out);
    fclose(out);
    DWORD r = WaitForSingleObject(quit, QUIT_WAIT_MS);
    char path[MAX_PATH + 16];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    strcpy(strrchr(path, '\\') + 1, "quit.txt");
    FILE *q = fopen(path, "wb");
    fputs(r == WAIT_OBJECT_0 ? "quit\n" : "not told\n", q);
    return fclose(q) != 0;
}
