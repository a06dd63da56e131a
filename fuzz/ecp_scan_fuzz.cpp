/*
** Fuzz target for the scan of a player's channel list: any reply up to one
** read (1999 bytes), cleaned and searched for the channel's app id, which
** must stay within its 19 characters; and the player address reader.
*/
#include "global.h"
#include "discovery/launch.h"
#include "discovery/ssdp.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > ECP_BUF - 1) size = ECP_BUF - 1;
    /* Exactly the reply and its terminator, so that a read past the end is
    ** seen at once. */
    std::vector<char> text(size + 1);
    if (size) memcpy(text.data(), data, size);
    text[size] = 0;
    ecp_clean(text.data());
    char appid[APPID_TXT];
    if (ecp_appid(text.data(), appid) && strlen(appid) > APPID_TXT - 1) abort();
    int v[5];
    Split_Adrs(text.data(), v);
    return 0;
}
