/*
** Folder listings: the HTML page of a folder's entries that the channel
** reads when it opens a folder, written into a temporary file for the
** request handler to send.  The page marks the private folders with a link
** to Roku_Config.txt and carries the new-title and new-iTunes notices.
** Targets with "?info" come this way too; they get the media information.
*/
#include "global.h"
#include "http/listing.h"

#include <cstdarg>
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

/* The listing of folder path for the target item (ending in "/"), or the
** media information for a target with "?info", as an open temporary file
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
    std::string parent = parent_link(item);

    FILE *out = get_temp_file();
    if (!out) {
        char err[300];
        pal_error_text(pal_last_error(), err, sizeof err);
        Debug("tmpfile %s  %o  errno %s", Roku_Path, 0u, err);
        My_closedir(dir);
        return nullptr;
    }

    /* Pieces go straight to the file, so no target or name is ever cut:
    ** a cut name would be a link to nothing. */
    fprintf(out, "<HTML><TITLE>Directory listing of %s</TITLE><BODY>\n", item);
    fprintf(out, "<H3>Directory listing of %s</H3>\n", item);
    fprintf(out, "<PRE><A HREF=\"%s\">", parent.c_str());
    fputs("Up to higher level directory</A><BR>\n", out);

    std::string full, name;
    while (my_dirent *e = My_readdir(dir)) {
        full.assign(path).append("/").append(e->d_name);
        /* A link that leads out of the shared places is not shown, as it
        ** is not served. */
        if (e->d_link && !Links_Stay_Shared(full.c_str())) continue;
        /* Examined from the open folder: a walk of the folder's whole path
        ** for each of thousands of entries cost more than the rest of the
        ** listing. */
        My_Stat_Buf st;
        if (My_stat_entry(dir, e->d_name, &st)) {
            Debug("stat failed ! [%s]", full.c_str());
            continue;
        }
        Debug("stat ok ! [%s]", full.c_str());

        char date[64];
        Clock_Text(st.mtime, date, sizeof date);
        int is_dir = (st.st_mode & PAL_S_IFMT) == PAL_S_IFDIR;
        name.assign(e->d_name);
        if (is_dir)
            name += "/";

        char enc[1000];                    /* Encode writes at most 999 */
        Encode(name.c_str(), enc);
        fprintf(out, "<A HREF=\"%s\">%s</A>", enc, name.c_str());
        /* The whole size: the field is 8 wide, and a movie past 2 GB shows
        ** its real size rather than a wrapped 32-bit one. */
        fprintf(out, "\t\t%8lld  %s  ", (long long)st.st_size, date);
        const char *desc = getmime(name.c_str(), 2);
        if (desc)
            fprintf(out, "%s<BR>", desc);
        else if (is_dir)
            fputs("Directory<BR>", out);
        else
            fputs("<BR>", out);
        /* No line feed after an entry: the channel splits on <BR>. */
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
            fputs("<BR><A HREF=\"Roku_Config.txt\">Roku_Config.txt</A>", out);
    }

    if (New_Title)
        fputs("<BR>Roku-New-Title\n", out);
    if (New_iTunes)
        fputs("<BR>Roku-New-iTunes\n", out);
    fputs("</PRE></BODY></HTML>\n", out);

    /* A listing cut short by a full disk would show the channel a folder
    ** with entries missing; no listing is better. */
    if (fflush(out) || ferror(out)) {
        Debug("listing write failed [%s]", path);
        fclose(out);
        return nullptr;
    }
    rewind(out);
    Debug("Return %o", (unsigned)(uintptr_t)out);
    return out;
}
