/*
** The info text of a media file: the file-system lines, the lines of the
** reader for the file's type, the side file and, for an alias, the links of
** the real file and of its companion files.  Built anew on every request.
*/
#include "global.h"
#include "info/info.h"
#include "config/config.h"

#include "roku/roku.h"
#include "subs/files.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"

#define SIDE_PIECE 1000     /* side and alias files are read in such pieces */
#define INFO_MEMORY (1 << 20) /* the most an info text holds in memory */
#define IN_BUFFER 65536     /* the read buffer of the media file */

typedef int (*info_reader)(FILE *in, FILE *out, int64_t sz);

/* The type names looked for in the extension text, in the order their
** readers run. */
static const struct {
    const char *type;
    info_reader reader;
} readers[] = {
    {"avi", info_avi}, {"mp3", info_mp3}, {"mp4", info_mpeg}, {"m4v", info_mpeg},
    {"mov", info_mpeg}, {"mpg", info_mpg}, {"jpg", info_jpg}, {"flv", info_flv},
    {"wmv", info_wmv}, {"flac", info_flac},
};

/* Position of the last "." in s, or -1. */
static long last_dot(const char *s)
{
    const char *d = strrchr(s, '.');
    return d ? (long)(d - s) : -1;
}

/* Sets the access and modification times of path back to those of st
** when now (taken after the reading) shows them moved. */
static void put_back_times(const char *path, const My_Stat_Buf *st, const My_Stat_Buf *now)
{
    /* Only times the reading moved are put back: a write of the same times
    ** would still move the change time, and costs a disk write. */
    if (now && now->atime == st->atime && now->mtime == st->mtime)
        return;
    uint16_t w[INFO_URL];
    utf8_to_utf16(path, w, INFO_URL);
    if (pal_set_file_times(w, st->atime, st->mtime)) {
        char err[300];
        pal_error_text(pal_last_error(), err, sizeof err);
        Debug("chmod %s - %s", path, err);
    }
}

long info_read_at(FILE *in, int64_t pos, unsigned char *buf, long n, int64_t sz)
{
    if (pos < 0 || n <= 0 || (sz >= 0 && pos >= sz))
        return 0;
    if (sz >= 0 && n > sz - pos)
        n = (long)(sz - pos);
    if (My_fseek64(in, pos, 0))
        return 0;
    return (long)fread(buf, 1, (size_t)n, in);
}

/* Writes the info text of file (status st, type text ext, alias flag) to
** out: steps from the open of the media file on.  Returns 0, or -1 when the
** file cannot be opened (nothing is written then). */
static int info_text(const char *file, const My_Stat_Buf *st, const char *ext, int alias, FILE *out)
{
    int untouched;
    FILE *in = My_fopen_untouched(file, &untouched);
    if (!in) {
        Debug("Unable to open file !");
        return -1;
    }
    /* A buffer of our own, large enough for the readers' windows near the
    ** start to come from one read, and seeks within it to need none; the
    ** library would also ask the file's status once more to size its own. */
    char *inbuf = (char *)malloc(IN_BUFFER);
    if (inbuf)
        setvbuf(in, inbuf, _IOFBF, IN_BUFFER);
    /* The size of the file examined a moment ago (always a regular file),
    ** which is where a seek to its end would land. */
    int64_t sz = st->st_size < 0 ? -1 : st->st_size;

    fprintf(out, "location:%s\n", file);
    fprintf(out, "accessed:%d\n", (int)(int32_t)st->atime);
    fprintf(out, "modified:%d\n", (int)(int32_t)st->mtime);
    fprintf(out, "changed:%d\n", (int)(int32_t)st->ctime);
    fprintf(out, "size:%lld\n", (long long)sz);

    /* Scan ignores a match at the first character: a name without "." is
    ** searched whole, and its first letters never select a reader. */
    for (const auto &r : readers)
        if (r.reader && Scan(ext, r.type))
            r.reader(in, out, sz);
    /* The times after the reading, from the open file: no second walk of
    ** the path; none are needed when the reading left them alone. */
    My_Stat_Buf now;
    int have_now = !untouched && pal_fstat(in, &now) == 0;
    fclose(in);
    free(inbuf);

    Check_Info_File(file, out);
    if (alias)
        Alias_Files(file, out);

    /* Reading the file for its tags must not make it look recently used. */
    if (!untouched)
        put_back_times(file, st, have_now ? &now : nullptr);
    return 0;
}

