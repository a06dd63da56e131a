/*
** VLC control.  VLC is driven only through batch files: "streamN-Run.bat" in
** the live-stream folder starts it on one movie, "kill-vlc.bat" in the data
** folder tells the running instance to quit.  A request thread starts a
** stream, waits for VLC's first output, starts the segmenter thread and
** waits for the first segment before it redirects the player.  Every wait
** is bounded: a VLC that never starts, dies or is killed releases the
** waiting request.
*/
#include "global.h"
#include "live/transcode.h"

#include <algorithm>

#include <mutex>
#include <string>

#include "config/config.h"
#include "live/segmenter.h"
#include "subs/files.h"
#include "subs/status.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"
#include "subs/win.h"

const char *const Movies[] = {
    "vlc", "3gp", "aaf", "asf", "avc", "avchd", "avi", "dat", "dev", "dsh", "fla", "flr", "flv",
    "m1v", "m2v", "m4v", "mka", "mkv", "mks", "mng", "mov", "mp4", "mpe", "mpeg", "mpg", "mxf",
    "nsv", "ogg", "rm", "roq", "smi", "sol", "svi", "swf", "stf", "ts", "wrap", "wmv", nullptr,
};

std::atomic<int> Live_Stream{0};
char NET_Adrs[50];

/* A stream's HTTP output port in network mode is this plus its number. */
#define VLC_NET_PORT 5000
/* Waits, in milliseconds between checks and checks in all. */
#define WAIT_STEP    100
#define WAIT_CHECKS  6000          /* 600 seconds */
#define TRACE_EVERY  10            /* a trace line once a second */
/* How long a running VLC gets to quit before it is killed. */
#define QUIT_WAIT    5000
#define KILL_DROP_WAIT 2000
/* Remembered stream ends and owners; a stream's number picks its entry. */
#define MAX_ENDED    64
/* Seconds without a fetch after which any client may end a stream. */
#define STREAM_IDLE  60
/* The parameter lines read from VLC_param.txt. */
#define PARAM_GROUPS 3
#define PARAM_TXT    200

/* The parameter file's default text.  The first three lines that do not
** start with "#" are the transcoder's video codec, video encoder and audio
** codec groups; a leading "x" on a parameter name leaves it out, since VLC
** ignores names it does not know. */
static const char x264[] =
    "vcodec=h264,threads=1,xvb=1200,xscale=1,xquality=8,xwidth=1920,xheight=1080,xfps=30,\n"
    "venc=x264{preset=veryfast,tune=film},\n"
    "acodec=mp4a,xab=192,xsamplerate=44100,xchannels=2,audio_sync}\n"
    "-----------------------------------------------------------------------------------\n"
    " \n"
    "The first three lines of this file are the parameters that are passed to VLC.\n"
    "You can tweak them but keep the formating similar. You can comment out a parameter with a leading x.\n"
    "x264 parameters: https://wiki.videolan.org/Documentation:Modules/x264/\n"
    "VLC usage: https://wiki.videolan.org/Documentation:Streaming_HowTo/Command_Line_Examples/\n"
    "preset=ultrafast, superfast, veryfast, faster, fast, medium, slow, slower, veryslow, placebo\n"
    "-----------------------------X-----------------------------------------------------\n"
    "tune=film, animation, grain, stillimage, psnr, ssim, fastdecode, zerolatency\n"
    "-----X-----------------------------------------------------------------------------\n"
    "cabac=1,ref=4,deblock=1:-2:-2,me=umh,subme=6,\n"
    "psy=1,psy_rd=1.00:0.15,mixed_ref=1,me_range=16,chroma_me=1,trellis=1,8x8dct=1,\n"
    "cqm=0,deadzone=21,11,fast_pskip=1,chroma_qp_offset=-3,threads=3,nr=0,decimate=1,\n"
    "mbaff=0,constrained_intra=0,bframes=3,b_pyramid=0,b_adapt=1,b_bias=0,direct=3,wpredb=1\n"
    "---------------------- Repeat of the original parameters ---------------------------\n"
    "vcodec=h264,threads=1,xvb=1200,xscale=1,xquality=8,xwidth=1920,xheight=1080,xfps=30,\n"
    "venc=x264{preset=veryfast,tune=film},\n"
    "acodec=mp4a,xab=192,xsamplerate=44100,xchannels=2,audio_sync}\n"
    "-----------------------------------------------------------------------------------\n";

