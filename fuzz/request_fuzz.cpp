/*
** Fuzz target for the request handler's parsing: arbitrary bytes as one
** received request through the end-of-request search, the line split, the
** header folding and scan, the method, the target, the range, the cookie
** decode and check, the MIME lookup and the access-log line, each into
** buffers exactly as large as the handler's, so that AddressSanitizer
** catches any read or write past them.
*/
#include "global.h"
#include "http/access.h"
#include "http/client.h"
#include "http/response.h"
#include "subs/text.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    /* As received: at most one receive's worth, not NUL-terminated. */
    size_t n = size < REQ_RECV ? size : REQ_RECV;
    std::vector<char> input(data, data + n);
    if (request_length(input.data(), n) > n) __builtin_trap();
    static char arg[REQ_LINES][REQ_LINE];
    split_request(input.data(), n, arg);
    fold_headers(arg);
    REQ_HEAD h;
    scan_headers(arg, &h);
    get_method(arg[0]);

    char item[MAX_PATH_TXT];
    size_t len0 = strlen(arg[0]);
    request_target(item, arg[0] + (len0 < 4 ? len0 : 4), sizeof item);
    char small[8];
    request_target(small, arg[0], sizeof small);
    for (int idx = 0; idx < 3; idx++) getmime(item, idx);

    /* The whole input as text, for the parsers that take a string. */
    std::vector<char> text(data, data + size);
    text.push_back(0);
    long long start = 0, end = 0;
    get_range(text.data(), &start, &end);

    if (h.cookie) {
        uint32_t cip;
        int tok;
        decode_cookie(h.cookie, &cip, &tok);
        /* One peer only, so the table never fills. */
        Chk_Cookie(0x7F000001u, h.cookie, arg[0]);
    }

    char line[LOG_TXT];
    log_line(line, sizeof line, 0x7F000001u, text.data(), arg[0], 206, end - start, h.referer,
             h.agent);
    log_line(small, sizeof small, 0, "Thu Dec  3 21:07:15 2026", text.data(), 0, 0, nullptr,
             text.data());

    char out[64];
    size_t at = size ? data[0] % 80 : 0;
    bld(at, out, sizeof out, text.data());
    return 0;
}
