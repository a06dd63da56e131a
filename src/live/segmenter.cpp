/*
** The HLS segmenter.  One thread per live stream reads the transport stream
** that VLC writes to "streamN" (file mode) or serves over HTTP (network
** mode), walks its 188-byte packets and writes them to numbered segments.
** Time is counted in PCR packets, ten to a second; a segment is cut at the
** first unit start after a program association table once 10 (first
** segment), 50 (segments 2 to 9) or 100 clock ticks have passed, so every
** segment starts with the first packet of a new unit.  The playlists, with
** CRLF line ends, are what the player reads; the variant playlist is
** flushed after each entry so that readers always see whole entries.
*/
#include "global.h"
#include "live/segmenter.h"

#include <cstdlib>

#include "subs/net.h"
#include "live/transcode.h"
#include "subs/files.h"
#include "subs/status.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"

#define TS_SYNC        0x47
#define FIRST_TICKS    10          /* clock ticks of the first segment */
#define EARLY_TICKS    50          /* of segments 2 to 9 */
#define LATER_TICKS    100         /* from segment 10 on */
#define LATER_FROM     10
#define TICKS_PER_SEC  10
#define END_SECONDS    10          /* the duration listed for the last segment */
#define MAIN_BANDWIDTH 250000
#define VARIANTS       18          /* main playlist of a stream without a cut */
#define VARIANT_STEP   100000
#define START_CHECKS   20          /* VLC's first bytes are awaited for */
#define START_STEP     500         /* START_CHECKS times this many ms */
#define EOF_CHECKS     3           /* checks without growth that end a file */
#define EOF_STEP       1000
#define MORE_STEP      100         /* wait when more data is on its way */
#define NET_TRIES      12
#define NET_STEP       500
#define NET_IDLE       6           /* seconds without data that end a network stream */
#define NET_RECV_MS    1000        /* one receive waits at most this long */
#define NET_HEAD       100

/* The base name of stream idx's files. */
static void base_name(char *out, size_t size, int idx)
{
    sfmt(out, size, "%s/Live Stream/stream%d", Roku_Path, idx);
}

/* Creates the file of stream idx named by its suffix in the live-stream
** folder (see Live_Create: never through a link). */
static FILE *create_file(int idx, const char *suffix)
{
    char name[MAX_PATH_TXT + 32], file[64];
    base_name(name, sizeof name, idx);
    sappend(name, sizeof name, "%s", suffix);
    Debug("Open - %s", name);
    sfmt(file, sizeof file, "stream%d%s", idx, suffix);
    return Live_Create(file, PAL_PRIVATE_OWN);
}

/* Opens segment ts of stream idx for writing. */
static FILE *open_segment(int idx, int ts)
{
    char suffix[32];
    sfmt(suffix, sizeof suffix, "-%06d.ts", ts);
    return create_file(idx, suffix);
}

/* Writes the main playlist with the given bandwidths and opens and heads the
** variant playlist under a temporary name; list_entry renames it once its
** first entry is in, so a reader that finds the playlist finds an entry.
** Returns the variant playlist, or null. */
static FILE *open_playlists(int idx, int variants, int first, int step)
{
    FILE *m = create_file(idx, "-Main.m3u8");
    if (m) {
        fputs("#EXTM3U\r\n", m);
        for (int v = 0; v < variants; v++)
            fprintf(m, "#EXT-X-STREAM-INF:PROGRAM-ID=1, BANDWIDTH=%d\r\nstream%d-Files.m3u8\r\n",
                    first + v * step, idx);
        fclose(m);
    } else {
        Debug("Main open failed");
    }
    FILE *f = create_file(idx, "-Files.m3u8.new");
    if (f) fputs("#EXTM3U\r\n#EXT-X-TARGETDURATION:10\r\n#EXT-X-MEDIA-SEQUENCE:1\r\n", f);
    return f;
}

/* Appends the entry of segment ts to the variant playlist and flushes it;
** a playlist just opened gets its own name now. */
static void list_entry(FILE *IDX, int fresh, int idx, int ts, int sec, int last)
{
    fprintf(IDX, "#EXTINF:%d,\r\nstream%d-%06d.ts\r\n", sec, idx, ts);
    if (last) fputs("#EXT-X-ENDLIST\r\n", IDX);
    fflush(IDX);
    if (!fresh) return;
    char name[64], tmp[64];
    sfmt(name, sizeof name, "stream%d-Files.m3u8", idx);
    sfmt(tmp, sizeof tmp, "%s.new", name);
    Live_Rename(tmp, name);
}