/* Serialises the starts: locating VLC, ending an earlier instance, writing
** and running the batch file. */
static std::mutex start_lock;
/* The shell of the last stream started (its VLC runs while it runs). */
static std::atomic<int> vlc_shell{0};
static std::atomic<int> vlc_stream{0};        /* the stream it serves */
static std::atomic<int> kill_shell{0};        /* the last quit command's shell */
static std::atomic<int> ended[MAX_ENDED];

/* Who started each stream and when a file of it was last fetched (ticks);
** written by the request threads that start and serve streams. */
struct stream_owner {
    int n;
    uint32_t addr;
    uint32_t fetched;
    std::string movie;    /* the file the stream was started for */
};
static std::mutex owner_lock;
static stream_owner owners[MAX_ENDED];

static void note_fetch(int n)
{
    std::lock_guard<std::mutex> guard(owner_lock);
    stream_owner &o = owners[n % MAX_ENDED];
    if (o.n == n) o.fetched = pal_ticks();
}

/* 1 when addr may end stream n: no owner known, addr is it, or the stream
** has not been fetched from for STREAM_IDLE seconds. */
static int may_end(int n, uint32_t addr)
{
    std::lock_guard<std::mutex> guard(owner_lock);
    const stream_owner &o = owners[n % MAX_ENDED];
    return n <= 0 || o.n != n || o.addr == addr || pal_ticks() - o.fetched > STREAM_IDLE * 1000u;
}

void Stream_Ended(int n)
{
    if (n > 0) ended[n % MAX_ENDED] = n;
}

int VLC_Running(void) { return pal_shell_running(vlc_shell.load()); }

std::vector<Live_View> Live_Streams(void)
{
    std::vector<Live_View> list;
    int running = VLC_Running() ? vlc_stream.load() : 0;
    std::lock_guard<std::mutex> guard(owner_lock);
    for (const stream_owner &o : owners)
        if (o.n > 0) list.push_back({o.n, o.movie, o.n == running});
    std::sort(list.begin(), list.end(), [](const Live_View &a, const Live_View &b) { return a.number < b.number; });
    return list;
}

static int stream_ended(int n) { return ended[n % MAX_ENDED].load() == n; }

int Chk_Movie(const char *type)
{
    WALK("Chk_Movie");
    int found = 0;
    for (int k = 0; Movies[k]; k++)
        if (!strcasecmp(type, Movies[k])) {
            found = k + 1;
            break;
        }
    Debug("Chk_Movie type = %d", found);
    return found;
}

/* The live-stream folder. */
static void live_folder(char *out, size_t size) { sfmt(out, size, "%s/Live Stream", Roku_Path); }

/* Writes text to the open file f and closes it.  Returns 1 on success. */
static int put_text(FILE *f, const char *text)
{
    if (!f) return 0;
    size_t n = strlen(text);
    int ok = fwrite(text, 1, n, f) == n;
    return fclose(f) == 0 && ok;
}

/* Writes text to path, replacing it.  Returns 1 on success. */
static int write_text(const char *path, const char *text)
{
    return put_text(My_fopen(path, "wb"), text);
}

int Live_Folder(int take)
{
    char folder[MAX_PATH_TXT];
    live_folder(folder, sizeof folder);
    return pal_private_open(folder, take);
}

/* Every file of the live-stream folder is opened relative to the folder
** checked to be the server's alone, so that no name in it is another
** account's. */
FILE *Live_Create(const char *name, int who)
{
    int dir = Live_Folder(0);
    FILE *f = pal_private_create(dir, name, who);
    pal_private_close(dir);
    return f;
}

