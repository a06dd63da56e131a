/*
** Shared test helpers: private folders, whole-file reads, a private working
** folder with the trace on, and the real program started as a child.
*/
#ifndef VELMORA_TEST_HELPERS_H
#define VELMORA_TEST_HELPERS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <netinet/in.h>
#include <sys/types.h>
#include <vector>

/* A new empty folder below the system's temporary folder. */
std::string temp_folder(void);

/* Mounts a memory disk of size bytes ("64k") on dir, or with again sets the
** size of the one there, keeping its files; false when it cannot. */
bool mount_small(const std::string &dir, const std::string &size, bool again = false);

/* The whole file, or "" when it cannot be read. */
std::string read_file(const std::string &path);

/* Writes data to path, replacing it. */
void write_file(const std::string &path, const std::string &data);

/* A new HOME whose "My Roku" folder holds Velmora.ini with ini. */
std::string home_with_config(const std::string &ini);

/* Polls check until it holds; false after sec seconds. */
bool eventually(const std::function<bool()> &check, int sec = 20);

/* Points Roku_Path (and My_Path) at a new folder and turns the trace on;
** returns the folder.  trace_off() closes it again. */
std::string trace_to_temp(void);
void trace_off(void);

/* A test with its own working folder and the trace on, removed after. */
class TracedFolderTest : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override { dir = trace_to_temp(); }
    void TearDown() override
    {
        trace_off();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

/* The real program running as a child with its own HOME. */
struct Program {
    pid_t pid = -1;
    std::string home;        /* HOME of the child */
    std::string roku;        /* its working folder */
    std::string out_path;    /* its standard output */
    int in_fd = -1;          /* its standard input */
    void (*in_child)(void) = nullptr;  /* runs in the child just before exec */

    /* Starts the program with args; home is created when empty. */
    void start(const std::vector<std::string> &args, const std::string &home_dir = "");
    /* Waits until the standard output holds text; false after sec seconds. */
    bool wait_output(const std::string &text, int sec = 20);
    /* Waits until the trace holds text; false after sec seconds. */
    bool wait_trace(const std::string &text, int sec = 20);
    /* Waits for the "Server - addr:port" line; its port, 0 when none came
    ** within sec seconds. */
    int wait_port(const std::string &addr, int sec = 20);
    /* Sends sig and waits for the end; returns the exit code, 128 + signal
    ** when it was killed, -1 when it did not end within sec seconds. */
    int stop(int sig, int sec = 20);
    /* Presses a button of the headless front end by its label. */
    void press(const std::string &label);
    std::string output(void) const;
    std::string trace(void) const;
    ~Program();
};

/* An info-text reader: writes the lines for in (sz bytes) to out. */
typedef int (*info_reader)(FILE *in, FILE *out, int64_t sz);

/* The whole of a stream, from its start. */
std::string stream_text(FILE *f);
/* What reader writes for the file at path, and for bytes in a temporary file
** (run twice, over a stack painted 0x00 and then 0xFF: a text that depends
** on bytes not read fails the test). */
std::string reader_path(info_reader reader, const std::string &path);
std::string reader_bytes(info_reader reader, const std::string &bytes);

/* Music library files as iTunes writes them: one key to a line, TAB
** indentation.  A key's value is given as written ("<integer>7</integer>",
** "<true/>"); int_val and str_val write the two common ones. */
typedef std::vector<std::pair<std::string, std::string>> Itunes_Keys;
std::string int_val(long n);
std::string str_val(const std::string &s);
/* A file's Location: "file://localhost" and the path, blanks as %20 and
** "&" as the reference "&#38;". */
std::string itunes_location(const std::string &path);
/* One entry of the Tracks dict. */
std::string itunes_track(int number, const Itunes_Keys &keys);
/* A song with its name, artist, album and file, and any further keys. */
std::string itunes_song(int id, const std::string &name, const std::string &artist, const std::string &album,
                        const std::string &path, const Itunes_Keys &more = {});
/* One playlist with its items. */
std::string itunes_playlist(const std::string &name, const std::vector<int> &items);
/* The whole file around the tracks and the playlists. */
std::string itunes_library(const std::string &tracks, const std::string &playlists = "");

/* What call sends on one end of a socket pair, read by a thread meanwhile. */
std::string sent_by(const std::function<void(int)> &call);

/* The IPv4 socket address addr:port. */
sockaddr_in inet_address(const std::string &addr, int port);

/* Opens a TCP connection to a loopback address; -1 on failure. */
int connect_loopback(const std::string &addr, int port);
/* A socket of type bound to addr:port (a stream one listening), with the
** address reusable; -1 when the bind fails. */
int bound_socket(int type, const std::string &addr, int port);

#endif
