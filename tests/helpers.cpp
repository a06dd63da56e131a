#include "helpers.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "global.h"
#include "main.h"
#include "subs/text.h"
#include "subs/trace.h"

/* The tests run the modules without WinMain: wire them up as it does. */
[[maybe_unused]] static const int modules_connected = (Connect_Modules(), 0);

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
    std::filesystem::create_directory(home + "/My Roku");
    write_file(home + "/My Roku/Velmora.ini", ini);
    return home;
}

bool eventually(const std::function<bool()> &check, int sec)
{
    for (int i = 0; i < sec * 20; i++, std::this_thread::sleep_for(std::chrono::milliseconds(50)))
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
    std::error_code ec;
    uintmax_t n = std::filesystem::file_size(path, ec);
    int64_t sz = ec ? 0 : (int64_t)n;
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
    /* A Windows path ("C:/...") gets the slash a POSIX path starts with. */
    std::string s = path[0] == '/' ? "file://localhost" : "file://localhost/";
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
