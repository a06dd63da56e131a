/*
** Drives velmora.exe's real dialogs from outside, with the messages a
** user's clicks and typing make, under Wine with a display:
**
**   velmora_dialogs.exe PROGRAM ARTEFACTS
**
** Requests to the script that runs it go into ARTEFACTS as files, which it
** deletes once served: NAME.shot (a screenshot of the screen, NAME.png) and
** listing.get (PORT TARGET: the channel's answer in listing.txt).  Prints
** each check that fails; the exit status is the number of them.
*/
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

/* The programs' ids of the controls used (src/ui/dialog.h, ui/options.h,
** config/config.h). */
enum {
    IDC_START = 102, IDC_OPTIONS = 103, IDC_EXIT = 105, IDC_PORT = 203, IDC_UPDATE = 240,
    IDC_TITLE = 220, IDC_TITLE_ADD = 221, IDC_TITLE_BROWSE = 223, IDC_TITLE_PATH = 224, IDC_PIN_FOLDER = 230, IDC_PIN_ADD = 233
};
const UINT WM_TRAY = WM_USER + 1;
const char *const PORT = "18123";
const char *const TITLE = "WineFilms";
/* Long enough for anything on a loaded machine; nothing is timed. */
const int WAIT_MS = 180000, POLL_MS = 100;

int failures = 0;
std::string artefacts;
HANDLE program;

void check(bool ok, const char *what)
{
    if (ok) return;
    printf("FAILED: %s\n", what);
    fflush(stdout);
    failures++;
}

