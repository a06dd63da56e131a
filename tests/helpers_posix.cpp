/*
** The test helpers that need POSIX: temporary folders with mkdtemp, small
** memory disks, the program as a child process, and sockets of the tests'
** own.  The Windows build of the tests leaves them out.
*/
#include "helpers.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

std::string temp_folder(void)
{
    char tmpl[] = "/tmp/velmora-test-XXXXXX";
    const char *d = mkdtemp(tmpl);
    return d ? d : "/tmp";
}

bool mount_small(const std::string &dir, const std::string &size, bool again)
{
    std::string opts = (again ? "remount,size=" : "size=") + size;
    return system(("mount -t tmpfs -o " + opts + " tmpfs '" + dir + "' 2>/dev/null").c_str()) == 0;
}

void Program::start(const std::vector<std::string> &args, const std::string &home_dir)
{
    home = home_dir.empty() ? temp_folder() : home_dir;
    roku = home + "/My Roku";
    out_path = home + "/stdout.txt";
    if (in_fd >= 0) close(in_fd);
    int in[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe";
    /* Emptied before the child runs: a wait for a line must never find the
    ** one an earlier program in the same home left. */
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open((home + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        close(in[1]);
        dup2(out, 1);
        dup2(err, 2);
        setenv("HOME", home.c_str(), 1);
        /* A refusal's pause shortened: the tests refuse many requests. */
        setenv("VELMORA_REFUSE_PAUSE_MS", "10", 1);
        /* Every count on the activity line printed: the tests wait for them. */
        setenv("VELMORA_COUNTERS_MS", "0", 1);
        if (in_child) in_child();
        std::vector<char *> argv;
        argv.push_back((char *)VELMORA_BIN);
        for (const std::string &a : args) argv.push_back((char *)a.c_str());
        argv.push_back(nullptr);
        execv(VELMORA_BIN, argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out);
    close(err);
    in_fd = in[1];
}

void Program::press(const std::string &label)
{
    std::string line = label + "\n";
    EXPECT_EQ(write(in_fd, line.data(), line.size()), (ssize_t)line.size());
}

static bool wait_for(const std::string &path, const std::string &text, int sec)
{
    return eventually([&] { return read_file(path).find(text) != std::string::npos; }, sec);
}

bool Program::wait_output(const std::string &text, int sec) { return wait_for(out_path, text, sec); }
bool Program::wait_trace(const std::string &text, int sec) { return wait_for(roku + "/trace.txt", text, sec); }

int Program::wait_port(const std::string &addr, int sec)
{
    const std::string key = "Server - " + addr + ":";
    return wait_output(key, sec) ? atoi(output().c_str() + output().find(key) + key.size()) : 0;
}
std::string Program::output(void) const { return read_file(out_path); }
std::string Program::trace(void) const { return read_file(roku + "/trace.txt"); }

int Program::stop(int sig, int sec)
{
    if (pid <= 0) return -1;
    if (sig) kill(pid, sig);
    for (int i = 0; i < sec * 20; i++) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        usleep(50000);
    }
    return -1;
}

Program::~Program()
{
    if (in_fd >= 0) close(in_fd);
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

std::string sent_by(const std::function<void(int)> &call)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return "socketpair failed";
    std::string got;
    std::thread reader([&] {
        char buf[65536];
        for (ssize_t n; (n = recv(sv[1], buf, sizeof buf, 0)) > 0;) got.append(buf, (size_t)n);
    });
    call(sv[0]);
    shutdown(sv[0], SHUT_WR);
    reader.join();
    close(sv[0]), close(sv[1]);
    return got;
}

sockaddr_in inet_address(const std::string &addr, int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
    return a;
}

int connect_loopback(const std::string &addr, int port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = inet_address(addr, port);
    if (connect(s, (sockaddr *)&a, sizeof a) == 0) return s;
    close(s);
    return -1;
}

int bound_socket(int type, const std::string &addr, int port)
{
    int s = socket(AF_INET, type | SOCK_CLOEXEC, 0), one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = inet_address(addr, port);
    if (bind(s, (sockaddr *)&a, sizeof a) == 0 && (type != SOCK_STREAM || listen(s, 8) == 0)) return s;
    close(s);
    return -1;
}
