/*
** File responses.  Every answer with content from a stream -- a file, a
** folder listing, a search result, missing.htm -- goes out here: the stream
** is measured, the byte range applied, the header block built, the body sent
** in blocks for GET (straight from the file where the system allows it), a
** short body padded, and the
** request logged.  Also the MIME table that names a file's type and the
** clock text that dates the answers.
**
** The header block is what the Roku channel parses, byte for byte: single
** line feeds, " OK" after every status, no Last-Modified on a 404.
*/
#include "global.h"
#include "http/response.h"

#include <climits>
#include <vector>

#include "http/access.h"
#include "http/client.h"
#include "config/config.h"
#include "subs/files.h"
#include "subs/status.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"
#include "http/winerr.h"
#include "live/transcode.h"

/* A shortfall of fewer bytes than this is padded with zero bytes. */
#define PAD_LIMIT 1000

/*
** Rows of three: the MIME type, its extensions (lower case, comma-separated)
** and the description shown in folder listings; a null type ends the table.
** The first row is also the default.  Where an extension appears in several
** rows the first row wins ("avi" is video/avi, "ts" video/mp2t), so the
** order is part of what the channel sees.  "Z" never matches, since the
** extension looked up is lower-cased first.
*/
static const char *const mime[] = {
    "text/plain", "txt,text", "Plain Text",
    "text/html", "html,htm,shtml", "Hypertext Markup Language",
    "image/gif", "gif", "GIF Image",
    "image/jpeg", "jpeg,jpg,jpe,jfif,pjpeg,pjp", "JPEG Image",
    "audio/mpeg", "mp3", "MP3 ",
    "audio/wav", "wav", "WAV ",
    "audio/midi", "mid,midi", "MIDI",
    "application/testfontstream", "dp", "Test Font",
    "application/doc", "doc", "Wordview File",
    "application/font-tdpfr", "pfr", "Font",
    "application/fractals", "fif", "Fractal Image Format",
    "application/java-archive", "jar", "Java Archive",
    "application/java-vm", "class", "Java Module",
    "application/mac-binhex40", "hqx", "Macintosh BinHex Archive",
    "application/msword", "doc,dot,rtf", "Microsoft Word Document",
    "application/octet-stream", "exe,bin,dll", "Binary Executable",
    "application/pdf", "pdf", "Portable Document Format",
    "application/postscript", "ai,eps,ps", "Postscript Document",
    "application/pre-encrypted", "enc", "Pre-encrypted Data",
    "application/rtf", "rtf", "Rich Text Format",
    "application/vnd.lotus-1-2-3", "123,wk4,wk3,wk1", "Lotus 123 Document",
    "application/vnd.lotus-approach", "apr,vew", "Lotus Approach Document",
    "application/vnd.lotus-freelance", "prz,pre", "Lotus Freelance Document",
    "application/vnd.lotus-organizer", "or3,or2,org", "Lotus Organizer Document",
    "application/vnd.lotus-screencam", "scm", "Lotus ScreenCam Movie",
    "application/vnd.lotus-wordpro", "lwp,sam", "Lotus WordPro Document",
    "application/vnd.ms-access", "mdb,mda,mde", "Microsoft Access Database",
    "application/vnd.ms-excel", "xls,xlt,xlm,xld,xla,xlc,xlw,xll", "Microsoft Excel Worksheet",
    "application/vnd.ms-powerpoint", "ppt,pot,ppa,pps,pwz", "Microsoft PowerPoint Show",
    "application/vnd.ms-schedule", "scd,sch,sc2", "Microsoft Schedule+ Application",
    "application/wordperfect5.1", "wpd,wp6", "WordPerfect Document",
    "application/x-aim", "aim", "AOL Instant Messenger Launch",
    "application/x-compress", "Z", "Compressed Data",
    "application/x-compressed", "tgz", "WinZip File",
    "application/x-conference", "ns", "Netscape Conference Call Filec",
    "application/x-cpio", "cpio", "Unix CPIO Archive",
    "application/x-csh", "csh", "C Shell Program",
    "application/x-dvi", "dvi", "TeX DVI Data ",
    "application/x-fortezza-ckl", "ckl", "Compromised Key List",
    "application/x-gtar", "gtar", "GNU Tape Archive",
    "application/x-gzip", "gz", "GNU Zip Compressed Data",
    "application/x-internet-signup", "ins,isp", "Internet Communication Settings",
    "application/x-iphone", "iii", "rundll32.exe msconf File",
    "application/x-javascript", "js,mocha", "JavaScript Program ",
    "application/x-javascript-config", "jsc", "JavaScript Config",
    "application/x-latex", "latex", "LaTeX Document ",
    "application/x-mpegURL", "m3u8", "Apple mpegurl",
    "application/x-ns-proxy-autoconfig", "pac", "Proxy Auto-Config",
    "application/x-perl", "pl", "Perl Program",
    "application/x-pkcs7-", "p7m,p7c", "PKCS7 Encrypted Data",
    "application/x-pkcs7-crl", "crl", "Certificate Revocation List",
    "application/x-pkcs7-signature", "p7s", "PKCS7 Signature",
    "application/x-rtsl", "rts", "RTSL Documents",
    "application/x-sh", "sh", "Bourne Shell Program",
    "application/x-shar", "shar", "Unix Shell Archive",
    "application/x-stuffit", "sit", "Macintosh StuffIt Archive",
    "application/x-tar", "tar", "Unix Tape Archive",
    "application/x-tcl", "tcl", "TCL Program",
    "application/x-tex", "tex", "TeX Document",
    "application/x-texinfo", "texi,texinfo", "GNU TeXinfo Document",
    "application/x-troff-man", "man", "man",
    "application/x-x509-ca-cert", "crt,der", "Internet Security Certificate",
    "application/x-zip-compressed", "zip", "Zip Compressed Data",
    "audio/aiff", "aif,aiff", "AIFF",
    "audio/basic", "au", "AU ",
    "audio/nspaudio", "la,lma", "Netscape Packetized Audio",
    "audio/x-aiff", "aif,aiff", "AIFF",
    "audio/x-liveaudio", "lam", "Streaming Audio Metafiles",
    "audio/x-midi", "mid,midi", "MIDI",
    "audio/x-mpeg", "mp2,mpa,abs,mpega", "MPEG Audio",
    "audio/x-nspaudio", "la,lma", "Netscape Packetized Audio",
    "audio/x-pn-realaudio", "ram,rm", "Realaudio Plugin",
    "audio/x-realaudio", "ra", "Realaudio",
    "audio/x-pn-realaudio-plugin", "rpm", "RealPlayer(tm) as Plug-in",
    "audio/x-wav", "wav", "WAV",
    "image/ief", "ief", " ",
    "image/png", "png", "PNG Image",
    "image/tiff", "tiff,tif", "TIFF Image ",
    "image/x-MS-bmp", "bmp", "Windows Bitmap",
    "image/x-cmu-raster", "ras", "CMU Raster Image ",
    "image/x-jg", "art", "ART Image",
    "image/x-photo-cd", "pcd", "PhotoCD Image",
    "image/x-portable-anymap", "pnm", "PBM Image ",
    "image/x-portable-bitmap", "pbm", "PBM Image",
    "image/x-portable-graymap", "pgm", "PGM Image",
    "image/x-portable-pixmap", "ppm", "PPM Image",
    "image/x-rgb", "rgb", "RGB Image",
    "image/x-xbitmap", "xbm", "X Bitmap ",
    "image/x-xpixmap", "xpm", "X Pixmap",
    "image/x-xwindowdump", "xwd", "X Window Dump Image",
    "model/vrml", "wrl,wrz", "VRML Worlds",
    "text/css", "css", "  ",
    "text/h323", "323", "msconf File",
    "text/iuls", "uls", "msconf File",
    "text/x-vcard", "vcf", "VCard",
    "video/avi", "avi", "Movie Clip (AVI)",
    "video/x-flv", "flv", "Flash",
    "video/mp4", "mp4", "MPEG-4 Media",
    "video/mpeg", "mpeg,mpg,mpe,mpv,vbs,mpegv,mpa,enc,m1v,mp2", "MPEG Video",
    "video/mp2t", "ts", "MPEG Video",
    "video/x-m4v", "m4v", "Video for Windows",
    "video/x-ms-wmv", "wmv", "Video for Windows",
    "video/msvideo", "avi", "Video for Windows",
    "video/quicktime", "mov", "QuickTime for Windows",
    "video/vnd.dlna.mpeg-tts", "ts", "Transport Stream",
    "video/x-mpeg2", "mpv2,mp2v", "MPEG2 Video",
    "video/x-msvideo", "avi", "Video for Windows",
    "video/x-sgi-movie", "sgi", "movie",
    "x-world/x-vrml", "wrl,wrz", "VRML Worlds",
    nullptr, nullptr, nullptr,
};

