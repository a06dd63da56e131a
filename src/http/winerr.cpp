/*
** Names of the Windows Sockets error numbers.  The platform layer reports
** socket errors by these numbers on every platform, so one table serves all.
*/
#include "global.h"
#include "http/winerr.h"

#include "subs/threads.h"

struct ERRTAB {
    const char *name;
    int num;
};

/* The names without their leading "WSA"; the last row (null name) ends the
** table. */
static const ERRTAB errtab[] = {
    {"EINTR", 10004},
    {"EBADF", 10009},
    {"EACCES", 10013},
    {"EFAULT", 10014},
    {"EINVAL", 10022},
    {"EMFILE", 10024},
    {"EWOULDBLOCK", 10035},
    {"EINPROGRESS", 10036},
    {"EALREADY", 10037},
    {"ENOTSOCK", 10038},
    {"EDESTADDRREQ", 10039},
    {"EMSGSIZE", 10040},
    {"EPROTOTYPE", 10041},
    {"ENOPROTOOPT", 10042},
    {"EPROTONOSUPPORT", 10043},
    {"ESOCKTNOSUPPORT", 10044},
    {"EOPNOTSUPP", 10045},
    {"EPFNOSUPPORT", 10046},
    {"EAFNOSUPPORT", 10047},
    {"EADDRINUSE", 10048},
    {"EADDRNOTAVAIL", 10049},
    {"ENETDOWN", 10050},
    {"ENETUNREACH", 10051},
    {"ENETRESET", 10052},
    {"ECONNABORTED", 10053},
    {"ECONNRESET", 10054},
    {"ENOBUFS", 10055},
    {"EISCONN", 10056},
    {"ENOTCONN", 10057},
    {"ESHUTDOWN", 10058},
    {"ETOOMANYREFS", 10059},
    {"ETIMEDOUT", 10060},
    {"ECONNREFUSED", 10061},
    {"ELOOP", 10062},
    {"ENAMETOOLONG", 10063},
    {"EHOSTDOWN", 10064},
    {"EHOSTUNREACH", 10065},
    {"ENOTEMPTY", 10066},
    {"EPROCLIM", 10067},
    {"EUSERS", 10068},
    {"EDQUOT", 10069},
    {"ESTALE", 10070},
    {"EREMOTE", 10071},
    {"SYSNOTREADY", 10091},
    {"VERNOTSUPPORTED", 10092},
    {"NOTINITIALISED", 10093},
    {"EDISCON", 10101},
    {"ENOMORE", 10102},
    {"ECANCELLED", 10103},
    {"EINVALIDPROCTABLE", 10104},
    {"EINVALIDPROVIDER", 10105},
    {"EPROVIDERFAILEDINIT", 10106},
    {"SYSCALLFAILURE", 10107},
    {"SERVICE_NOT_FOUND", 10108},
    {"TYPE_NOT_FOUND", 10109},
    {"_E_NO_MORE", 10110},
    {"_E_CANCELLED", 10111},
    {"EREFUSED", 10112},
    {"HOST_NOT_FOUND", 11001},
    {"TRY_AGAIN", 11002},
    {"NO_RECOVERY", 11003},
    {"NO_DATA", 11004},
    {nullptr, 0},
};

/* The name of socket error number err, or "Unknown". */
const char *getsockerr(int err)
{
    WALK("getsockerr");
    for (const ERRTAB *e = errtab; e->name; e++)
        if (e->num == err) return e->name;
    return "Unknown";
}
