/*
** Process start-up and shutdown: the steps that prepare the process before
** the main dialog runs, the option letters, and the crash report that a
** fault signal writes to the trace.
*/
#include "global.h"
#include "main.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "config/config.h"
#include "control/control.h"
#include "http/access.h"
#include "http/client.h"
#include "http/server.h"
#include "http/socket.h"
#include "library/track_files.h"
#include "live/segmenter.h"
#include "ui/dialog.h"
#include "ui/window_status.h"
#include "subs/crash.h"
#include "subs/files.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"
#include "subs/win.h"

/* The web panel's default port, one of its own (the media server's ports
** are 12000 to 12098); its default address is the platform's. */
#define PANEL_PORT    "12180"
/* The panel's address with its token, kept in the data folder for the
** owner (read by --panel-address); the account alone may read it. */
#define PANEL_KEPT    "Panel.txt"
#define PANEL_ADDRESS_COMMAND "--panel-address"

uint32_t options = 0;
char Version[16];
char User[MAX_NAME];
char Mach[MAX_NAME];
char My_Path[MAX_PATH_TXT];
char Roku_Path[MAX_PATH_TXT];
std::atomic<HWND> Win{nullptr};
int Win_Vers_Major, Win_Vers_Minor, Win_Platform;
char OS_Code = ' ';
uint32_t strtick;
std::atomic<int> TERM{0};
int Arg_Count;
char Args[MAX_ARGS][1024];

void startup_WSA(void)
{
    WALK("startup_WSA");
    if (pal_wsa_startup() != 0) ErrorExit("WSAStartup");
}

/* ------------------------------------------------------------- wiring */

/* Writes Largefile.txt: 1000 blocks of the same 1000 bytes, 32..127 over
** and over, a known file for measuring transfers.  A file that is already
** there whole (its size and first block right) is left alone: the switches
** change often, and a megabyte written each time is for nothing. */
static void write_large_file(void)
{
    char path[MAX_PATH_TXT + 32];
    sfmt(path, sizeof path, "%s/Largefile.txt", Roku_Path);
    char block[1000], have[1000];
    for (int i = 0; i < 1000; i++) block[i] = (char)(32 + i % 96);
    My_Stat_Buf st;
    if (My_stat(path, &st) == 0 && st.st_size == 1000 * (long long)sizeof block) {
        FILE *r = My_fopen(path, "rb");
        int same = r && fread(have, 1, sizeof have, r) == sizeof have && !memcmp(have, block, sizeof block);
        if (r) fclose(r);
        if (same) return;
    }
    FILE *f = My_fopen(path, "wb");
    if (!f) return;
    for (int i = 0; i < 1000; i++) {
        if (fwrite(block, 1, sizeof block, f) != sizeof block) {
            Debug("Largefile write failed");
            break;
        }
    }
    fclose(f);
}

/* Each switch of the logs shows its status and puts Largefile.txt right. */
static void diag_switched(const char *status)
{
    Show_Diag(status);
    write_large_file();
}

void Connect_Modules(void)
{
    Server_Init();
    Jobs[JOB_CLIENT] = client;
    Jobs[JOB_TRANSCODE] = VLC_Trans;
    Jobs[JOB_STATUS] = Status_Action;
    Jobs[JOB_TRACKS] = Track_Writer;
    Set_Diag_Hook(diag_switched);
    Register_Window_Status();
    Connect_Dialog();
}

/* ------------------------------------------------------- option letters */

int Split_Args(const char *line)
{
    scopy(Args[0], sizeof Args[0], "Velmora");
    Arg_Count = 1;
    while (*line == ' ') line++;
    if (!*line) return Arg_Count;
    /* Each blank ends a word, so two blanks in a row give an empty word.
    ** Words past the list's 19 places are not kept. */
    for (;;) {
        const char *end = strchr(line, ' ');
        size_t n = end ? (size_t)(end - line) : strlen(line);
        if (Arg_Count < MAX_ARGS) {
            if (n >= sizeof Args[0]) n = sizeof Args[0] - 1;
            memcpy(Args[Arg_Count], line, n);
            Args[Arg_Count][n] = 0;
            Arg_Count++;
        }
        if (!end) break;
        line = end + 1;
    }
    return Arg_Count;
}

/* Sets the bit of one letter: letter L (either case) is bit 'z' - L.  Other
** characters have no bit. */
static void set_letter(int c)
{
    c = tolower((unsigned char)c);
    if (c >= 'a' && c <= 'z') options |= 1u << ('z' - c);
}