FILE *Live_Read(const char *name)
{
    int dir = Live_Folder(0);
    FILE *f = pal_private_read(dir, name);
    pal_private_close(dir);
    return f;
}

int Live_Remove(const char *name)
{
    int dir = Live_Folder(0);
    int rc = pal_private_remove(dir, name);
    pal_private_close(dir);
    return rc;
}

int Live_Rename(const char *from, const char *to)
{
    int dir = Live_Folder(0);
    int rc = pal_private_rename(dir, from, to);
    pal_private_close(dir);
    return rc;
}

int Live_Served(const char *path)
{
    char folder[MAX_PATH_TXT];
    live_folder(folder, sizeof folder);
    size_t len = strlen(folder);
    if (strncmp(path, folder, len) || (path[len] && path[len] != '/')) return 1;
    const char *name = path[len] ? path + len + 1 : path + len;
    /* Only the folder's own plain files, or a name that is not there (a
    ** kill request names none); never a link, nor anything below. */
    My_Stat_Buf st;
    int dir = Live_Folder(0);
    int ok = dir >= 0 && (!*name || (!strchr(name, '/') && (pal_private_plain(dir, name) || My_stat(path, &st) != 0)));
    pal_private_close(dir);
    return ok;
}

/* Finds VLC and writes the kill batch and the parameter file.  Returns 1, or
** 0 after the alert (VLC_Path emptied, so the next request searches again). */
static int locate_vlc(void)
{
    WALK("locate_vlc");
    const char *fail = nullptr;
    char prog[MAX_PATH_TXT + 16], name[MAX_PATH_TXT + 32];
    My_Stat_Buf st;
    char vlc[MAX_PATH_TXT] = "";   /* VLC_Path to be: published once known */
    /* The last one found wins. */
    for (int k = 0; pal_vlc_folders[k]; k++) {
        sfmt(prog, sizeof prog, "%s/%s", pal_vlc_folders[k], pal_vlc_program);
        int rc = My_stat(prog, &st);
        Debug("stat %d = %d %s", k + 1, rc, prog);
        if (rc == 0) scopy(vlc, sizeof vlc, pal_vlc_folders[k]);
    }
    /* Without VLC in its usual places the user is asked for its folder (a
    ** front end with nobody to ask answers with none). */
    if (!vlc[0]) {
        Status_Pick_Path("Select Location of VLC absolute", vlc, 0, sizeof vlc);
        flip_slash(vlc);
        size_t n = strlen(vlc);
        if (n > 1 && vlc[n - 1] == '/') vlc[n - 1] = 0;
    }
    sfmt(prog, sizeof prog, "%s/%s", vlc, pal_vlc_program);
    Debug("VLC path = [%s]", prog);
    if (!vlc[0] || My_stat(prog, &st) != 0) {
        char err[200];
        Debug("VLC stat failed %s", pal_error_text(pal_last_error(), err, sizeof err));
        fail = "Unable to access VLC";
    }
    if (!fail) {
        std::string kill;
        pal_shell_cd(kill, vlc);
        kill += "\n";
        pal_shell_run(kill, pal_vlc_program);
        kill += " -I dummy --one-instance vlc://quit\nexit\n";
        sfmt(name, sizeof name, "%s/kill-vlc.bat", Roku_Path);
        Debug("VLC kill runstream = [%s]", name);
        if (!write_text(name, kill.c_str())) fail = "Unable to create runstream";
    }
    if (!fail) {
        sfmt(name, sizeof name, "%s/VLC_param.txt", Roku_Path);
        if (!write_text(name, x264)) fail = "Unable to create parameters";
    }
    Set_Text(VLC_Path, sizeof VLC_Path, fail ? "" : vlc);
    if (fail) {
        Alert("Transcode", fail, 0);
        return 0;
    }
    return 1;
}

