/*
** The HLS segmenter: reads the MPEG transport stream that VLC produces,
** checks its 188-byte packets, counts time by the packets that carry a
** program clock reference (ten make one second), and cuts it into numbered
** segment files with a main and a variant playlist.
*/
#ifndef VELMORA_SEGMENTER_H
#define VELMORA_SEGMENTER_H

#include "global.h"

#define TS_PACKET   188
#define TS_BLOCK    (100 * TS_PACKET)    /* one read: 100 packets */
#define TS_MAX_PIDS 100                  /* PIDs whose continuity is followed */

/* The state of one segmenter: the locals of its thread, in a record so that
** the packet walk can run on any buffer. */
struct TS_STATE {
    int idx;                       /* the stream's number */
    int pidtab[TS_MAX_PIDS];       /* PIDs seen (PID 0 excluded) */
    int pidseq[TS_MAX_PIDS];       /* each one's last continuity counter */
    int pidcnt;
    int clk;                       /* packets with a PCR, from 1 */
    int clka;                      /* clk at the last cut */
    int maxt;                      /* clock distance that arms the next cut */
    int swt;                       /* 0 idle, 1 armed, 2 PAT seen */
    int ts;                        /* the segment being written, from 1 */
    int cnt;                       /* packets in the current segment */
    int blks;                      /* packets in all finished segments */
    int seqerr;                    /* packets that broke their continuity */
    int start;                     /* a PAT with its unit-start bit was seen */
    int ended;                     /* the walk ended the stream */
    int64_t pos;                   /* bytes of the source before this buffer */
    FILE *IDX;                     /* the open variant playlist */
    FILE *TS;                      /* the open segment */
};

/* The segmenter thread of live stream idx: runs it to its end.  Returns 0. */
int VLC_Trans(int idx);

/* Playlist and segment bookkeeping of stream idx: mode 0 opens segment
** ts + 1; mode 1 closes segment ts, lists it with sec seconds and opens the
** next; mode 2 closes segment ts, lists it, ends the playlist and stops VLC.
** Returns 1 on success, 0 on failure. */
int Open_TS(FILE **IDX, FILE **TS, int idx, int ts, int mode, int sec);

/* 0 if there is no file, -1 if it is empty, 1 if it holds data beyond the
** current position, 0 at its end.  The position is left as it was. */
int Chk_Pos(FILE *DATA);

/* Connects to VLC's HTTP output of stream idx.  Returns the socket or 0. */
pal_socket VLC_Open_NET(int idx);

/* One receive of at most size bytes, copied to CAP when it is open.
** Returns the receive's result. */
int VLC_Read_NET(pal_socket s, char *buf, int size, int idx, FILE *CAP);

/* Prepares st for stream idx and opens its first segment.  Returns 1, or 0
** when the segment could not be created. */
int TS_Begin(TS_STATE *st, int idx);

/* Walks the whole packets of buf[0..n), writing them to the segments and
** cutting where due.  Returns the bytes consumed (a partial packet at the
** end is left); sets st->ended when the stream must end here. */
int TS_Walk(TS_STATE *st, const unsigned char *buf, int n);

/* Ends the stream: the last segment, the end tag, VLC told to quit. */
void TS_End(TS_STATE *st);

#endif
