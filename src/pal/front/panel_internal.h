/*
** The web panel's request handling, apart from its sockets, so that a test
** or a fuzz target can hand it whole requests.
*/
#ifndef VELMORA_PANEL_INTERNAL_H
#define VELMORA_PANEL_INTERNAL_H

#include "pal/pal.h"

#include <map>
#include <string>
#include <vector>

struct panel_config {
    std::string token;        /* the access token every request carries */
    std::string address;      /* the address listened on, dotted */
    int port;
    std::vector<std::string> names;   /* this machine's own host names, for a LAN address */
};

/* How to go on after an answer: close, keep the connection for the event
** stream, or renew the token (the owner asked, holding the current one). */
enum panel_next { PANEL_CLOSE, PANEL_EVENTS, PANEL_RENEW };

/* The token kept in the text of the panel's address file ("" when there is
** none of the right shape). */
std::string panel_kept_token(const std::string &text);

/* Answers one whole request (head and body) into `out` (a whole HTTP
** answer), or says the connection becomes the event stream. */
panel_next panel_handle(const panel_config &cfg, const std::string &request, std::string &out);

/* Parses a flat JSON object of strings, numbers, true, false and null into
** key -> text.  Returns false on anything else. */
bool panel_parse_json(const std::string &text, std::map<std::string, std::string> &out);

/* The dialogs and prompts as the page's JSON. */
std::string panel_state_json(unsigned long *version);

/* The status view as the page's JSON, gathered anew when the last is a
** second old ("" while no source is registered). */
std::string panel_status_json(void);

#endif
