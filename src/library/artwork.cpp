/*
** Album artwork.  While the music import files a track it looks through the
** track's folder for JPEG images: one named like "Folder.jpg", "Cover.jpg"
** or "AlbumArt_{...}_Large.jpg" is the art of the album, the artist and the
** song at once; any other image is the art of whichever of the three names
** it holds.  Three tables (album, artist, song name to image path) result,
** written at the end of the build as "album_art.txt", "artist_art.txt" and
** "music_art.txt", one "name\tpath" line per entry.
**
** Each table is a linked list sorted by name without regard to case, as
** written; an index beside it finds a name's place without a walk.  Names
** are kept in lower case, so the index compares them byte by byte.
*/
#include "global.h"
#include "library/artwork.h"

#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "library/itunes.h"
#include "subs/files.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"

#define NAME_TXT   1000                 /* a decoded name or folder */

ART *album_art, *artist_art, *music_art;
int art_cnt;

typedef std::map<std::string_view, ART *> Art_Index;
static Art_Index art_index[3];

static ART **const tables[3] = {&album_art, &artist_art, &music_art};

/* ------------------------------------------------------------ helpers */

static int lower(int c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

/* Does s begin with prefix, without regard to case? */
static int starts_nocase(const char *s, const char *prefix)
{
    for (; *prefix; s++, prefix++)
        if (lower((unsigned char)*s) != lower((unsigned char)*prefix)) return 0;
    return 1;
}

/* Frees one table and its index. */
static void free_table(int where)
{
    for (ART *a = *tables[where], *next; a; a = next) {
        next = a->next;
        free(a->name);
        free(a->path);
        free(a);
    }
    *tables[where] = nullptr;
    art_index[where].clear();
}

/* ------------------------------------------------------------- finding */

/* The JPEG names of the folder last listed, in folder order.  The tracks of
** an album come one after another and share a folder: it is listed once for
** all of them, not once for each.  A build starts with none. */
static std::string jpg_folder;
static std::vector<std::string> jpgs;
static int jpg_listed;

/* Fills jpgs for folder; returns 0 when it cannot be listed. */
static int jpg_names(const char *folder)
{
    if (jpg_listed && jpg_folder == folder) return 1;
    jpg_listed = 0;
    jpgs.clear();
    MY_DIR *d = My_opendir(folder);
    if (!d) return 0;
    for (my_dirent *e; (e = My_readdir(d)) != nullptr;) {
        size_t len = strlen(e->d_name);
        if (len >= 5 && starts_nocase(e->d_name + len - 4, ".jpg")) jpgs.emplace_back(e->d_name, len);
    }
    My_closedir(d);
    jpg_folder = folder;
    jpg_listed = 1;
    return 1;
}

/* A match of a name at the very first character of the file name does not
** count (Scan's rule), so "Abbey Road.jpg" is not taken for the album Abbey
** Road, while "01 Abbey Road.jpg" is. */
void Locate_Art(const char *album, const char *artist, const char *song, const char *place)
{
    WALK("Locate_Art");
    char alb[NAME_TXT], art[NAME_TXT], sng[NAME_TXT], loc[NAME_TXT];
    Decode(album, alb);
    Decode(artist, art);
    Decode(song, sng);
    Decode(place, loc);

    /* A Mac or Linux location lost its root "/" with the prefix;
    ** lib_path puts it back, so the paths written are absolute. */
    char folder[NAME_TXT + 1];
    char *slash = strrchr(loc, '/');
    if (!slash) return;
    *slash = 0;
    if (starts_nocase(loc, LIB_LOCAL))
        lib_path(loc + LIB_LOCAL_LEN, folder, sizeof folder);
    else
        scopy(folder, sizeof folder, loc);

    if (!jpg_names(folder)) return;
    char path[sizeof folder + sizeof(((my_dirent *)nullptr)->d_name) + 2];
    for (const std::string &jpg : jpgs) {
        const char *name = jpg.c_str();
        sfmt(path, sizeof path, "%s/%s", folder, name);
        if (starts_nocase(name, "folder") || starts_nocase(name, "cover") ||
            (starts_nocase(name, "albumart") && Scan(name, "large"))) {
            Ins_Artwork(0, alb, path);
            Ins_Artwork(1, art, path);
            Ins_Artwork(2, sng, path);
        } else {
            if (Scan(name, sng)) Ins_Artwork(2, sng, path);
            if (Scan(name, art)) Ins_Artwork(1, art, path);
            if (Scan(name, alb)) Ins_Artwork(0, alb, path);
        }
    }
}

int Ins_Artwork(int where, const char *who, const char *path)
{
    WALK("Ins_Artwork");
    Debug("Ins_Artwork\t%d\t%s\t%s", where, who, path);
    if (where < 0 || where > 2) return 0;

    char name[NAME_TXT];
    size_t len = scopy(name, sizeof name, who);
    for (size_t i = 0; i < len; i++) name[i] = (char)lower((unsigned char)name[i]);
    while (len > 1 && name[len - 1] == ' ') name[--len] = 0;

    Art_Index &idx = art_index[where];
    auto at = idx.lower_bound(name);
    if (at != idx.end() && at->first == name) return 0;

    ART *a = (ART *)malloc(sizeof(ART));
    if (!a) no_memory();
    a->name = lib_strdup(name, len);
    a->path = lib_strdup(path, strlen(path));
    ART **link = at == idx.begin() ? tables[where] : &std::prev(at)->second->next;
    a->next = *link;
    *link = a;
    idx.emplace_hint(at, a->name, a);
    art_cnt++;
    return 0;
}

/* ------------------------------------------------------------ writing */

int Close_Artwork(const char *folder)
{
    WALK("Close_Artwork");
    static const char *const files[3] = {"album_art.txt", "artist_art.txt", "music_art.txt"};
    static const char *const heads[3] = {"* Album Artwork", "* Artist Artwork", "* Music Artwork"};
    for (int where = 0; where < 3; where++) {
        if (!*tables[where]) continue;
        Debug("%s", heads[where]);
        std::string path = std::string(folder) + "/" + files[where];
        FILE *f = My_fopen(path.c_str(), "wb");
        if (!f) Debug("* Failed to create %s !", files[where]);
        for (ART *a = *tables[where]; a; a = a->next) {
            if (f) fprintf(f, "%s\t%s\n", a->name, a->path);
            Debug("%s\t%s", a->name, a->path);
        }
        free_table(where);
        if (f) fclose(f);
        Debug("*");
    }
    return 0;
}

void Reset_Artwork(void)
{
    WALK("Reset_Artwork");
    for (int where = 0; where < 3; where++) free_table(where);
    art_cnt = 0;
    jpg_listed = 0;
    jpgs.clear();
}