/* The longest extension the table holds, with room to spare. */
#define EXT_TXT 16

/* The MIME row of a name's extension: type, extension list or description. */
const char *getmime(const char *in, int idx)
{
    WALK("getmime");
    if (idx < 0 || idx > 2) return nullptr;
    const char *none = idx == 0 ? mime[0] : nullptr;
    const char *p = in + strlen(in);
    while (p > in && p[-1] != '.' && p[-1] != '/') p--;
    /* No dot in the last component: no extension. */
    if (p == in || p[-1] == '/') return none;
    size_t len = strlen(p);
    if (len >= EXT_TXT) return none;
    char ext[EXT_TXT];
    for (size_t i = 0; i <= len; i++) ext[i] = p[i] >= 'A' && p[i] <= 'Z' ? (char)(p[i] + 32) : p[i];
    for (int row = 0; mime[row * 3]; row++) {
        const char *list = mime[row * 3 + 1];
        for (;;) {
            const char *comma = strchr(list, ',');
            size_t n = comma ? (size_t)(comma - list) : strlen(list);
            if (n == len && memcmp(list, ext, len) == 0) return mime[row * 3 + idx];
            if (!comma) break;
            list = comma + 1;
        }
    }
    return none;
}

/* top - start, or 0 when that is not above 0; never overflows. */
static long long span(long long top, long long start)
{
    if (start < 0 && top > LLONG_MAX + start) return LLONG_MAX;
    long long d = top - start;
    return d > 0 ? d : 0;
}

