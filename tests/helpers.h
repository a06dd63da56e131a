/*
** Shared test helpers: private folders, whole-file reads, a private working
** folder with the trace on, and the real program started as a child.
*/
#ifndef VELMORA_TEST_HELPERS_H
#define VELMORA_TEST_HELPERS_H

#include <string>
#include <sys/types.h>
#include <vector>

/* A new empty folder below the system's temporary folder. */
std::string temp_folder(void);

/* The whole file, or "" when it cannot be read. */
std::string read_file(const std::string &path);

/* Writes data to path, replacing it. */
void write_file(const std::string &path, const std::string &data);

/* Points Roku_Path (and My_Path) at a new folder and turns the trace on;
** returns the folder.  trace_off() closes it again. */
std::string trace_to_temp(void);
void trace_off(void);

/* The real program running as a child with its own HOME. */
struct Program {
    pid_t pid = -1;
    std::string home;        /* HOME of the child */
    std::string roku;        /* its working folder */
    std::string out_path;    /* its standard output */

    /* Starts the program with args; home is created when empty. */
    void start(const std::vector<std::string> &args, const std::string &home_dir = "");
    /* Waits until the standard output holds text; false after sec seconds. */
    bool wait_output(const std::string &text, int sec = 20);
    /* Waits until the trace holds text; false after sec seconds. */
    bool wait_trace(const std::string &text, int sec = 20);
    /* Sends sig and waits for the end; returns the exit code, 128 + signal
    ** when it was killed, -1 when it did not end within sec seconds. */
    int stop(int sig, int sec = 20);
    std::string output(void) const;
    std::string trace(void) const;
    ~Program();
};

/* Opens a TCP connection to a loopback address; -1 on failure. */
int connect_loopback(const std::string &addr, int port);

#endif
