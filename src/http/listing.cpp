/*
** Folder listings: the HTML page of a folder's entries that the channel
** reads when it opens a folder, handed to the request handler as a stream
** to send.  The page marks the private folders with a link
** to Roku_Config.txt and carries the new-title and new-iTunes notices.
** Targets with "?info" come this way too; they get the media information.
*/
#include "global.h"
#include "http/listing.h"

#include <string>

#include "config/config.h"
#include "info/info.h"
#include "http/response.h"
#include "roku/roku.h"
#include "subs/files.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"

/* ASCII case-insensitive equality; other bytes compare as they are. */
static int same_folder(const char *a, const char *b)
{
    for (;; a++, b++) {
        int x = (unsigned char)*a, y = (unsigned char)*b;
        if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
        if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
        if (x != y) return 0;
        if (!x) return 1;
    }
}

/* The parent link of a folder target: the target cut after its last "/"
** before the final one ("/C:/Music/Rock/" gives "/C:/Music/"), or "/" when
** only the first character is such a "/". */
static std::string parent_link(const char *item)
{
    size_t len = strlen(item);
    for (size_t j = len >= 2 ? len - 2 : 0; j >= 1; j--)
        if (item[j] == '/')
            return std::string(item, j + 1);
    return "/";
}

/* A listing's page is gathered in memory while it is under LIST_MEMORY
** bytes; a larger one goes on in a temporary file, written LIST_FLUSH bytes
** at a time, so a folder of any size is listed whole in bounded memory. */
#define LIST_MEMORY (1 << 20)
#define LIST_FLUSH (64 << 10)

namespace {
struct page_out {
    std::string text;
    FILE *file = nullptr;   /* the temporary file, once the page outgrew memory */
    bool failed = false;

    /* Moves the gathered text to the temporary file when there is enough
    ** of it. */
    void settle()
    {
        if (failed || text.size() < (file ? LIST_FLUSH : LIST_MEMORY)) return;
        if (!file && !(file = get_temp_file())) {
            char err[300];
            Debug("tmpfile %s  errno %s", Roku_Path, pal_error_text(pal_last_error(), err, sizeof err));
            failed = true;
            return;
        }
        if (fwrite(text.data(), 1, text.size(), file) != text.size()) failed = true;
        text.clear();
    }

    /* The whole page as a stream positioned at its start; null when it
    ** could not be kept whole. */
    FILE *finish()
    {
        FILE *out = file;
        if (!failed && !out) out = pal_memory_stream(text.size());
        /* A listing cut short by a full disk would show the channel a
        ** folder with entries missing; no listing is better. */
        if (!out || failed || fwrite(text.data(), 1, text.size(), out) != text.size() || fflush(out) ||
            ferror(out)) {
            if (file) Temp_Release(file);
            if (out) fclose(out);
            return nullptr;
        }
        rewind(out);
        return out;
    }
};
}

/* The listing of folder path for the target item (ending in "/"), or the
** media information for a target with "?info", as an open stream
** positioned at its start; null when there is nothing to list. */
FILE *chk_browse(const char *item, const char *path, int req)
{
    WALK("chk_browse");
    (void)req;
    Debug("chk_browse [%s] [%s]\n", path, item);

    if (locate(path, "?info"))
        return info_data(path);

    size_t ilen = strlen(item);
    if (!ilen || item[ilen - 1] != '/') {
        Debug("item failed [%s]", item);
        return nullptr;
    }

    MY_DIR *dir = My_opendir(path);
    if (!dir) {
        Debug("dir failed for %s", path);
        return nullptr;
    }

    /* Pieces are appended whole, so no target or name is ever cut: a cut
    ** name would be a link to nothing. */
    page_out page;
    std::string &out = page.text;
    out.append("<HTML><TITLE>Directory listing of ").append(item).append("</TITLE><BODY>\n");
    out.append("<H3>Directory listing of ").append(item).append("</H3>\n");
    out.append("<PRE><A HREF=\"").append(parent_link(item)).append("\">");
    out.append("Up to higher level directory</A><BR>\n");

    /* The trace names each entry by its full path; without the trace
    ** only a link needs it. */
    const bool tracing = TRA.load(std::memory_order_relaxed) != nullptr;
    std::string full, name;
    while (my_dirent *e = My_readdir(dir)) {
        if (e->d_link || tracing) full.assign(path).append("/").append(e->d_name);
        /* A link that leads out of the shared places is not shown, as it
        ** is not served. */
        if (e->d_link && !Links_Stay_Shared(full.c_str())) continue;
        /* Examined from the open folder: a walk of the folder's whole path
        ** for each of thousands of entries cost more than the rest of the
        ** listing. */
        My_Stat_Buf st;
        if (My_stat_entry(dir, &st)) {
            if (tracing) Debug("stat failed ! [%s]", full.c_str());
            continue;
        }
        if (tracing) Debug("stat ok ! [%s]", full.c_str());

        char date[64];
        Clock_Text(st.mtime, date, sizeof date);
        int is_dir = (st.st_mode & PAL_S_IFMT) == PAL_S_IFDIR;
        name.assign(e->d_name);
        if (is_dir)
            name += "/";

        char enc[1000];                    /* Encode writes at most 999 */
        Encode(name.c_str(), enc);
        out.append("<A HREF=\"").append(enc).append("\">").append(name).append("</A>\t\t");
        /* The whole size: the field is 8 wide, and a movie past 2 GB shows
        ** its real size rather than a wrapped 32-bit one. */
        char size[32];
        out.append(size, Put_Number(size, (long long)st.st_size, 8, ' '));
        out.append("  ").append(date).append("  ");
        const char *desc = getmime(name.c_str(), 2);
        if (desc)
            out.append(desc).append("<BR>");
        else if (is_dir)
            out.append("Directory<BR>");
        else
            out.append("<BR>");
        /* No line feed after an entry: the channel splits on <BR>. */
        page.settle();
    }
    My_closedir(dir);

    Debug("Check for access to path = [%s]", path);
    const Link_View pv = paths.now();
    for (int i = 0; i < MAX_LINKS; i++) {
        const char *folder = pv[i].path;
        if (!folder || !*folder)
            continue;                      /* free records lie anywhere */
        Debug("PIN path = [%s]", folder);
        if (same_folder(folder, path))
            out.append("<BR><A HREF=\"Roku_Config.txt\">Roku_Config.txt</A>");
    }

    if (New_Title)
        out.append("<BR>Roku-New-Title\n");
    if (New_iTunes)
        out.append("<BR>Roku-New-iTunes\n");
    out.append("</PRE></BODY></HTML>\n");

    FILE *f = page.finish();
    if (!f) {
        Debug("listing write failed [%s]", path);
        return nullptr;
    }
    Debug("Return %o", (unsigned)(uintptr_t)f);
    return f;
}