template <typename F>
bool wait_for(F done)
{
    for (int waited = 0; waited < WAIT_MS; waited += POLL_MS, Sleep(POLL_MS))
        if (done()) return true;
    return done();
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

/* Hands a request to the script and waits until it is served. */
bool request(const std::string &name, const std::string &body)
{
    std::string path = artefacts + "\\" + name;
    std::ofstream(path, std::ios::binary) << body;
    return wait_for([&] { return GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES; });
}

/* Once the program waits for input again, its new window is drawn. */
void screenshot(const char *name)
{
    WaitForInputIdle(program, WAIT_MS);
    check(request(std::string(name) + ".shot", ""), name);
}

/* The visible dialog whose caption begins with prefix. */
HWND find_dialog(const char *prefix)
{
    struct search {
        const char *prefix;
        HWND found;
    } s{prefix, nullptr};
    EnumWindows([](HWND w, LPARAM lp) -> BOOL {
        auto *s = reinterpret_cast<search *>(lp);
        char caption[200];
        GetWindowTextA(w, caption, sizeof caption);
        if (!strncmp(caption, s->prefix, strlen(s->prefix)) && IsWindowVisible(w)) s->found = w;
        return !s->found;
    }, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

HWND wait_dialog(const char *prefix)
{
    HWND w = nullptr;
    wait_for([&] { return (w = find_dialog(prefix)) != nullptr; });
    return w;
}

/* A visible window that owner owns (a box or picker it opened). */
HWND owned_by(HWND owner)
{
    struct search {
        HWND owner, found;
    } s{owner, nullptr};
    EnumWindows([](HWND w, LPARAM lp) -> BOOL {
        auto *s = reinterpret_cast<search *>(lp);
        if (GetWindow(w, GW_OWNER) == s->owner && IsWindowVisible(w)) s->found = w;
        return !s->found;
    }, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

void click(HWND dlg, int id) { PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dlg, id)); }

/* Typing into an edit, or into a combo box's edit field. */
void type(HWND dlg, int id, const char *text)
{
    HWND c = GetDlgItem(dlg, id);
    HWND field = FindWindowExA(c, nullptr, "Edit", nullptr);
    SendMessageA(field ? field : c, WM_SETTEXT, 0, (LPARAM)text);
}

std::string text_of(HWND dlg, int id)
{
    char t[200] = "";
    GetDlgItemTextA(dlg, id, t, sizeof t);
    return t;
}

/* The titles menu as the channel gets it. */
std::string listing(void)
{
    DeleteFileA((artefacts + "\\listing.txt").c_str());
    check(request("listing.get", std::string(PORT) + " /Roku/"), "listing fetched");
    return read_file(artefacts + "\\listing.txt");
}

void options_add_title(HWND main, const std::string &ini_path, const std::string &folder)
{
    click(main, IDC_OPTIONS);
    HWND opt = wait_dialog("Velmora Options");
    check(opt != nullptr, "the options dialog opens");
    if (!opt) return;
    type(opt, IDC_PORT, PORT);
    type(opt, IDC_TITLE, TITLE);
    type(opt, IDC_TITLE_PATH, folder.c_str());
    click(opt, IDC_TITLE_ADD);
    check(wait_for([&] { return text_of(opt, IDC_TITLE) != TITLE; }), "Add takes the title");
    screenshot("options");
    /* Browse opens the shell's folder picker over the options; cancelled,
    ** it leaves the path as it was. */
    type(opt, IDC_TITLE_PATH, "kept");
    click(opt, IDC_TITLE_BROWSE);
    HWND picker = nullptr;
    check(wait_for([&] { return (picker = owned_by(opt)) != nullptr; }), "Browse opens the folder picker");
    screenshot("folder_picker");
    PostMessageA(picker, WM_COMMAND, IDCANCEL, 0);
    check(wait_for([&] { return !IsWindow(picker); }), "the picker is cancelled");
    check(text_of(opt, IDC_TITLE_PATH) == "kept", "a cancelled picker leaves the path");
    click(opt, IDC_UPDATE);
    check(wait_for([&] { return !IsWindow(opt); }), "Update closes the options");
    std::string ini = read_file(ini_path);
    check(ini.find(std::string(TITLE) + "=") != std::string::npos, "Velmora.ini holds the title");
    check(ini.find(std::string("Port=") + PORT) != std::string::npos, "Velmora.ini holds the port");
}

/* A private folder without a PIN is refused with a message box. */
void private_folder_without_pin(HWND main)
{
    click(main, IDC_OPTIONS);
    HWND opt = wait_dialog("Velmora Options");
    if (!opt) return check(false, "the options dialog opens again");
    type(opt, IDC_PIN_FOLDER, "C:\\private");
    click(opt, IDC_PIN_ADD);
    HWND box = wait_dialog("Private Folder");
    check(box != nullptr, "the message box for a missing PIN shows");
    char text[200] = "";
    if (box) EnumChildWindows(box, [](HWND c, LPARAM lp) -> BOOL {
        char t[200];
        GetWindowTextA(c, t, sizeof t);
        if (strstr(t, "PIN")) strcpy(reinterpret_cast<char *>(lp), t);
        return TRUE;
    }, reinterpret_cast<LPARAM>(text));
    check(strstr(text, "Missing PIN Code") != nullptr, "the box names the missing PIN");
    screenshot("message_box");
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    check(wait_for([&] { return !IsWindow(box); }), "OK dismisses the box");
    check(!IsWindowEnabled(main), "the main dialog still waits for the options");
    click(opt, IDC_UPDATE);
    check(wait_for([&] { return !IsWindow(opt); }), "Update closes the options again");
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3) return fprintf(stderr, "usage: velmora_dialogs PROGRAM ARTEFACTS\n"), 2;
    artefacts = argv[2];
    char profile[MAX_PATH] = "";
    GetEnvironmentVariableA("USERPROFILE", profile, sizeof profile);
    std::string roku = std::string(profile) + "\\My Roku", folder = artefacts + "\\films";
    CreateDirectoryA(folder.c_str(), nullptr);
    std::ofstream(folder + "\\clip.mp4", std::ios::binary) << std::string(1000, 'v');

    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::string cmd = std::string("\"") + argv[1] + "\"";
    if (!CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return fprintf(stderr, "cannot start %s\n", argv[1]), 1;
    program = pi.hProcess;
    HWND main = wait_dialog("Velmora Server for Roku");
    check(main != nullptr, "the main dialog shows");
    if (!main) return TerminateProcess(pi.hProcess, 1), failures;
    screenshot("main");

    options_add_title(main, roku + "\\Velmora.ini", folder);

    click(main, IDC_START);
    check(wait_for([&] { return text_of(main, IDC_START) == "Stop"; }), "Start turns into Stop");
    check(wait_for([&] { return listing().find(TITLE) != std::string::npos; }), "the channel's listing shows the title");
    screenshot("main_serving");
    click(main, IDC_START);
    check(wait_for([&] { return text_of(main, IDC_START) == "Start"; }), "Stop turns back into Start");
    click(main, IDC_START);
    check(wait_for([&] { return text_of(main, IDC_START) == "Stop"; }), "Start again");

    private_folder_without_pin(main);

    /* Minimizing hides the window behind the tray icon (the program ends
    ** if the shell refuses the icon); a click on the icon restores it. */
    PostMessageA(main, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    check(wait_for([&] { return !IsWindowVisible(main); }), "minimize hides the window");
    check(WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT, "the tray icon was taken");
    PostMessageA(main, WM_TRAY, 0, WM_LBUTTONUP);
    check(wait_for([&] { return IsWindowVisible(main) != 0; }), "a click on the tray icon restores it");

    click(main, IDC_EXIT);
    DWORD code = 1;
    check(WaitForSingleObject(pi.hProcess, WAIT_MS) == WAIT_OBJECT_0, "Exit ends the program");
    GetExitCodeProcess(pi.hProcess, &code);
    check(code == 0, "exit code 0");
    if (code != 0) TerminateProcess(pi.hProcess, 1);
    printf("%s\n", failures ? "dialogs: FAILED" : "dialogs: all passed");
    return failures;
}