FILE *info_data(const char *path)
{
    WALK("info_data");
    Debug("info_data [%s]\n", path);
    Dump("info_data", path, (int)strlen(path));

    /* A path cut to fit would name another file: refuse it instead. */
    size_t plen = strcspn(path, "?");
    if (plen >= INFO_PATH) {
        Debug("path too long [%s]", path);
        return nullptr;
    }
    char file[INFO_PATH];
    memcpy(file, path, plen);
    file[plen] = 0;
    long dot = last_dot(file);
    const char *ext = dot >= 0 ? file + dot : file;
    Debug("Type = %s", ext);

    My_Stat_Buf st;
    if (My_stat(file, &st)) {
        Debug("stat failed ! [%s]", file);
        return nullptr;
    }
    if ((st.st_mode & PAL_S_IFMT) != PAL_S_IFREG) {
        Debug("Not a reg file ! - %o", st.st_mode);
        return nullptr;
    }

    /* An alias ("Movie.mp4x") stands for the file it names; when that file
    ** is missing the alias itself is examined like any other file. */
    int alias = 0;
    if (plen && (file[plen - 1] | 0x20) == 'x' && strlen(ext) > 3)
        alias = Alias_Check(file, &st);
    if (alias) {
        /* The reader is chosen by the target's own type: its bytes are the
        ** ones read. */
        dot = last_dot(file);
        ext = dot >= 0 ? file + dot : file;
    }

    /* The text is built in memory: a file made and removed for each answer
    ** cost several times the reading itself.  Only a text that outgrows
    ** INFO_MEMORY (a large side file) is built again in a temporary file,
    ** so memory stays bounded and the text whole. */
    FILE *out = pal_memory_stream(INFO_MEMORY);
    if (out) {
        if (info_text(file, &st, ext, alias, out)) {
            fclose(out);
            return nullptr;
        }
        if (fflush(out) == 0 && !ferror(out)) {
            rewind(out);
            return out;
        }
        fclose(out);
        Debug("info text past %d bytes [%s]", INFO_MEMORY, file);
    }
    out = get_temp_file();
    if (!out)
        return nullptr;
    if (info_text(file, &st, ext, alias, out)) {
        Temp_Release(out);
        fclose(out);
        return nullptr;
    }
    fflush(out);
    rewind(out);
    return out;
}

int Alias_Check(char *file, My_Stat_Buf *sta)
{
    WALK("Alias_Check");
    Debug("Alias_Check [%s]", file);
    FILE *f = My_fopen(file, "rb");
    if (!f) {
        Debug("Open failed file [%s]", file);
        return 0;
    }
    char data[SIDE_PIECE + 1];
    size_t n = fread(data, 1, SIDE_PIECE, f);
    fclose(f);
    data[n] = 0;
    /* The path ends at a line end or any other control byte; bytes from
    ** 128 up are UTF-8 and belong to it. */
    for (size_t i = 0; i < n; i++)
        if ((unsigned char)data[i] < 32) {
            data[i] = 0;
            break;
        }
    Debug("data = %s", data);

    /* An alias is followed only into the shared places, as a request for
    ** its target would be. */
    if (!Confined_Path(data, sizeof data)) return 0;
    My_Stat_Buf target;
    if (My_stat(data, &target)) {
        Debug("stat failed ! [%s]", data);
        return 0;
    }
    *sta = target;
    scopy(file, INFO_PATH, data);
    return 1;
}

int Check_Info_File(const char *inf, FILE *out)
{
    WALK("Check_Info_File");
    Debug("Check_Info_File [%s]", inf);
    char name[INFO_URL];
    size_t len = scopy(name, sizeof name - 8, inf);
    /* The last "." names the extension, even one in a folder's name; the
    ** first character is never taken, and a path with no "." at all gets
    ** ".info" added. */
    size_t i = len;
    while (i > 1 && name[i - 1] != '.')
        i--;
    size_t at = (i > 1) ? i - 1 : len;
    scopy(name + at, sizeof name - at, ".info");

    /* Most media files have no side file: the open alone finds that out,
    ** and only a trace asks which step failed. */
    FILE *f = My_fopen(name, "rb");
    if (!f) {
        My_Stat_Buf st;
        if (TRA.load(std::memory_order_relaxed))
            Debug(My_stat(name, &st) ? "stat failed ! [%s]" : "Unable to open file ! [%s]", name);
        return 1;
    }
    char piece[SIDE_PIECE];
    size_t n;
    while ((n = fread(piece, 1, sizeof piece, f)) > 0)
        fwrite(piece, 1, n, out);
    fclose(f);
    return 1;
}