/* The three parameter groups of VLC_param.txt, or the defaults when it
** cannot be read. */
static void read_params(char groups[PARAM_GROUPS][PARAM_TXT + 1])
{
    const char *def = x264;
    for (int g = 0; g < PARAM_GROUPS; g++) {
        size_t n = strcspn(def, "\n");
        sfmt(groups[g], PARAM_TXT + 1, "%.*s", (int)n, def);
        def += n + 1;
    }
    char name[MAX_PATH_TXT + 32];
    sfmt(name, sizeof name, "%s/VLC_param.txt", Roku_Path);
    FILE *f = My_fopen(name, "rb");
    if (!f) return;
    char line[PARAM_TXT + 1];
    int g = 0;
    while (g < PARAM_GROUPS && fgets(line, sizeof line, f)) {
        size_t len = strlen(line);
        int whole = len && line[len - 1] == '\n';
        /* The rest of a line longer than the limit is skipped. */
        if (!whole) {
            int c;
            while ((c = fgetc(f)) != EOF && c != '\n') {}
        }
        if (line[0] == '#') continue;
        while (len && (unsigned char)line[len - 1] < 32) line[--len] = 0;
        scopy(groups[g++], PARAM_TXT + 1, line);
    }
    fclose(f);
}

/* The shell command that runs VLC on the movie for stream n. */
static std::string vlc_command(const char *movie, int n, const char *folder)
{
    char groups[PARAM_GROUPS][PARAM_TXT + 1];
    read_params(groups);
    char text[MAX_PATH_TXT * 2];
    std::string sout = "--sout=#transcode{";
    if (VLC_Subtitle) sout += "soverlay,";
    for (auto &g : groups) sout += g;
    if (VLC_Stream)
        sfmt(text, sizeof text, ":standard{access=http,mux=ts,dst=%s:%d}", NET_Adrs, VLC_NET_PORT + n);
    else
        sfmt(text, sizeof text, ":standard{access=file,mux=ts,dst=\"%s/stream%d\"}", folder, n);
    sout += text;

    /* Without a console to read, VLC's default text interface would quit at
    ** once: the dummy interface waits for the end of the movie. */
    std::string cmd;
    pal_shell_run(cmd, pal_vlc_program);
    cmd += " -vvv -I dummy --one-instance ";
    pal_shell_word(cmd, movie);
    cmd += " --sout-all ";
    if (VLC_Subtitle) cmd += "--sub-track=0 ";
    pal_shell_word(cmd, sout.c_str());
    cmd += " vlc://quit 2>";
    sfmt(text, sizeof text, "%s/stream%d-Debug.txt", folder, n);
    pal_shell_word(cmd, text);
    return cmd;
}

/* Runs a batch file; a shell that cannot start is fatal, as on Windows. */
static int run_batch(const char *folder, const char *file)
{
    int pid = pal_shell_execute(folder, file);
    if (pid <= 0) ErrorExit("Create Shell");
    return pid;
}

/* Waits up to ms for the shell pid to end.  Returns 1 when it ended. */
static int wait_shell(int pid, int ms)
{
    for (int t = 0; t < ms && pal_shell_running(pid); t += WAIT_STEP) pal_sleep(WAIT_STEP);
    return !pal_shell_running(pid);
}

/* One VLC instance serves every stream, and on this platform the movie
** handed to a running instance would go to that instance's output, not to
** the new stream's: so a VLC still running is asked to quit (and killed if
** it does not) before the next starts. */
static void end_running_vlc(void)
{
    int pid = vlc_shell.load();
    if (pal_shell_running(pid)) {
        Debug("VLC still running - quit");
        Kill_VLC("", 0);
        if (!wait_shell(pid, QUIT_WAIT)) pal_shell_kill(pid);
    }
    /* A quit command still on its way would take the new VLC for the one
    ** to end, or be taken by it for the running instance. */
    int quit = kill_shell.load();
    if (!wait_shell(quit, QUIT_WAIT)) pal_shell_kill(quit);
}

