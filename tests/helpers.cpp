#include "helpers.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <random>
#include <arpa/inet.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "global.h"
#include "main.h"
#include "subs/text.h"
#include "subs/trace.h"

/* The tests run the modules without WinMain: wire them up as it does. */
[[maybe_unused]] static const int modules_connected = (Connect_Modules(), 0);

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

std::string home_with_config(const std::string &ini)
{
    std::string home = temp_folder();
    mkdir((home + "/My Roku").c_str(), 0755);
    write_file(home + "/My Roku/Velmora.ini", ini);
    return home;
}

bool eventually(const std::function<bool()> &check, int sec)
{
    for (int i = 0; i < sec * 20; i++, usleep(50000))
        if (check()) return true;
    return check();
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
    if (in_fd >= 0) close(in_fd);
    int in[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe";
    pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        close(in[1]);
        int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        int err = open((home + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
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

std::string stream_text(FILE *f)
{
    rewind(f);
    std::string text;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    return text;
}

static std::string run_reader(info_reader reader, FILE *in, int64_t sz)
{
    FILE *out = tmpfile();
    std::string text = in && out ? (reader(in, out, sz), stream_text(out)) : "(cannot open)";
    if (in) fclose(in);
    if (out) fclose(out);
    return text;
}

std::string reader_path(info_reader reader, const std::string &path)
{
    struct stat st;
    int64_t sz = stat(path.c_str(), &st) == 0 ? (int64_t)st.st_size : 0;
    return run_reader(reader, fopen(path.c_str(), "rb"), sz);
}

/* Fills the stack below the caller with v, for the reader it calls next. */
static void __attribute__((noinline)) paint_stack(unsigned char v)
{
    unsigned char junk[64 * 1024];
    memset(junk, v, sizeof junk);
    __asm__ volatile("" : : "r"(junk) : "memory");
}

std::string reader_bytes(info_reader reader, const std::string &bytes)
{
    std::string text[2];
    for (int i = 0; i < 2; i++) {
        paint_stack(i ? 0xFF : 0x00);
        FILE *in = tmpfile();
        if (in && !bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), in), rewind(in);
        text[i] = run_reader(reader, in, (int64_t)bytes.size());
    }
    EXPECT_EQ(text[0], text[1]) << "depends on bytes not read";
    return text[0];
}

std::string int_val(long n) { return "<integer>" + std::to_string(n) + "</integer>"; }
std::string str_val(const std::string &s) { return "<string>" + s + "</string>"; }

std::string itunes_location(const std::string &path)
{
    std::string s = "file://localhost";
    for (char c : path) s += c == ' ' ? "%20" : c == '&' ? "&#38;" : std::string(1, c);
    return s;
}

std::string itunes_track(int number, const Itunes_Keys &keys)
{
    std::string s = "\t\t<key>" + std::to_string(number) + "</key>\n\t\t<dict>\n";
    for (auto &[k, v] : keys) s += "\t\t\t<key>" + k + "</key>" + v + "\n";
    return s + "\t\t</dict>\n";
}

std::string itunes_song(int id, const std::string &name, const std::string &artist, const std::string &album,
                        const std::string &path, const Itunes_Keys &more)
{
    Itunes_Keys keys = {{"Track ID", int_val(id)}, {"Name", str_val(name)}, {"Artist", str_val(artist)},
                        {"Album", str_val(album)}};
    keys.insert(keys.end(), more.begin(), more.end());
    keys.push_back({"Location", str_val(itunes_location(path))});
    return itunes_track(id, keys);
}

std::string itunes_playlist(const std::string &name, const std::vector<int> &items)
{
    std::string s = "\t\t<dict>\n\t\t\t<key>Name</key>" + str_val(name) +
                    "\n\t\t\t<key>Playlist Items</key>\n\t\t\t<array>\n";
    for (int id : items)
        s += "\t\t\t\t<dict>\n\t\t\t\t\t<key>Track ID</key>" + int_val(id) + "\n\t\t\t\t</dict>\n";
    return s + "\t\t\t</array>\n\t\t</dict>\n";
}

std::string itunes_library(const std::string &tracks, const std::string &playlists)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "\t<key>Major Version</key><integer>1</integer>\n"
           "\t<key>Tracks</key>\n\t<dict>\n" + tracks + "\t</dict>\n"
           "\t<key>Playlists</key>\n\t<array>\n" + playlists + "\t</array>\n</dict>\n</plist>\n";
}