int fit_range(long long *start, long long *end, long long size)
{
    if (size < 0) size = 0;
    if (*start < 0) {
        /* A suffix range: the last -start bytes, the whole file when it is
        ** shorter. */
        long long want = -*start;
        if (want == 0 || size == 0) return 0;
        *start = want < size ? size - want : 0;
        *end = size;
        return 1;
    }
    if (*start >= size) return 0;
    /* An end past the file is the file's end; a range that ends before it
    ** starts is no range of this file. */
    if (*end > size) *end = size;
    if (*end != 0 && *end <= *start) return 0;
    return 1;
}

size_t write_header(char *buf, size_t size, const char *status, const header_line *lines, int count)
{
    size_t h = bld(0, buf, size, "HTTP/1.1 ");
    h = bld(h, buf, size, status);
    h = bld(h, buf, size, "\n");
    for (int i = 0; i < count; i++) {
        h = bld(h, buf, size, lines[i].name);
        h = bld(h, buf, size, ": ");
        h = bld(h, buf, size, lines[i].value);
        h = bld(h, buf, size, "\n");
    }
    return bld(h, buf, size, "\n");
}

/* The header block of a file's answer into buf.  Returns its length. */
static size_t header_block(char *buf, size_t size, int status, const char *type, long long length,
                           const char *range, time_t mtime)
{
    char code[64], num[64], modified[64], now[64], ranged[128], version[64];
    /* " OK" for every status, 206 and 404 alike: the channel was built
    ** against these bytes and reads only the number.  A range the file
    ** cannot satisfy is no success, and is not called one. */
    sfmt(code, sizeof code, "%d%s", status, status == 416 ? " Range Not Satisfiable" : " OK");
    sfmt(num, sizeof num, "%lld", length);
    header_line lines[7];
    int n = 0;
    lines[n++] = {"Content-type", type};
    lines[n++] = {"Content-length", num};
    if (status == 206 || status == 416) {
        sfmt(ranged, sizeof ranged, "bytes %s", range);
        lines[n++] = {"Content-range", ranged};
    }
    if (status != 404) {
        Clock_Text(mtime, modified, sizeof modified);
        lines[n++] = {"Last-Modified", modified};
    }
    /* "Close" whatever the connection does next: the channel expects the
    ** header; the connection in fact stays open unless the player asked to
    ** close. */
    lines[n++] = {"Connection", "Close"};
    Clock_Text(pal_time(), now, sizeof now);
    lines[n++] = {"Date", now};
    sfmt(version, sizeof version, "Velmora %s", Version);
    lines[n++] = {"Server", version};
    return write_header(buf, size, code, lines, n);
}