int Open_TS(FILE **IDX, FILE **TS, int idx, int ts, int mode, int sec)
{
    WALK("Open_TS");
    char base[MAX_PATH_TXT + 16];
    base_name(base, sizeof base, idx);
    Debug("Open_TS %s IDX %o TS %o idx %d ts %d mode %d", base, (unsigned)(uintptr_t)*IDX,
          (unsigned)(uintptr_t)*TS, idx, ts, mode);
    if (mode == 0) {
        *TS = open_segment(idx, ts + 1);
        return *TS != nullptr;
    }
    if (mode != 1 && mode != 2) return 0;

    if (*TS) fclose(*TS);
    *TS = nullptr;
    if (mode == 1) Debug("Close - %s-%06d.ts", base, ts);
    else Debug("Close %s-%06d.ts", base, ts);
    int fresh = !*IDX;
    if (fresh) {
        if (mode == 1) *IDX = open_playlists(idx, 1, MAIN_BANDWIDTH, 0);
        else *IDX = open_playlists(idx, VARIANTS, VARIANT_STEP, VARIANT_STEP);
        if (!*IDX) return 0;
    }
    list_entry(*IDX, fresh, idx, ts, sec, mode == 2);
    if (mode == 1) {
        *TS = open_segment(idx, ts + 1);
        return *TS != nullptr;
    }
    fclose(*IDX);
    *IDX = nullptr;
    Debug("Close %s-Files.m3u8", base);
    Kill_VLC(base, 0);
    if (!OPT('v')) Live_Remove(strrchr(base, '/') + 1);
    return 1;
}

int Chk_Pos(FILE *DATA)
{
    if (!DATA) return 0;
    int64_t cur = pal_ftell64(DATA);
    int64_t end = pal_filelength64(DATA);
    Debug("Chk_Pos  Cur %lld  End %lld", (long long)cur, (long long)end);
    if (end == 0) return -1;
    return end > cur ? 1 : 0;
}

int TS_Begin(TS_STATE *st, int idx)
{
    memset(st, 0, sizeof *st);
    st->idx = idx;
    st->clk = 1;
    st->maxt = FIRST_TICKS;
    st->ts = 1;
    return Open_TS(&st->IDX, &st->TS, idx, 0, 0, 0);
}

/* Follows the continuity counter of pid.  A PID first seen with counter 0
** is taken into the table only with its next packet. */
static void check_counter(TS_STATE *st, int pid, int counter)
{
    for (int k = 0; k < st->pidcnt; k++) {
        if (st->pidtab[k] != pid) continue;
        int expect = (st->pidseq[k] + 1) & 15;
        if (counter != expect) {
            Debug("Dropped block PID %d got %d expected %d", pid, counter, expect);
            st->seqerr++;
        }
        st->pidseq[k] = counter;
        return;
    }
    /* PIDs beyond the table's room are not followed. */
    if (counter != 0 && st->pidcnt < TS_MAX_PIDS) {
        Debug("New stream ID %d seq %d", pid, counter);
        st->pidtab[st->pidcnt] = pid;
        st->pidseq[st->pidcnt++] = counter;
    }
}

/* Cuts the stream before the packet now being walked.  Returns 1, or 0 when
** the next segment could not be opened. */
static int cut(TS_STATE *st)
{
    Debug("Clock %6d", st->clk);
    Debug("blks in segment %d", st->cnt);
    st->blks += st->cnt;
    st->swt = 0;
    st->cnt = 0;
    int sec = (st->clk - st->clka) / TICKS_PER_SEC;
    if (sec < 1) sec = 1;
    st->clka = st->clk;
    if (!Open_TS(&st->IDX, &st->TS, st->idx, st->ts, 1, sec)) {
        Debug("TS open failed");
        return 0;
    }
    st->ts++;
    st->maxt = st->ts >= LATER_FROM ? LATER_TICKS : EARLY_TICKS;
    return 1;
}

int TS_Walk(TS_STATE *st, const unsigned char *buf, int n)
{
    int i = 0;
    while (i + TS_PACKET <= n) {
        const unsigned char *p = buf + i;
        if (p[0] != TS_SYNC) {
            Debug("Blk %6lld != 47 i = %d", (long long)(st->pos + i), i);
            Dump("Stream Data", p, TS_PACKET);
            /* Once the stream has begun, a lost sync ends it. */
            if (st->start) {
                st->ended = 1;
                return i;
            }
            int j = i + 1;
            while (j + TS_PACKET < n && !(buf[j] == TS_SYNC && buf[j + TS_PACKET] == TS_SYNC)) j++;
            if (j + TS_PACKET < n) {
                i = j;
                continue;
            }
            /* No sync pair here: keep only the bytes that might begin one. */
            return n - TS_PACKET > i ? n - TS_PACKET : i + 1;
        }
        int pid = (p[1] & 0x1F) << 8 | p[2];
        int unit = (p[1] >> 6) & 1;
        int counter = p[3] & 0x0F;
        if (pid == 0 && unit) st->start = 1;
        if (pid != 0) check_counter(st, pid, counter);
        if ((p[3] & 0x20) && (p[5] & 0x10)) st->clk++;

        if (st->swt == 0 && st->clk >= st->clka + st->maxt) st->swt = 1;
        if (st->swt && pid == 0) st->swt = 2;
        if (st->swt == 2 && pid != 0 && unit && !cut(st)) {
            st->ended = 1;
            return i;
        }
        if (fwrite(p, 1, TS_PACKET, st->TS) < TS_PACKET) {
            Debug("TS write failed !");
            st->ended = 1;
            return i;
        }
        st->cnt++;
        i += TS_PACKET;
    }
    return i;
}

