/*
** Wildcard search.  A request target whose last component holds wildcards
** (the folder /C:/Music/ followed by "*.mp3&s") names no file: it asks for
** the list of matching names below a folder.  Match decides one name by the
** usual file-name pattern rules, written out here so every platform matches
** alike; find_file walks the folder tree; chk_toc splits the target and its
** options.
*/
#include "global.h"
#include "roku/match.h"

#include <set>
#include <string>
#include <utility>

#include "roku/roku.h"
#include "subs/files.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"

/* Bounds of one search: levels below the starting folder, folders opened
** and entries read in all, the time it may take, and the length of a path
** the file layer converts without cutting it (a cut path would open some
** other folder).  Each real folder is searched once, however many links
** lead to it; the bounds stop what is left, such as a link to the root of
** a large disk.  The client is asked whether it is still there every
** GONE_CHECK entries. */
#define MAX_SEARCH_DEPTH   32
#define MAX_SEARCH_FOLDERS 100000
#define MAX_SEARCH_ENTRIES 1000000
#define SEARCH_MS          20000
#define MAX_SEARCH_PATH    1000
#define GONE_CHECK         256

/* Folds ASCII letters to lower case when fold is set. */
static int fold_char(int c, int fold)
{
    return fold && c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

/* Does c (a byte of the name) equal the pattern byte p? */
static int same_char(int c, int p, int flgs)
{
    int fold = flgs & MATCH_CASEFOLD;
    return fold_char(c, fold) == fold_char(p, fold);
}

/* Tries the bracket set at pat[0] == '[' against c.  Returns the length of
** the set, or 0 when it has no closing "]" (the "[" is then an ordinary
** character); *hit says whether c is in the set. */
static size_t bracket(const unsigned char *pat, size_t plen, int c, int flgs, int *hit)
{
    int noesc = flgs & MATCH_NOESCAPE;
    size_t i = 1;
    int negate = 0;
    if (i < plen && (pat[i] == '!' || pat[i] == '^')) {
        negate = 1;
        i++;
    }
    int in = 0;
    int first = 1;                         /* a "]" right at the start is a member */
    for (;;) {
        if (i >= plen)
            return 0;
        int lo = pat[i];
        if (lo == ']' && !first)
            break;
        first = 0;
        if (lo == '\\' && !noesc && i + 1 < plen)
            lo = pat[++i];
        i++;
        int hi = lo;
        /* A range "a-z"; a "-" before the closing "]" is a member. */
        if (i + 1 < plen && pat[i] == '-' && pat[i + 1] != ']') {
            hi = pat[i + 1];
            i += 2;
            if (hi == '\\' && !noesc && i < plen)
                hi = pat[i++];
        }
        if (lo <= c && c <= hi)
            in = 1;
        else if (flgs & MATCH_CASEFOLD) {
            int l = fold_char(c, 1);
            int u = (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c;
            if ((lo <= l && l <= hi) || (lo <= u && u <= hi))
                in = 1;
        }
    }
    *hit = in != negate;
    return i + 1;
}

/* Matches one component: the pattern pat[0..plen) against the name
** s[0..slen), neither holding a "/" that separates components when
** MATCH_PATHNAME is set.  A "*" remembers where it stood; on a mismatch the
** last "*" takes one more character and the match goes on from there.  The
** later "*" can always do what an earlier one could, so one remembered
** place suffices, and the time stays at most plen * slen steps whatever
** the pattern. */
static int match_part(const unsigned char *pat, size_t plen, const unsigned char *s, size_t slen,
                      int flgs)
{
    int noesc = flgs & MATCH_NOESCAPE;

    /* A leading "." is matched only by a "." written in the pattern. */
    if ((flgs & MATCH_PERIOD) && slen && s[0] == '.') {
        int literal = (plen && pat[0] == '.') ||
                      (!noesc && plen > 1 && pat[0] == '\\' && pat[1] == '.');
        if (!literal)
            return 1;
    }

    size_t pi = 0, si = 0;
    size_t star_p = 0, star_s = 0;
    int star = 0;
    while (si < slen) {
        if (pi < plen) {
            int p = pat[pi];
            if (p == '*') {
                while (pi < plen && pat[pi] == '*')
                    pi++;
                star = 1;
                star_p = pi;
                star_s = si;
                continue;
            }
            if (p == '?') {
                pi++;
                si++;
                continue;
            }
            if (p == '[') {
                int hit = 0;
                size_t n = bracket(pat + pi, plen - pi, s[si], flgs, &hit);
                if (n) {
                    if (hit) {
                        pi += n;
                        si++;
                        continue;
                    }
                    goto mismatch;
                }
                /* no closing "]": an ordinary "[" */
            }
            size_t step = 1;
            if (p == '\\' && !noesc && pi + 1 < plen) {
                p = pat[pi + 1];           /* a trailing "\" stands for itself */
                step = 2;
            }
            if (same_char(s[si], p, flgs)) {
                pi += step;
                si++;
                continue;
            }
        }
    mismatch:
        if (!star)
            return 1;
        pi = star_p;
        si = ++star_s;
    }
    while (pi < plen && pat[pi] == '*')
        pi++;
    return pi == plen ? 0 : 1;
}

/* The end of the pattern component that starts at pat[i]: the next "/",
** or an escaped "\/", which also stands for the separator. */
static size_t part_end(const unsigned char *pat, size_t plen, size_t i, int flgs)
{
    for (; i < plen; i++) {
        if (pat[i] == '/')
            return i;
        if (pat[i] == '\\' && !(flgs & MATCH_NOESCAPE) && i + 1 < plen) {
            if (pat[i + 1] == '/')
                return i;
            i++;
        }
    }
    return plen;
}

/* 0 if the name str matches the pattern pat, 1 otherwise.  flgs: 1 a "/"
** only matched by "/", 2 a leading "." only matched by ".", 4 backslash is
** ordinary, 8 letters match either case; other bits are ignored. */
int Match(const char *pat, const char *str, int flgs)
{
    const unsigned char *p = (const unsigned char *)pat;
    const unsigned char *s = (const unsigned char *)str;
    size_t plen = strlen(pat), slen = strlen(str);

    if (!(flgs & MATCH_PATHNAME))
        return match_part(p, plen, s, slen, flgs);

    /* With MATCH_PATHNAME no wildcard crosses a "/": the components of the
    ** pattern and the name are matched pair by pair, and each component
    ** has a leading "." of its own. */
    size_t pi = 0, si = 0;
    for (;;) {
        size_t pe = part_end(p, plen, pi, flgs);
        const unsigned char *slash = (const unsigned char *)memchr(s + si, '/', slen - si);
        size_t se = slash ? (size_t)(slash - s) : slen;
        if (match_part(p + pi, pe - pi, s + si, se - si, flgs))
            return 1;
        int pmore = pe < plen, smore = se < slen;
        if (pmore != smore)
            return 1;
        if (!pmore)
            return 0;
        pi = pe + (p[pe] == '/' ? 1 : 2);
        si = se + 1;
    }
}

/* What one search has left to spend, the folders it has searched (by
** device and number), and the connection it answers. */
struct search_state {
    int folders;
    long entries;
    uint32_t t0;
    pal_socket client;
    int stopped;
    std::set<std::pair<uint64_t, uint64_t>> seen;
};

/* 1 when the search is to end: out of entries or time, or its client has
** gone.  The reason is traced once. */
static int spent(search_state *state)
{
    if (state->stopped)
        return 1;
    const char *why = nullptr;
    if (state->entries <= 0)
        why = "entries";
    else if (pal_ticks() - state->t0 > SEARCH_MS)
        why = "time";
    else if (state->client != PAL_INVALID_SOCKET && pal_peer_closed(state->client))
        why = "client gone";
    if (!why)
        return 0;
    Debug("search stopped - %s", why);
    state->stopped = 1;
    return 1;
}

/* 1 when the folder with status st was searched before (reached again
** through a link); marks it searched otherwise.  A platform that cannot
** tell a file's identity leaves the depth and count bounds to end loops. */
static int seen_before(search_state *state, const My_Stat_Buf &st)
{
    if (!st.dev && !st.ino)
        return 0;
    return !state->seen.insert({st.dev, st.ino}).second;
}

/* Searches folder path for names matching target, as find_file does; depth
** is its level below the starting folder.  Returns the output stream. */
static FILE *search(const char *path, const char *target, int option, FILE *out, int depth,
                    search_state *state)
{
    Debug("find_file - %s/%s %o", path, target, (unsigned)option);
    if (state->folders <= 0) {
        Debug("search stopped at %d folders [%s]", MAX_SEARCH_FOLDERS, path);
        return out;
    }
    if (spent(state))
        return out;
    state->folders--;
    MY_DIR *dir = My_opendir(path);
    if (!dir) {
        Debug("dir failed for %s", path);
        return out;
    }

    std::string full;
    while (my_dirent *e = My_readdir(dir)) {
        if (--state->entries % GONE_CHECK == 0 && spent(state))
            break;
        const char *name = e->d_name;
        if (!strcmp(name, ".") || !strcmp(name, ".."))
            continue;
        full.assign(path).append("/").append(name);
        /* A link that leads out of the shared places is neither listed nor
        ** searched, as it is not served. */
        if (e->d_link && !Links_Stay_Shared(full.c_str()))
            continue;
        if (!Match(target, name, option)) {
            if (!out)
                out = get_temp_file();
            if (!out)
                break;                     /* no file to answer in: give up */
            fprintf(out, "%s/%s\n", path, name);
            Debug("Matched %s/%s", path, name);
            /* A matching folder is an answer in itself: not searched. */
            continue;
        }
        if (!(option & MATCH_SUBDIRS) || e->d_kind == PAL_DK_FILE)
            continue;
        My_Stat_Buf cst;
        if (My_stat(full.c_str(), &cst) || (cst.st_mode & PAL_S_IFMT) != PAL_S_IFDIR)
            continue;
        if (depth + 1 > MAX_SEARCH_DEPTH || full.size() >= MAX_SEARCH_PATH) {
            Debug("too deep, not searched [%s]", full.c_str());
            continue;
        }
        if (seen_before(state, cst)) {
            Debug("searched before, not again [%s]", full.c_str());
            continue;
        }
        out = search(full.c_str(), target, option, out, depth + 1, state);
        if (state->stopped)
            break;
    }
    My_closedir(dir);
    return out;
}

/* Appends "folder/name" lines for the names below path matching target to
** input, made at the first match when null; option holds the Match flags and
** MATCH_SUBDIRS.  Returns the stream, or null when nothing matched. */
FILE *find_file(const char *path, const char *target, int option, FILE *input,
                pal_socket client)
{
    WALK("find_file");
    search_state state;
    state.folders = MAX_SEARCH_FOLDERS;
    state.entries = MAX_SEARCH_ENTRIES;
    state.t0 = pal_ticks();
    state.client = client;
    state.stopped = 0;
    My_Stat_Buf st;
    if (!My_stat(path, &st))
        seen_before(&state, st);
    return search(path, target, option, input, 0, &state);
}

/* Answers a search path "folder/pattern" or "folder/pattern&options": the
** stream of full paths of the matches, one a line, positioned at its start;
** null when the path is no search or nothing matched.  The options: "c"
** makes the search case-sensitive, "e" lets backslash escape, "s" searches
** subfolders. */
FILE *chk_toc(const char *path, pal_socket client)
{
    WALK("chk_toc");
    Debug("chk_toc - %s", path);
    Debug("length = %i", (int)strlen(path));

    const char *slash = strrchr(path, '/');
    if (!slash)
        return nullptr;
    size_t flen = (size_t)(slash - path);
    if (flen >= MAX_PATH_TXT || strlen(slash + 1) >= MAX_PATH_TXT) {
        Debug("search path too long");
        return nullptr;
    }
    char folder[MAX_PATH_TXT], target[MAX_PATH_TXT];
    memcpy(folder, path, flen);
    folder[flen] = 0;
    scopy(target, sizeof target, slash + 1);

    /* An "&" starts the options and makes a search even with no wildcard
    ** (whose empty pattern then matches nothing). */
    int wild = 0;
    const char *opt = "";
    for (char *t = target; *t; t++) {
        if (*t == '?' || *t == '*' || *t == '[' || *t == ']')
            wild++;
        if (*t == '&') {
            wild++;
            *t = 0;
            opt = t + 1;
            break;
        }
    }
    if (!wild)
        return nullptr;

    /* Case-insensitive and without escapes unless the options say so:
    ** Windows names know neither case nor backslash. */
    int flags = MATCH_CASEFOLD | MATCH_NOESCAPE;
    for (const char *o = opt; *o; o++) {
        switch (*o) {
        case 'c': case 'C': flags ^= MATCH_CASEFOLD; break;
        case 'e': case 'E': flags ^= MATCH_NOESCAPE; break;
        case 's': case 'S': flags |= MATCH_SUBDIRS; break;
        default: break;
        }
    }
    Debug("path [%s]  target [%s] option [%s]", folder, target, opt);
    Debug("opt %o", (unsigned)flags);

    FILE *out = find_file(folder, target, flags, nullptr, client);
    Debug("result %o", (unsigned)(uintptr_t)out);
    if (out) {
        fflush(out);
        rewind(out);
    }
    return out;
}