/* Bytes of a body's first block shown in the trace. */
#define DUMP_BYTES 32

/* One block of a body: ask bytes of in from its byte at, sent straight from
** the file (direct), else read into buf and sent from there.  Returns the
** bytes sent (fewer than ask where the file ends sooner, 0 when it ends at
** at), -1 when the send failed, or PAL_SEND_FILE_REFUSED when the stream
** cannot go straight (nothing was sent). */
static long long send_block(pal_socket s, FILE *in, long long at, size_t ask, char *buf, int direct)
{
    if (!direct) {
        size_t r = fread(buf, 1, ask, in);
        if (r == 0) return 0;
        Debug("send %d \toffset %lld", (int)r, at + (long long)r);
        return send_bounded(s, buf, (int)r) == (int)r ? (long long)r : -1;
    }
    long long n = send_file_bounded(s, in, at, (long long)ask);
    long long shown = n > 0 ? n : (long long)ask;
    if (n > 0 || n == -1) Debug("send %d \toffset %lld", (int)shown, at + shown);
    return n;
}

/* The response path: header block, body in blocks, padding, log line. */
int send_file(pal_socket s, FILE *in, const SEND_FILE *f, char *buf, size_t size)
{
    WALK("send_file");
    const int req = f->req;
    int status = f->status;
    long long start = f->start, end = f->end;
    const char *item = f->item, *path = f->path;
    const char *type = getmime(item, 0);
    if (status == 0) status = 200;

    if (My_fseek64(in, 0, 2) != 0) Debug("seek failed");
    long long fsize = pal_ftell64(in);
    if (fsize < 0) fsize = -1;
    Debug("Long size = %lld", fsize);
    My_fseek64(in, 0, 0);

    char range[100] = "";
    if (status == 206 && !fit_range(&start, &end, fsize)) {
        Debug("range not satisfiable %lld-%lld of %lld", start, end, fsize);
        status = 416;
        start = end = 0;
        sfmt(range, sizeof range, "*/%lld", fsize > 0 ? fsize : 0);
    } else if (status == 206) {
        sfmt(range, sizeof range, "%lld-%lld/%lld", start, end ? end - 1 : fsize - 1, fsize);
    } else if ((start || end) && !fit_range(&start, &end, fsize)) {
        start = end = 0;   /* a range asked of a page of our own: cut to it */
    }
    long long length = status == 416 ? 0 : span(end ? end : fsize, start);

    size_t h = header_block(buf, size, status, type, length, range, f->mtime);
    if (status != 416 && locate(buf, "video/") && start == 0) insert_recent(path);

    int rc = send_bounded(s, buf, (int)h);
    Debug("send header %i\n*\n%s*\n", rc, buf);
    if (rc != (int)h) {
        char err[200];
        Debug("send header failed %o - %s", (unsigned)rc,
              pal_error_text(pal_socket_error(), err, sizeof err));
    }
    long long head_sent = rc > 0 ? rc : 0;

    long long sent = 0;
    int failed = 0;
    if (req == METHOD_GET) {
        if (start != 0 && My_fseek64(in, start, 0) != 0) Debug("seek failed");
        uint32_t t0 = pal_ticks();
        const char *name = strrchr(path, '/');
        name = name ? name + 1 : path;
        Status_Progress_Range(0, 100);
        int me = GetMyID();
        if (me >= 0) DataArray[me].Xfer = 1;

        if (length > 0 && TRA.load(std::memory_order_relaxed)) {
            /* The trace shows the body's first bytes. */
            size_t k = fread(buf, 1, length < DUMP_BYTES ? (size_t)length : DUMP_BYTES, in);
            if (k) Dump("Read data", buf, (int)k);
            My_fseek64(in, start, 0);
        }
        size_t read_block = size < SEND_BLOCK ? size : SEND_BLOCK;
        long long left = length, got = 0;
        int direct = 1;
        int shown = -1;   /* the bar's position this answer last set */
        while (Active) {
            size_t block = direct ? DIRECT_BLOCK : read_block;
            size_t ask = left < (long long)block ? (size_t)left : block;
            long long n = ask ? send_block(s, in, start + got, ask, buf, direct) : 0;
            if (n == PAL_SEND_FILE_REFUSED) {
                /* Read and sent through buf from here on. */
                direct = 0;
                My_fseek64(in, start + got, 0);
                continue;
            }
            if (n == 0) break;
            if (n < 0) {
                got += (long long)ask;
                int err = pal_socket_error();
                Debug("send failed errno %d - %s", err, getsockerr(err));
                failed = 1;
                break;
            }
            got += n;
            Status_Line(STATUS_COUNTERS, name);
            /* Sent so far over what was still to send: the bar runs faster
            ** towards the end, as users know it. */
            double ratio = 100.0 * (double)sent / (double)left;
            int pos = ratio < 1e9 ? (int)ratio : 1000000000;
            if (pos != shown) Status_Progress(shown = pos);
            sent += n;
            left -= n;
            if (n != (long long)block) break;
        }
        if (me >= 0) DataArray[me].Xfer = 0;
        Status_Progress(0);

        uint32_t ms = pal_ticks() - t0;
        if (ms == 0) ms = 1;
        long long t = got / ms * 80;
        Debug("sent %lld bytes in %ld ms - %lld.%lld kbs", got, (long)ms, t / 10, t % 10);
        if (status == 404) Debug(" 404 g ");

        /* A body that came up a little short (a file that shrank, a range
        ** just past the end) is made up with zero bytes so the player gets
        ** the length it was promised; a larger gap is left for it to see. */
        if (left > 0 && left < PAD_LIMIT) {
            Debug("Padding out %d chars", (int)left);
            const char zero = 0;
            for (long long i = 0; i < left; i++)
                if (send_bounded(s, &zero, 1) != 1) break;
        }
    }
    fclose(in);
    /* The player fetches a live stream's segments in order: once one is
    ** delivered, the one ten places earlier is no longer needed. */
    if (req == METHOD_GET && !failed && (status == 200 || status == 206)) Drop_VLC_File(f->path);
    http_log(s, f->line, status, req == METHOD_GET ? sent : head_sent, f->referer, f->agent);
    return failed ? -1 : 0;
}

