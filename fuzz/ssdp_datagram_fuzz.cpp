/*
** Fuzz target for the SSDP datagram handler: any datagram up to what the
** discovery thread reads (1999 bytes) into one run's state and the
** process-wide tables, which fill up over the run as they would in a long
** life on a busy network; then the NOTIFY built from what was heard, which
** must fit its buffer and still end its head and list.
*/
#include "global.h"
#include "discovery/ssdp.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Ssdp_Run r;
    static int pass = 0;
    if (size > SSDP_BUF - 1) size = SSDP_BUF - 1;
    memcpy(r.buf, data, size);
    r.pass = ++pass / 16;
    UPNP_Datagram(&r, (int)size, 1000 + pass);
    int len = UPNP_Notify_Text(&r);
    if (len > SSDP_BUF - 1 || (int)strlen(r.buf) != len || len < 4 || memcmp(r.buf + len - 4, "\r\n\r\n", 4)) abort();
    if (fndcnt.load() > MAX_FOUND || DLNA_Cnt > MAX_DLNA) abort();
    return 0;
}