void TS_End(TS_STATE *st)
{
    if (!Open_TS(&st->IDX, &st->TS, st->idx, st->ts, 2, END_SECONDS)) Debug("Close failed !");
    if (st->TS) fclose(st->TS);
    if (st->IDX) fclose(st->IDX);
    st->TS = st->IDX = nullptr;
}

pal_socket VLC_Open_NET(int idx)
{
    WALK("VLC_Open_NET");
    unsigned a = 0, b = 0, c = 0, d = 0;
    sscanf(NET_Adrs, "%u.%u.%u.%u", &a, &b, &c, &d);
    uint32_t adrs = (a & 255) << 24 | (b & 255) << 16 | (c & 255) << 8 | (d & 255);
    Debug("ip adrs = %o", adrs);
    pal_socket s = 0;
    for (int t = 0; t < NET_TRIES && !s && Active; t++) {
        s = getasocket(adrs, idx + 5000, 0);
        if (!s) pal_sleep(NET_STEP);
    }
    Debug("socket = %i  port = %d", s, idx + 5000);
    if (!s) return 0;
    /* Always the same bytes, the Host value too. */
    static const char request[] = "GET / HTTP/1.1\r\nHost: 192.168.1.6\r\n"
                                  "User-Agent: vlc/1.1.0 LibVLC/1.1.0\r\n"
                                  "Range: bytes=0-\r\nIcy-MetaData: 1\r\n\r\n";
    int len = (int)sizeof request - 1;
    int sent = pal_send(s, request, len);
    Debug("Send %d bytes", sent);
    if (sent != len) {
        char err[200];
        Debug("send failed - %s", pal_error_text(pal_socket_error(), err, sizeof err));
        pal_closesocket(s);
        return 0;
    }
    /* A receive never blocks for long, so a VLC that stalls is noticed. */
    int ms = NET_RECV_MS;
    pal_setsockopt(s, PAL_SOL_SOCKET, PAL_SO_RCVTIMEO, &ms, sizeof ms);
    char head[NET_HEAD + 1];
    int n = VLC_Read_NET(s, head, NET_HEAD, idx, nullptr);
    if (n > 0) {
        head[n] = 0;
        Debug("recv %d bytes [%s]", n, head);
        return s;
    }
    pal_closesocket(s);
    return 0;
}

int VLC_Read_NET(pal_socket s, char *buf, int size, int idx, FILE *CAP)
{
    (void)idx;
    int n = pal_recv(s, buf, size);
    if (n > 0) {
        Debug("VLC_Read_NET recv %d", n);
        if (CAP) fwrite(buf, 1, (size_t)n, CAP);
    }
    return n;
}

/* The source of one stream: VLC's output file or its HTTP connection, and
** what the loop needs to tell an idle source from an ended one. */
struct TS_SOURCE {
    FILE *DATA;
    pal_socket s;
    FILE *CAP;
    int64_t offset;            /* bytes consumed (file mode) */
    int carry;                 /* bytes carried into the next pass (network) */
    int eof;                   /* checks without growth (file mode) */
    uint32_t idle_since;       /* when input stopped (network mode); 0 = flowing */
    int vlc_gone;              /* VLC was seen ended; one more read decides */
};

/* One read into buf.  Returns the bytes now in buf, or -1 on a receive
** error or when VLC closed the connection. */
static int read_source(TS_SOURCE *src, unsigned char *buf)
{
    if (src->DATA) return (int)fread(buf, 1, TS_BLOCK, src->DATA);
    int r = VLC_Read_NET(src->s, (char *)buf + src->carry, TS_BLOCK - src->carry, 0, src->CAP);
    if (r == 0) return -1;
    if (r < 0) {
        int err = pal_socket_error();
        if (err != PAL_WSAEWOULDBLOCK && err != PAL_WSAETIMEDOUT) return -1;
        r = 0;
    }
    return src->carry + r;
}

