/*
** Fuzz target for the web panel's request handling: arbitrary bytes as one
** whole request (head and body) through the Host, origin and token checks,
** the query and JSON parsers and the input routes.  The token and address
** are fixed so that inputs can get past the checks; no dialog is open, so
** an input that parses is refused as one for a dialog that is not there.
*/
#include "pal/front/panel_internal.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const panel_config cfg = {"0123456789abcdef0123456789abcdef", "192.168.1.20", 12180, {"box", "box.local"}};
    std::string request((const char *)data, size), out;
    panel_handle(cfg, request, out);
    std::map<std::string, std::string> fields;
    panel_parse_json(request, fields);
    return 0;
}