void Set_Options(const char *text, int dash_only)
{
    bool in_word = false, counts = !dash_only;
    for (const char *p = text; *p; p++) {
        if (*p == ' ') {
            in_word = false;
            continue;
        }
        if (!in_word) {
            in_word = true;
            if (dash_only) {
                counts = *p == '-';
                continue;
            }
        }
        if (counts) set_letter(*p);
    }
}

void Option_Text(char *out, size_t size)
{
    size_t n = 0;
    for (int c = 'a'; c < 'z' && n + 1 < size; c++)
        if (OPT(c)) out[n++] = (char)toupper(c);
    if (size) out[n < size ? n : size - 1] = 0;
}

void Cap_User(char *name) { name[0] = (char)toupper((unsigned char)name[0]); }

void Cap_Mach(char *name)
{
    for (int i = 1; name[0] && name[i]; i++) {
        if (name[i] == '.') {
            name[i] = 0;
            break;
        }
        name[i] = (char)tolower((unsigned char)name[i]);
    }
    name[0] = (char)toupper((unsigned char)name[0]);
}

/* ------------------------------------------------------------- start-up */

/* Waits for the wall-clock second to turn and keeps the tick count of that
** moment, so the milliseconds of trace lines count from the second. */
static void align_clock(void)
{
    time_t t = pal_time();
    while (pal_time() == t) pal_sleep(1);
    strtick = pal_ticks();
}

/* My_Path: the user's own folder below the profiles folder, else
** USERPROFILE's "My Documents", else "C:". */
static void find_my_path(void)
{
    char prof[256], name[256];
    unsigned long n = sizeof prof;
    My_Path[0] = 0;
    if (xGetProfilesDirectory && xGetProfilesDirectory(prof, &n) && pal_get_profile_name(name, sizeof name))
        sfmt(My_Path, sizeof My_Path, "%s/%s", prof, name);
    My_Stat_Buf st;
    if (!My_Path[0] || My_stat(My_Path, &st) != 0) {
        char env[1001];
        if (pal_getenv("USERPROFILE", env, sizeof env))
            sfmt(My_Path, sizeof My_Path, "%s/My Documents", env);
        else
            scopy(My_Path, sizeof My_Path, "C:");
    }
}

/* The letters of the first line of options.txt in the working folder. */
static void read_options_file(void)
{
    char path[MAX_PATH_TXT + 16];
    sfmt(path, sizeof path, "%s/options.txt", Roku_Path);
    FILE *f = My_fopen(path, "r");
    if (!f) return;
    char line[100];
    if (fgets(line, sizeof line, f)) {
        line[strcspn(line, "\r\n")] = 0;
        if (line[0]) printf("Options = %s\n", line);
        Set_Options(line, 0);
    }
    fclose(f);
}

/* Pauses and periods that tests shorten through the environment; unset, the
** program keeps its own. */
static void read_test_settings(void)
{
    char v[32];
    if (pal_getenv("VELMORA_REFUSE_PAUSE_MS", v, sizeof v)) Refuse_Pause_ms = std::max(decimal_int(v), 0);
    if (pal_getenv("VELMORA_IDLE_SECONDS", v, sizeof v)) Idle_Seconds = decimal_int(v);
    if (pal_getenv("VELMORA_SLOT_QUIET_SECONDS", v, sizeof v)) Slot_Quiet_Seconds = decimal_int(v);
    if (pal_getenv("VELMORA_COUNTERS_MS", v, sizeof v)) pal_headless_counters_every(decimal_int(v));
    if (pal_getenv("VELMORA_STALL_SECONDS", v, sizeof v)) Stall_Seconds = std::max(decimal_int(v), 1);
}

/* The data folder is the server's account's alone: it holds the PINs, the
** logs and the tables.  When the server runs as root its batches run under
** another account, which must still reach the live-stream folder by name,
** so others may pass through the folder but never list it. */
#define DATA_FOLDER_MODE      0700
#define DATA_FOLDER_ROOT_MODE 0711

/* Says on standard output and in the trace that the server runs as root,
** and why it should not. */
static void root_warning(void)
{
    char helper[64];
    if (!pal_shell_account(helper, sizeof helper)) return;
    static const char text[] =
        "Running as root: a fault in a server that answers anyone on the network "
        "would then give away the whole machine, and root reads every file whatever "
        "its permissions. Run Velmora under an ordinary account (the Debian package's "
        "service does); VLC runs as %s.";
    printf(text, helper);
    printf("\n");
    fflush(stdout);
    Debug(text, helper);
}