/* Decides, after a pass that took no whole packet, whether the input has
** ended.  Returns 1 when it has. */
static int input_ended(TS_SOURCE *src, int n)
{
    if (src->DATA) {
        /* More bytes beyond what this pass saw: read again soon. */
        if (pal_filelength64(src->DATA) > src->offset + n) {
            pal_sleep(MORE_STEP);
            return 0;
        }
        /* VLC ended: what it wrote last was read by the next pass. */
        if (!VLC_Running()) {
            if (src->vlc_gone) return 1;
            src->vlc_gone = 1;
            return 0;
        }
        if (src->eof >= EOF_CHECKS) return 1;
        /* Two seconds without growth count once; growth ends the wait at
        ** once, so a stream that is just starting loses no time here. */
        for (int t = 0; t < 2 * EOF_STEP; t += MORE_STEP) {
            pal_sleep(MORE_STEP);
            if (pal_filelength64(src->DATA) > src->offset + n) return 0;
        }
        src->eof++;
        return 0;
    }
    uint32_t now = pal_ticks();
    if (!src->idle_since) src->idle_since = now ? now : 1;
    if (now - src->idle_since > NET_IDLE * 1000u) {
        Debug("eof %u  now %u", src->idle_since, now);
        return 1;
    }
    return 0;
}

int VLC_Trans(int idx)
{
    WALK("VLC_Trans");
    Debug("Transcode active index = %d", idx);
    uint32_t t0 = pal_ticks();
    TS_SOURCE src;
    memset(&src, 0, sizeof src);
    char base[MAX_PATH_TXT + 16], name[MAX_PATH_TXT + 32];
    base_name(base, sizeof base, idx);
    if (OPT('c')) {
        sfmt(name, sizeof name, "%s/vlc_Capture", Roku_Path);
        src.CAP = My_fopen(name, "wb");
    }
    Status_Line(STATUS_ACTIVITY, " ");

    unsigned char *buf = (unsigned char *)malloc(TS_BLOCK);
    TS_STATE *st = (TS_STATE *)calloc(1, sizeof(TS_STATE));
    if (!buf || !st) goto done;
    if (!VLC_Stream) {
        Debug("Open - %s", base);
        src.DATA = Live_Read(strrchr(base, '/') + 1);
        if (!src.DATA) {
            Debug("Source open failed");
            goto done;
        }
        for (int k = 0; k < START_CHECKS * START_STEP / MORE_STEP && Chk_Pos(src.DATA) != 1; k++)
            pal_sleep(MORE_STEP);
    } else if (!(src.s = VLC_Open_NET(idx))) {
        Debug("NET stream open failed");
        goto done;
    }
    if (!TS_Begin(st, idx)) {
        Debug("TS open failed");
        goto done;
    }
    {
        time_t seqtime = 0;
        while (!st->ended && Active) {
            int n = read_source(&src, buf);
            if (n < 0) break;
            st->pos = src.offset;
            int used = n >= TS_PACKET ? TS_Walk(st, buf, n) : 0;
            if (used > 0) {
                src.eof = 0;
                src.idle_since = 0;
                src.vlc_gone = 0;
            }
            if (src.DATA) {
                src.offset += used;
                My_fseek64(src.DATA, src.offset, 0);
            }
            if (st->seqerr && pal_time() != seqtime) {
                seqtime = pal_time();
                char msg[80];
                sfmt(msg, sizeof msg, "Warning dropped %d Audio Video blocks", st->seqerr);
                Status_Line(STATUS_ACTIVITY, msg);
            }
            if (!src.DATA) {
                int r = n - used;
                if (r > 0) {
                    Debug("partial blk - size %d  offset %d  rem %d  char %x", n, used, r, buf[used]);
                    memmove(buf, buf + used, (size_t)r);
                }
                src.carry = r;
            }
            if (used == 0 && !st->ended && input_ended(&src, n)) break;
        }
        Debug("Transcode complete - %d.%d - %6lld", st->clk / TICKS_PER_SEC, st->clk % TICKS_PER_SEC,
              (long long)src.offset);
        TS_End(st);
        Debug("Deleted %s", base);
        Debug("times %6lld   %6lld", (long long)t0, (long long)(pal_ticks() - t0));
        Debug("Clock %d  Blocks %d  Video %d  Audio %d  Vrate %d  Arate %d", st->clk, st->blks + st->cnt,
              0, 0, 0, 0);
    }
done:
    if (src.DATA) fclose(src.DATA);
    if (src.s) pal_closesocket(src.s);
    if (src.CAP) fclose(src.CAP);
    free(buf);
    free(st);
    Stream_Ended(idx);
    return 0;
}