/* Do characters a and b agree for a link prefix?  Equal, both separators,
** or equal apart from bit 0x20 (which folds ASCII letter case, and as a
** side effect also pairs a few punctuation marks). */
static int agree(int a, int b)
{
    if (a == b)
        return 1;
    if ((a == '/' || a == '\\') && (b == '/' || b == '\\'))
        return 1;
    return (a | 0x20) == (b | 0x20);
}

/* Does the link path lp begin the path s?  The prefix need not end at a
** separator. */
static int link_prefix(const char *lp, const char *s)
{
    for (size_t k = 0; lp[k]; k++)
        if (!s[k] || !agree((unsigned char)lp[k], (unsigned char)s[k]))
            return 0;
    return 1;
}

/* The companion files of an alias: suffix of the local name, the line
** written when it exists, the trace when it does not. */
static const struct {
    const char *suffix, *line, *failed;
} companions[] = {
    {".jpg", "icon:%s.jpg", "failed icon:%s.jpg"},
    {".png", "icon:%s.png", "failed icon:%s.png"},
    {".srt", "Srt:%s.srt", "failed Srt:%s.srt"},
    {".bif", "Bif:%s.bif", "failed Bif:%s.bif"},
    {".nfo", "Nfo:%s.nfo", "failed Nfo:%s.nfo"},
    {"_sheet.jpg", "sheet:%s_sheet.jpg", "failed sheet:%s_sheet.jpg"},
};

int Alias_Files(const char *in, FILE *out)
{
    WALK("Alias_Files");
    Debug("Alias_Files [%s]", in);
    char copy[INFO_URL];
    scopy(copy, sizeof copy, in);
    flip_slash(copy);

    /* File name after the last "/", extension after the file name's last
    ** ".", base path the copy without "." and extension. */
    char base[INFO_URL], name[INFO_URL], ext[INFO_URL];
    scopy(base, sizeof base, copy);
    const char *slash = strrchr(copy, '/');
    scopy(name, sizeof name, slash ? slash + 1 : copy);
    ext[0] = 0;
    char *ndot = strrchr(name, '.');
    if (ndot) {
        scopy(ext, sizeof ext, ndot + 1);
        base[(slash ? (size_t)(slash + 1 - copy) : 0) + (size_t)(ndot - name)] = 0;
        *ndot = 0;
    }

    const Link_View lk = links.now();
    int i;
    for (i = 0; i < MAX_LINKS && lk[i].path; i++) {
        Debug("%2d %s = %s", i, copy, lk[i].path);
        if (link_prefix(lk[i].path, copy))
            break;
    }
    if (i == MAX_LINKS || !lk[i].path)
        return 0;

    /* The link's path may reach into the extension; the rest is then empty. */
    size_t lp = strlen(lk[i].path), bl = strlen(base);
    const char *rest = lp <= bl ? base + lp : "";
    char host[IP_TXT];
    Selected_Address(host, sizeof host);
    char url[INFO_URL];
    sfmt(url, sizeof url, "http://%s:%d/Roku/%s%s", host, My_Port.load(),
         lk[i].link ? lk[i].link : "", rest);
    Encode(url, url);
    Debug("Alias [%s]", url);

    fprintf(out, "path:%s.%s\n", url, ext);
    fprintf(out, "file:%s.%s\n", name, ext);
    Debug("Path = %s.%s\n", url, ext);
    Debug("File = %s.%s\n", name, ext);

    for (const auto &c : companions) {
        char local[INFO_URL + 16];
        sfmt(local, sizeof local, "%s%s", base, c.suffix);
        Debug("search = %s", local);
        My_Stat_Buf st;
        char line[INFO_URL + 32];
        if (My_stat(local, &st) == 0) {
            sfmt(line, sizeof line, c.line, url);
            fprintf(out, "%s\n", line);
            Debug("%s", line);
        } else {
            sfmt(line, sizeof line, c.failed, url);
            Debug("%s", line);
        }
    }
    return 1;
}