/* Starts VLC for a new stream asked for by the client at addr.  Returns
** its number, or 0 (after the alert when VLC could not start). */
static int start_vlc(const char *movie, uint32_t addr)
{
    WALK("start_vlc");
    std::lock_guard<std::mutex> guard(start_lock);
    /* Starting a stream ends the last one's VLC: not while another client
    ** watches that stream, whether or not VLC has finished it. */
    if (!may_end(vlc_stream.load(), addr)) {
        Debug("VLC busy with stream%d of another client", vlc_stream.load());
        return 0;
    }
    if (VLC_Stream) {
        if (OPT('b')) scopy(NET_Adrs, sizeof NET_Adrs, "234.1.2.3");
        else Selected_Address(NET_Adrs, sizeof NET_Adrs);
    }
    if (Setting_Text(VLC_Path).empty() && !locate_vlc()) return 0;
    int n = ++Live_Stream;
    char folder[MAX_PATH_TXT], name[MAX_PATH_TXT + 32];
    live_folder(folder, sizeof folder);
    /* The folder stays the server's alone (taken back if it is not): VLC's
    ** account writes only the two files made for it below. */
    pal_private_close(Live_Folder(1));
    end_running_vlc();
    Drop_VLC_Files(n, 0);
    {
        std::lock_guard<std::mutex> own(owner_lock);
        owners[n % MAX_ENDED] = {n, addr, pal_ticks(), movie};
    }
    sfmt(name, sizeof name, "stream%d-Debug.txt", n);
    int given = put_text(Live_Create(name, PAL_PRIVATE_GIVE), "");
    sfmt(name, sizeof name, "stream%d", n);
    if (!VLC_Stream) given = given && put_text(Live_Create(name, PAL_PRIVATE_GIVE), "");
    if (!given) Debug("Live Stream folder not writable for VLC");

    std::string bat;
    pal_shell_cd(bat, Setting_Text(VLC_Path).c_str());
    bat += "\n" + vlc_command(movie, n, folder) + "\nexit\n";
    sfmt(name, sizeof name, "stream%d-Run.bat", n);
    Debug("Save run - %s/%s [%s]", folder, name, bat.c_str());
    if (!put_text(Live_Create(name, PAL_PRIVATE_READ), bat.c_str())) {
        Alert("Transcode", "Unable to open runstream", 0);
        return 0;
    }
    Debug("Start VLC");
    vlc_shell = run_batch(folder, name);
    vlc_stream = n;
    return n;
}

/* Waits until file exists (with needs_vlc: holds VLC's first bytes, since
** the server made it empty), while stream n may still produce it.  Returns
** 1 when it does, 0 when the stream ended or the time ran out. */
static int wait_file(const char *file, int n, int needs_vlc)
{
    int shell = vlc_shell.load();
    auto there = [&] {
        My_Stat_Buf st;
        return My_stat(file, &st) == 0 && (!needs_vlc || st.st_size > 0);
    };
    for (int i = 0; i < WAIT_CHECKS && Active; i++) {
        if (there()) return 1;
        if (stream_ended(n)) return 0;
        /* A VLC that ended without its output will never write it. */
        if (needs_vlc && !pal_shell_running(shell)) return there();
        if (i % TRACE_EVERY == 0) Debug("Waiting for VLC - %s", file);
        pal_sleep(WAIT_STEP);
    }
    return 0;
}

int Stream_Wait(int num)
{
    WALK("Stream_Wait");
    char file[MAX_PATH_TXT + 32];
    sfmt(file, sizeof file, "%s/Live Stream/stream%d", Roku_Path, num);
    if (!wait_file(file, num, 1)) return 0;
    Debug("Ok to go on stream%d", num);
    return 1;
}

