#include "helpers.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "global.h"
#include "subs/text.h"
#include "subs/trace.h"

std::string temp_folder(void)
{
    char tmpl[] = "/tmp/velmora-test-XXXXXX";
    const char *d = mkdtemp(tmpl);
    return d ? d : "/tmp";
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}

std::string trace_to_temp(void)
{
    trace_off();
    std::string dir = temp_folder();
    scopy(Roku_Path, sizeof Roku_Path, dir.c_str());
    scopy(My_Path, sizeof My_Path, dir.c_str());
    My_Trace = 1;
    Set_Diag();
    return dir;
}

void trace_off(void)
{
    My_Trace = 0;
    Audit = 0;
    Set_Diag();
}

void Program::start(const std::vector<std::string> &args, const std::string &home_dir)
{
    home = home_dir.empty() ? temp_folder() : home_dir;
    roku = home + "/My Roku";
    out_path = home + "/stdout.txt";
    pid = fork();
    if (pid == 0) {
        int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        int err = open((home + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(err, 2);
        setenv("HOME", home.c_str(), 1);
        std::vector<char *> argv;
        argv.push_back((char *)VELMORA_BIN);
        for (const std::string &a : args) argv.push_back((char *)a.c_str());
        argv.push_back(nullptr);
        execv(VELMORA_BIN, argv.data());
        _exit(127);
    }
}

static bool wait_for(const std::string &path, const std::string &text, int sec)
{
    for (int i = 0; i < sec * 20; i++) {
        if (read_file(path).find(text) != std::string::npos) return true;
        usleep(50000);
    }
    return false;
}

bool Program::wait_output(const std::string &text, int sec) { return wait_for(out_path, text, sec); }
bool Program::wait_trace(const std::string &text, int sec) { return wait_for(roku + "/trace.txt", text, sec); }
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
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

int connect_loopback(const std::string &addr, int port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
    if (connect(s, (sockaddr *)&a, sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}