static void panel_kept_file(char *out, size_t size) { sfmt(out, size, "%s/%s", Roku_Path, PANEL_KEPT); }

/* The web panel, on the address and port of Velmora.ini's "Panel" section
** ("Address" 0.0.0.0 opens it to other machines, "off" keeps it shut).  A
** missing setting is written with its default, so the owner finds both. */
static void start_panel(void)
{
    char addr[64], port[16], kept[MAX_PATH_TXT + 16];
    pal_get_private_profile_string("Panel", "Address", "", addr, sizeof addr, Config_File());
    if (!addr[0]) {
        scopy(addr, sizeof addr, pal_panel_default_address());
        pal_write_private_profile_string("Panel", "Address", addr, Config_File());
    }
    pal_get_private_profile_string("Panel", "Port", "", port, sizeof port, Config_File());
    if (!port[0]) {
        scopy(port, sizeof port, PANEL_PORT);
        pal_write_private_profile_string("Panel", "Port", port, Config_File());
    }
    if (!strcmp(addr, "off")) return;
    int p = decimal_int(port);
    panel_kept_file(kept, sizeof kept);
    if (!pal_panel_start(addr, p, kept)) Debug("Panel not started on %s port %d", addr, p);
    else Status_View_Start();
}

/* velmora --panel-address: prints the panel's address with its token, as
** the running program keeps it, for the account that runs it.  Returns the
** exit status. */
static int print_panel_address(void)
{
    char kept[MAX_PATH_TXT + 16];
    panel_kept_file(kept, sizeof kept);
    std::string text;
    int cut = 0;
    unsigned mode = 0;
    if (!pal_load_file(kept, &text, 4096, &cut, &mode) || text.empty()) {
        fprintf(stderr, "No panel address in %s: start Velmora with the panel on (Velmora.ini, [Panel]), "
                        "and run this as the account that runs it.\n", kept);
        return 1;
    }
    fputs(text.c_str(), stdout);
    return 0;
}

static bool asked_for_panel_address(void)
{
    for (int i = 1; i < Arg_Count; i++)
        if (!strcmp(Args[i], PANEL_ADDRESS_COMMAND)) return true;
    return false;
}

int WinMain(void *, void *, const char *lpCmdLine, int)
{
    Connect_Modules();
    read_test_settings();
    sig_setup();
    align_clock();
    Split_Args(lpCmdLine ? lpCmdLine : "");
    Get_Version();
    dll_loader();
    if (asked_for_panel_address()) {
        find_my_path();
        sfmt(Roku_Path, sizeof Roku_Path, "%s/My Roku", My_Path);
        return print_panel_address();
    }
    for (int i = 1; i < Arg_Count; i++) Set_Options(Args[i], 1);

    scopy(Version, sizeof Version, VELMORA_VERSION);
    printf("Version = %s\n", Version);
    unsigned long n = sizeof User;
    if (!pal_get_user_name(User, &n)) User[0] = 0;
    Cap_User(User);
    printf("User = %s\n", User);
    n = sizeof Mach;
    if (!pal_get_computer_name(Mach, &n)) Mach[0] = 0;
    Cap_Mach(Mach);
    printf("Mach = %s\n", Mach);
    find_my_path();
    printf("My_Path = %s\n", My_Path);

    sfmt(Roku_Path, sizeof Roku_Path, "%s/My Roku", My_Path);
    My_mkdir(Roku_Path);
    My_chmod(Roku_Path, pal_shell_account(nullptr, 0) ? DATA_FOLDER_ROOT_MODE : DATA_FOLDER_MODE);
    My_chdir(Roku_Path);
    printf("Path = %s\n", Roku_Path);
    read_options_file();
    fflush(stdout);

    if (OPT('a')) Audit = 1;
    if (OPT('t')) My_Trace = 1;
    if (OPT('a') || OPT('t')) Set_Diag();

    char letters[32];
    Option_Text(letters, sizeof letters);
    Debug("Options = %s", letters);
    for (int i = 0; i < Arg_Count; i++) Debug("Arg %d - %s", i, Args[i]);
    Debug("User path %s", My_Path);
    Debug("Roku path %s", Roku_Path);
    Debug("Main pid = %d  id = %ld", pal_process_id(), (long)pal_thread_id());

    startup_WSA();
    Get_IP_Adrs();
    get_config();
    Set_Diag();
    scopy(Version, sizeof Version, VELMORA_VERSION);
    root_warning();
    load_links();

    start_panel();
    if (OPT('l')) Debug("startup screen");
    return open_main();
}