/* Room for the header block of a page: its fixed lines, the clock text and
** a 20-digit length come to well under this. */
#define HEADER_ROOM 512

/* The text/plain answer: the header block and, unless HEAD, the cnt bytes
** of output, from one buffer.  Returns the bytes sent, or the failed send's
** result. */
int send_page(pal_socket s, const char *output, size_t cnt, int req)
{
    WALK("send_page");
    if (cnt > (size_t)INT_MAX - HEADER_ROOM - 1)
        cnt = (size_t)INT_MAX - HEADER_ROOM - 1;

    size_t body = req == METHOD_HEAD ? 0 : cnt;
    std::vector<char> buf(HEADER_ROOM + body + 1);
    char *b = buf.data();
    char num[32], date[64];
    sfmt(num, sizeof num, "%zu", cnt);
    Clock_Text(pal_time(), date, sizeof date);
    /* The channel checks this Server text; it stays when the program's own
    ** version (Version) moves on.  The connection lines are what the
    ** channel was built against. */
    const header_line lines[] = {
        {"Date", date}, {"Server", "Velmora 2.0.14.0"}, {"Content-type", "text/plain"},
        {"Content-length", num}, {"Connection", "Keep-Alive"}, {"Keep-Alive", "max=5, timeout=5"}};
    size_t n = write_header(b, HEADER_ROOM, "200 Document follows", lines, (int)(sizeof lines / sizeof lines[0]));
    if (body)
        memcpy(b + n, output, body);
    size_t len = n + body;
    b[len] = 0;
    Debug("Send data %i\n*\n%s\n*", (int)len, b);

    /* One send carries it all; a send that takes only part of a large
    ** page (a time-out on a slow player) is continued with the rest. */
    int result = 0;
    size_t done = 0;
    while (done < len) {
        int r = pal_send(s, b + done, (int)(len - done));
        if (r <= 0) {
            result = r < 0 ? r : PAL_SOCKET_ERROR;
            break;
        }
        done += (size_t)r;
        result = (int)done;
    }
    Debug("Roku send %i", result);
    if (result < 0) {
        char err[300];
        pal_error_text(pal_socket_error(), err, sizeof err);
        Debug("send failed - %s", err);
    }
    return result;
}