int VLC_Transcode(const char *path, uint32_t addr)
{
    WALK("VLC_Transcode");
    const char *dot = strrchr(path, '.');
    if (!dot || !Chk_Movie(dot + 1)) return 0;
    /* A movie that is not there is answered as any missing file. */
    My_Stat_Buf st;
    if (My_stat(path, &st) != 0 || (st.st_mode & PAL_S_IFMT) != PAL_S_IFREG) return 0;
    Debug("Transcode - %s", path);
    int n = start_vlc(path, addr);
    if (!n) return 0;
    if (!VLC_Stream && !Stream_Wait(n)) return 0;
    myfork(JOB_TRANSCODE, n);

    char file[MAX_PATH_TXT + 32];
    sfmt(file, sizeof file, "%s/Live Stream/stream%d-Files.m3u8", Roku_Path, n);
    /* The segmenter writes the variant playlist after the first segment; if
    ** it ends before that, the stream never started. */
    if (!wait_file(file, n, 0)) return 0;
    return n;
}

/* The number of the stream whose name path ends with, or 0. */
static int stream_of(const char *path)
{
    const char *slash = strrchr(path, '/');
    int num = 0;
    return sscanf(slash ? slash + 1 : path, "stream%d", &num) == 1 ? num : 0;
}

int Live_May_End(const char *path, uint32_t addr)
{
    int n = stream_of(path);
    return may_end(n ? n : vlc_stream.load(), addr);
}

int Kill_VLC(const char *path, int mode)
{
    WALK("Kill_VLC");
    Debug("Kill_VLC mode %d - %s", mode, path);
    int num = stream_of(path);
    /* At a stream's end, VLC is told to quit only if it is still running
    ** for that stream: a later stream's VLC is left alone. */
    if (!mode && num && (num != vlc_stream.load() || !VLC_Running())) {
        Debug("Kill_VLC - no VLC of stream%d", num);
        return 0;
    }
    char bat[MAX_PATH_TXT + 32];
    My_Stat_Buf st;
    sfmt(bat, sizeof bat, "%s/kill-vlc.bat", Roku_Path);
    if (My_stat(bat, &st) == 0) kill_shell = run_batch(Roku_Path, "kill-vlc.bat");
    if (!mode) return 0;
    Debug("%i index = %d [%s]", num > 0, num, path);
    pal_sleep(KILL_DROP_WAIT);
    /* A VLC that did not hear the quit is ended here. */
    int shell = vlc_shell.load();
    if (pal_shell_running(shell)) pal_shell_kill(shell);
    if (num) Drop_VLC_Files(num, 0);
    /* An ended stream holds no other player back. */
    int id = num ? num : vlc_stream.load();
    std::lock_guard<std::mutex> guard(owner_lock);
    if (owners[id % MAX_ENDED].n == id) owners[id % MAX_ENDED].n = 0;
    return 0;
}

int Drop_VLC_File(const char *path)
{
    WALK("Drop_VLC_File");
    char folder[MAX_PATH_TXT];
    live_folder(folder, sizeof folder);
    size_t len = strlen(folder);
    if (strncmp(path, folder, len) || path[len] != '/') return 0;
    const char *name = path + len + 1;
    int s = 0, k = 0;
    int got = sscanf(name, "stream%d-%d", &s, &k);
    Debug("%d stream %d index = %d", got, s, k);
    if (got < 1 || s <= 0) return 0;
    note_fetch(s);
    /* Only a segment's name, spelled as the segmenter spells it. */
    char seg[64];
    sfmt(seg, sizeof seg, "stream%d-%06d.ts", s, k);
    if (got != 2 || strcmp(seg, name) || k <= 10 || !Transcode || OPT('v')) return 0;
    sfmt(seg, sizeof seg, "stream%d-%06d.ts", s, k - 10);
    Debug("Drop - %s/%s", folder, seg);
    return Live_Remove(seg) == 0;
}

int Drop_VLC_Files(int x, int always)
{
    WALK("Drop_VLC_Files");
    if (!always && OPT('v')) return 0;
    char folder[MAX_PATH_TXT], pat[32];
    live_folder(folder, sizeof folder);
    sfmt(pat, sizeof pat, "stream%d", x);
    MY_DIR *d = My_opendir(folder);
    if (!d) return 0;
    int removed = 0;
    while (my_dirent *e = My_readdir(d))
        if (locate(e->d_name, pat) && Live_Remove(e->d_name) == 0) removed++;
    My_closedir(d);
    return removed;
}
