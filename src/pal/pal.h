/*
** The platform layer: everything Velmora needs from the operating system,
** behind one interface.  The calls have the shape of the Windows calls they
** stand for (a profile function reads like GetPrivateProfileStringA, a socket
** error is a Windows Sockets number), so the rest of the code reads the same
** on every platform.  Nothing outside src/pal/ includes a system header for
** threads, sockets, signals or files; it includes this one.
**
** Conventions: functions are prefixed pal_; a function that stands for a
** Windows call documents the Windows behaviour it keeps.
*/
#ifndef VELMORA_PAL_H
#define VELMORA_PAL_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

/* Marks a printf-style function so the compiler checks its calls: the
** format is parameter fmt, the values start at parameter first. */
#if defined(__MINGW32__)
/* mingw-w64's printf is built with the C99 formats (__USE_MINGW_ANSI_STDIO). */
#define PAL_PRINTF(fmt, first) __attribute__((format(gnu_printf, fmt, first)))
#elif defined(__GNUC__) || defined(__clang__)
#define PAL_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define PAL_PRINTF(fmt, first)
#endif

/* ---------------------------------------------------------------- process */

/* Prepares the process: makes sure descriptors 0-2 are open (so no socket is
** ever numbered 0, which means "none" to the server), ignores SIGPIPE, and
** routes SIGTERM, SIGINT and SIGHUP to the main window's close request.
** Call once, first thing, on the main thread. */
void pal_init(int argc, char **argv);

/* Ends the process with the given exit code at once: output streams are
** flushed, nothing else runs (no destructors, no atexit handlers). */
[[noreturn]] void pal_exit(int code);

/* The process identifier. */
int pal_process_id(void);

/* The command line after the program name, words separated by single blanks,
** as Windows hands it to WinMain (the words are joined back as they came). */
const char *pal_command_line(void);

/* The version query: Windows major and minor version and platform id.
** Returns 1 on success, 0 on failure.  Non-Windows platforms report the
** "Windows 6 and later" road (6.2, platform 2), so every version-dependent
** branch takes the modern path. */
int pal_get_version(int *major, int *minor, int *platform);

/* GetUserNameA: the account name into buf (size in, length out).  1 on
** success, 0 on failure. */
int pal_get_user_name(char *buf, unsigned long *size);

/* GetComputerNameA: the host's name.  1 on success, 0 on failure. */
int pal_get_computer_name(char *buf, unsigned long *size);

/* The name of the user's own folder below the profiles folder: on Windows the
** user name, on POSIX the last component of $HOME.  Together with the profiles
** folder (pal_get_profiles_directory) it names the user's home. */
int pal_get_profile_name(char *buf, unsigned long size);

/* GetEnvironmentVariableA: the value's length, 0 when the variable is not
** set; the value is cut to fit size - 1 characters. */
unsigned long pal_getenv(const char *name, char *buf, unsigned long size);

/* The system error code of the calling thread's last failed call
** (GetLastError on Windows, errno on POSIX). */
int pal_last_error(void);
void pal_set_last_error(int err);

/* FormatMessage: the system's text for an error code, or for a Windows
** Sockets number (10000 and above).  Always NUL-terminated; returns buf. */
char *pal_error_text(int err, char *buf, size_t size);

/* ------------------------------------------------------------- the shell */

/* ShellExecuteA of the command interpreter on a batch file: runs `file` with
** /bin/sh in `folder` (the server reads the file, so it may be the server's
** account's alone), detached in a process group of its own, with no
** descriptor of the server inherited and standard input and output on
** /dev/null.  A server running as root runs it under an unprivileged account
** (pal_shell_account), since VLC refuses root.  Every batch gets the same
** private D-Bus session bus in DBUS_SESSION_BUS_ADDRESS, started with the
** first batch and owned by that account, so that VLC's one-instance
** messages reach the running VLC.  Whatever the batches start is ended
** when the server ends by any road (exit, SIGTERM, crash, SIGKILL): a small
** watchdog process asks their process groups to quit (SIGTERM) and kills
** what is left a few seconds later.
** Returns the shell's process id (above 0), or 0 when it could not start. */
int pal_shell_execute(const char *folder, const char *file);

/* The batch files' syntax, which is their shell's: pal_shell_word appends
** text as one word (in single quotes for /bin/sh; for cmd.exe in double
** quotes, escaped for its reading of the line and then the program's),
** pal_shell_cd the change to folder, pal_shell_run the start of program, a
** file of the current folder. */
void pal_shell_word(std::string &cmd, const char *text);
void pal_shell_cd(std::string &cmd, const char *folder);
void pal_shell_run(std::string &cmd, const char *program);

/* VLC as the platform installs it: the folders it may be in, in the order
** tried, null at the end; and its program's file name there. */
extern const char *const pal_vlc_folders[];
extern const char *const pal_vlc_program;

/* 1 while the process started by pal_shell_execute still runs, else 0
** (a process that ended is reaped here). */
int pal_shell_running(int pid);

/* Ends the process group of a shell started by pal_shell_execute at once
** (SIGKILL). */
void pal_shell_kill(int pid);

/* The account the batches run under: its name into buf, and 1 when it is
** another account than the server's (the server runs as root), else 0. */
int pal_shell_account(char *buf, size_t size);

/* ------------------------------------------------------ private folders */

/* A private folder is a real folder (no link) owned by the server's account
** that no other account can write: no one else can create a name in it, so
** what the server opens through it is what the server made.  Files in it
** are opened relative to its handle (a descriptor, -1 for none), never
** following a link, and created exclusively. */

/* Opens the private folder path, creating it when missing.  With take 1, a
** folder that is not private (another owner, or writable by others) is
** taken back: owner and mode (0711: the shell's account may pass, not
** list) set, and everything in it removed, since any name in it may have
** been planted.  With take 0 such a folder is refused.  Returns the handle,
** or -1. */
int pal_private_open(const char *path, int take);
void pal_private_close(int dir);

/* Who may use a file that pal_private_create makes. */
#define PAL_PRIVATE_OWN  0     /* the server's account only */
#define PAL_PRIVATE_READ 1     /* the shell's account may read it (a batch) */
#define PAL_PRIVATE_GIVE 2     /* handed to the shell's account to write */

/* Creates name in dir anew for writing ("wb"): a file or link of that name
** is removed first (a link is never followed), then the file is created
** exclusively for `who`.  Returns the stream, or null. */
FILE *pal_private_create(int dir, const char *name, int who);
/* Opens name in dir for binary reading; only a regular file opens, never
** through a link.  Returns the stream, or null. */
FILE *pal_private_read(int dir, const char *name);
/* 1 when name in dir is a regular file of the server's account with no
** other name (neither a link nor a hard link), else 0. */
int pal_private_plain(int dir, const char *name);
/* Removes name from dir (a link itself, never what it points to), or
** renames it within dir.  Return 0 on success, -1 on failure. */
int pal_private_remove(int dir, const char *name);
int pal_private_rename(int dir, const char *from, const char *to);

/* ---------------------------------------------------- optional functions */

/* LoadLibraryA / GetProcAddress over the table of optional system
** functions.  Returns a library handle or null (error code via
** pal_last_error). */
void *pal_load_library(const char *dll);
/* The address of a function of a loaded library, or null. */
void *pal_get_proc_address(void *lib, const char *name);

/* Signatures of the optional functions that the loader resolves. */
typedef int (*pal_GetProfilesDirectory_fn)(char *buf, unsigned long *size);
typedef unsigned long (*pal_SetThreadExecutionState_fn)(unsigned long flags);

#define PAL_ES_CONTINUOUS       0x80000000UL
#define PAL_ES_SYSTEM_REQUIRED  0x00000001UL
#define PAL_ES_AWAYMODE_REQUIRED 0x00000040UL

/* A short description of how the machine is being kept awake, for the
** trace ("logind sleep inhibitor", or why none could be taken). */
const char *pal_keep_awake_text(void);

/* ---------------------------------------------------------------- threads */

typedef void *pal_thread;          /* a thread handle; null when none */
typedef long pal_tid;              /* a system thread identifier */

/* CreateThread: starts entry(arg) on a new thread with an initial stack of
** `stack` bytes (the platform may reserve more, as Windows reserves 1 MiB
** whatever it commits).  Before entry runs, the new thread stores its own
** identifier into *id when id is not null.  Returns the handle, or null with
** pal_last_error set. */
pal_thread pal_thread_create(size_t stack, int (*entry)(int), int arg, pal_tid *id);

/* The calling thread's own handle. */
pal_thread pal_thread_self(void);

/* CloseHandle on a thread handle.  The thread goes on running. */
void pal_thread_close(pal_thread h);

/* The calling thread's system identifier (never 0). */
pal_tid pal_thread_id(void);

/* Sleep(ms). */
void pal_sleep(unsigned ms);

/* ------------------------------------------------------------------ time */

/* GetTickCount: milliseconds since an arbitrary start, wrapping at 2^32. */
uint32_t pal_ticks(void);
/* The calendar time in seconds since 1970. */
time_t pal_time(void);
/* The local time broken down; thread-safe. */
void pal_localtime(time_t t, struct tm *out);

/* ----------------------------------------------------------------- files */

/* Lists a folder given by its UTF-8 path: each(ctx, name, is_folder) for
** every entry but "." and "..".  Returns 1, or 0 when it cannot be listed. */
int pal_list_folder(const char *path, void (*each)(void *ctx, const char *name, int is_folder),
                    void *ctx);

/* The path rules of the platform's file system, for code that resolves a
** path by its names.  pal_is_separator: 1 when c separates folders ('/'
** everywhere; on Windows '\\' as well).  pal_path_root: the length of the
** root that starts path ("/" on POSIX; on Windows "C:/" or "C:\\", and "/"
** for the current drive's root), 0 for a relative path. */
int pal_is_separator(char c);
size_t pal_path_root(const char *path);

/* The wide-character file calls.  Paths are UTF-16 little-endian units
** (as the file layer builds them), NUL-terminated.  A file opened for
** writing or appending ("w", "a") is the server's account's alone
** (PAL_FILE_MODE, whatever the umask; an existing one loses its bits for
** others), and a folder made by pal_wmkdir is PAL_FOLDER_MODE. */
#define PAL_FILE_MODE   0600
#define PAL_FOLDER_MODE 0700
FILE *pal_wfopen(const uint16_t *path, const uint16_t *mode);
/* Opens path for binary reading as pal_wfopen(path, "rb") does, and where
** the system allows, so that reading does not move the file's access time:
** *untouched is then 1, else 0. */
FILE *pal_wfopen_untouched(const uint16_t *path, int *untouched);
/* Writes len bytes of data as the whole file path, made or replaced as
** pal_wfopen(path, "wb") would, in fewer calls than a stream takes.  0 when
** every byte went and the file closed well; else -1 with the error for
** pal_last_error, and the file removed, so no half-written file stays. */
int pal_wwrite_file(const uint16_t *path, const void *data, size_t len);

/* The status record of the wide status call (the fields the system reads). */
struct pal_stat {
    int64_t  st_size;
    unsigned st_mode;      /* type bits: 0x4000 folder, 0x8000 file, mask 0xF000 */
    time_t   mtime;        /* times in seconds since 1970 (named apart from the */
    time_t   atime;        /* POSIX fields, which are macros on some systems) */
    time_t   ctime;
    uint64_t dev, ino;     /* the file's identity: its device and its number
                           ** there; both 0 where the platform cannot tell */
};
#define PAL_S_IFMT  0xF000
#define PAL_S_IFDIR 0x4000
#define PAL_S_IFREG 0x8000

int pal_wstat(const uint16_t *path, struct pal_stat *st);
/* The status of an open stream's file; -1 when it has none. */
int pal_fstat(FILE *f, struct pal_stat *st);
int pal_wmkdir(const uint16_t *path);
int pal_wchmod(const uint16_t *path, unsigned mode);
int pal_wremove(const uint16_t *path);
int pal_wchdir(const uint16_t *path);
int pal_wrename(const uint16_t *from, const uint16_t *to);

/* A wide folder listing, as _wopendir/_wreaddir give it: the name is
** UTF-16 little-endian; the file layer converts it in place to UTF-8, so the
** buffer is large enough for either form. */
struct pal_wdirent {
    unsigned short d_namlen;            /* units, or bytes after conversion */
    unsigned char d_link;               /* 1 when the entry is a symbolic link */
    unsigned char d_kind;               /* what the listing says it is (PAL_DK_...) */
    char d_name[1024 * 3 + 4];
};
/* d_kind: a walk that only wants folders skips PAL_DK_FILE entries without
** a status call; PAL_DK_UNKNOWN (a link, or a file system that does not say)
** needs one. */
enum { PAL_DK_UNKNOWN = 0, PAL_DK_FOLDER = 1, PAL_DK_FILE = 2 };
struct pal_wdir;
pal_wdir *pal_wopendir(const uint16_t *path);
pal_wdirent *pal_wreaddir(pal_wdir *d);
int pal_wclosedir(pal_wdir *d);
/* The status of the entry pal_wreaddir gave last from d, found from the
** folder without a walk of its whole path and from the name as the system
** gave it; -1 when it has none (or no entry was read). */
int pal_wstat_last(pal_wdir *d, struct pal_stat *st);

/* A nameless stream, open for writing and reading as a temporary file is,
** gone at fclose.  Where it is held in memory (POSIX) it grows up to limit
** bytes, a write past that failing and setting the stream's error, and it
** has no descriptor; where it is a delete-on-close temporary file (Windows)
** it takes any length.  Null when no stream can be made. */
FILE *pal_memory_stream(size_t limit);

/* 64-bit file position and length. */
int pal_fseek64(FILE *f, int64_t off, int whence);
int64_t pal_ftell64(FILE *f);
int64_t pal_filelength64(FILE *f);

/* The real form of path: absolute, with every link, "." and ".." resolved,
** in the file system's own bytes with "/" separators, into out (size
** bytes).  Returns 1, or 0 when a part of it is missing or cannot be
** read, or the result does not fit. */
int pal_wrealpath(const uint16_t *path, char *out, size_t size);

/* Sets a file's modification and access times. */
int pal_set_file_times(const uint16_t *path, time_t atime, time_t mtime);

/* ------------------------------------------------- whole-file replacement */

/* What the profile engine (pal/common/profile.cpp) needs of the file system
** to read a file whole and replace it atomically. */

/* The error codes the portable code sets and compares (pal_last_error's
** values for a missing file, a file too large, no memory, a busy resource). */
extern const int pal_err_not_found, pal_err_too_big, pal_err_no_memory, pal_err_busy;

/* Reads the plain file `file` into *out, at most max bytes (*cut set when
** there was more); *mode receives its permission bits.  Returns 1, or 0 with
** the error code set when the file is missing, unreadable or not a plain file
** (a folder or a pipe is never waited on). */
int pal_load_file(const char *file, std::string *out, size_t max, int *cut, unsigned *mode);

/* 1 with the file's permission bits in *mode when it exists, else 0. */
int pal_file_mode(const char *file, unsigned *mode);

/* The file a replacement of `file` replaces: the target of a symbolic link
** (so the link stays a link), otherwise the path as given. */
std::string pal_replace_target(const char *file);

/* Opens and locks the temporary file tmp beside the file to be replaced.  The
** name is fixed (a crash leaves at most one behind, which the next write
** reuses) and the lock keeps other processes from writing it at the same
** time.  Returns a handle, or -1 with the error code set. */
int pal_replace_lock(const char *tmp);

/* Writes the n bytes at data to the locked temporary h (the owner's bits of
** mode when keep_mode is set, else PAL_FILE_MODE), flushes it to the disk, renames it over target and
** flushes the folder.  Closes h; on failure removes tmp.  Returns 1, or 0 with
** the error code set. */
int pal_replace_commit(int h, const char *tmp, const char *target, const char *data, size_t n,
                       int keep_mode, unsigned mode);

/* Gives up a replacement: removes tmp and closes h, keeping the error code. */
void pal_replace_abandon(int h, const char *tmp);

/* -------------------------------------------------------------- profiles */

/* The private-profile (INI) functions, with the semantics of their Windows
** namesakes GetPrivateProfileStringA, GetPrivateProfileSectionA and
** WritePrivateProfileStringA: sections and keys match without regard to case;
** values are trimmed of blanks and of one pair of enclosing quotes; lines end
** in CRLF.  `file` is a path in the platform's own form. */

/* The most of a profile that is read.  A longer file is read up to here; a
** write to one fails rather than cut it. */
#define PAL_PROFILE_MAX_BYTES (64u * 1024u * 1024u)

/* The value of key in section, or def when missing; cut to size - 1
** characters.  Returns the number of characters copied. */
unsigned long pal_get_private_profile_string(const char *section, const char *key,
                                             const char *def, char *buf,
                                             unsigned long size, const char *file);

/* The section's lines as "key=value\0...\0\0" (comments and blank lines
** left out), filled exactly as Windows fills a buffer that is too small:
** the return is size - 2 when the section did not fit. */
unsigned long pal_get_private_profile_section(const char *section, char *buf,
                                              unsigned long size, const char *file);

/* Writes key = value into section: a null key deletes the whole section, a
** null value deletes the key; a new key goes at the end of its section, a new
** section at the end of the file.  The file is replaced atomically (written
** beside, then renamed over), and two threads never interleave their
** rewrites.  Returns 1 on success, 0 on failure. */
int pal_write_private_profile_string(const char *section, const char *key,
                                     const char *value, const char *file);

/* Replaces the whole of section with the entries of list ("key=value\0...
** \0\0"), written at the end of the file; an empty list deletes it.  Returns
** 1 on success, 0 on failure. */
int pal_write_private_profile_section(const char *section, const char *list,
                                      const char *file);

/* Groups the calling thread's writes to file into one replacement: until
** pal_profile_end, its writes and reads of file work on a copy in memory and
** other threads' writes to file wait; the end replaces the file once,
** atomically, so a crash in the middle of a whole save leaves the old file.
** Batches do not nest.  Both return 1 on success, 0 on failure (a failed
** begin opens no batch). */
int pal_profile_begin(const char *file);
int pal_profile_end(const char *file);

/* ---------------------------------------------------------------- sockets */

/* Sockets are small positive numbers; PAL_INVALID_SOCKET on failure. */
typedef int pal_socket;
#define PAL_INVALID_SOCKET (-1)
#define PAL_SOCKET_ERROR   (-1)

#define PAL_AF_INET      2
#define PAL_SOCK_STREAM  1
#define PAL_SOCK_DGRAM   2
#define PAL_SOL_SOCKET   0xFFFF
#define PAL_SO_REUSEADDR 0x0004
#define PAL_SO_RCVTIMEO  0x1006
#define PAL_SO_SNDTIMEO  0x1005
#define PAL_SO_LINGER    0x0080
#define PAL_IPPROTO_IP   0
#define PAL_IP_MULTICAST_IF   9
#define PAL_IP_MULTICAST_TTL  10
#define PAL_IP_MULTICAST_LOOP 11
#define PAL_IP_ADD_MEMBERSHIP 12

/* Windows Sockets error numbers the code tests or reports by name (the
** platform's table maps its own error codes to these numbers). */
#define PAL_WSABASEERR         10000   /* the first of them */
#define PAL_WSAEINTR           10004
#define PAL_WSAEBADF           10009
#define PAL_WSAEFAULT          10014
#define PAL_WSAEINVAL          10022
#define PAL_WSAEMFILE          10024
#define PAL_WSAEWOULDBLOCK     10035
#define PAL_WSAENOTSOCK        10038
#define PAL_WSAEMSGSIZE        10040
#define PAL_WSAENOPROTOOPT     10042
#define PAL_WSAESOCKTNOSUPPORT 10044
#define PAL_WSAEAFNOSUPPORT    10047
#define PAL_WSAECONNABORTED    10053
#define PAL_WSAECONNRESET      10054
#define PAL_WSAENOBUFS         10055
#define PAL_WSAETIMEDOUT       10060
#define PAL_WSAHOST_NOT_FOUND  11001
#define PAL_WSATRY_AGAIN       11002
#define PAL_WSANO_DATA         11004   /* the last of the name lookup's */

/* WSAStartup(2.2).  Returns 0 on success. */
int pal_wsa_startup(void);

pal_socket pal_socket_open(int af, int type, int proto);
int pal_closesocket(pal_socket s);
/* shutdown(SD_BOTH): no more sends or receives on s. */
int pal_shutdown(pal_socket s);
/* setsockopt with the Windows level and option numbers above; value is an
** int (or, for the time-outs, milliseconds as an int; for SO_LINGER the
** seconds a close waits for unsent data, 0 to reset the connection at once,
** negative not to linger). */
int pal_setsockopt(pal_socket s, int level, int opt, const void *val, int len);
/* Addresses are IPv4 host-order numbers a<<24|b<<16|c<<8|d. */
int pal_bind(pal_socket s, uint32_t addr, int port);
int pal_listen(pal_socket s, int backlog);
/* Returns the new socket or PAL_INVALID_SOCKET; fills the peer when asked. */
pal_socket pal_accept(pal_socket s, uint32_t *peer, int *port);
/* On a non-blocking socket a connect under way fails with WSAEWOULDBLOCK. */
int pal_connect(pal_socket s, uint32_t addr, int port);
/* Waits up to ms milliseconds (negative: no bound) for a connect under way:
** 1 connected, 0 not yet, -1 failed. */
int pal_connect_wait(pal_socket s, int ms);
/* A blocking connect that gives up after ms milliseconds (WSAETIMEDOUT). */
int pal_connect_within(pal_socket s, uint32_t addr, int port, int ms);
/* send and recv; send never raises SIGPIPE.  Return the count or -1. */
int pal_send(pal_socket s, const void *buf, int len);
int pal_recv(pal_socket s, void *buf, int len);
/* sendto and recvfrom for datagrams.  A datagram longer than the buffer
** fills it and fails with PAL_WSAEMSGSIZE; its rest is lost. */
int pal_sendto(pal_socket s, const void *buf, int len, uint32_t addr, int port);
int pal_recvfrom(pal_socket s, void *buf, int len, uint32_t *addr, int *port);
int pal_getsockname(pal_socket s, uint32_t *addr, int *port);
int pal_getpeername(pal_socket s, uint32_t *addr, int *port);
/* ioctlsocket(FIONBIO). */
int pal_set_nonblocking(pal_socket s, int on);
/* select() on one socket for reading: >0 readable, 0 time-out, <0 error. */
int pal_wait_readable(pal_socket s, int sec, int usec);
/* 1 when the peer of the connected socket s has closed or reset the
** connection (bytes it sent before stay unread), else 0.  Does not wait. */
int pal_peer_closed(pal_socket s);
/* Sends what it can of len bytes within ms milliseconds: the count sent
** (1 or more), 0 when the peer took nothing in that time, -1 on failure.
** Never raises SIGPIPE. */
int pal_send_some(pal_socket s, const void *buf, int len, int ms);
/* What pal_send_file asks after each wait of ms milliseconds in which the
** peer took nothing; waited counts those waits in a row.  0 gives up. */
typedef int (*pal_send_wait_fn)(void *ctx, int waited);
/* pal_send_file's answer when the stream cannot be sent that way (it has
** no file behind it, or the system refuses that file): nothing was sent,
** and the caller reads and sends it instead. */
#define PAL_SEND_FILE_REFUSED (-2)
/* Sends len bytes of the open stream f, from its byte off (the stream's
** own position is not used), to s without a copy through
** the program: sendfile on Linux, TransmitFile on Windows.  Whenever the
** peer takes nothing for ms milliseconds, keep_waiting(ctx, waited) says
** whether to wait on.  Returns the bytes sent, fewer than len only when the
** file ends sooner; -1 on a socket failure or when keep_waiting gave up
** (pal_socket_error says why); or PAL_SEND_FILE_REFUSED.  Never raises
** SIGPIPE. */
long long pal_send_file(pal_socket s, FILE *f, long long off, long long len, int ms,
                        pal_send_wait_fn keep_waiting, void *ctx);
/* WSAGetLastError: the Windows Sockets number of the calling thread's last
** socket failure (ECONNRESET is 10054 on every platform). */
int pal_socket_error(void);
void pal_set_socket_error(int err);

/* gethostname. */
int pal_gethostname(char *buf, int size);

/* gethostbyname, IPv4 only.  For the host's own name the answer is the
** addresses of the interfaces that are up, loopback last (only loopback when
** there is nothing else), as Windows answers for its own name. */
#define PAL_MAX_HOST_ADDRS 100
#define PAL_MAX_ALIASES    8
struct pal_hostent {
    char     h_name[256];
    char     h_aliases[PAL_MAX_ALIASES][256];
    int      h_nalias;
    int      h_addrtype;
    int      h_length;
    uint32_t h_addrs[PAL_MAX_HOST_ADDRS];
    int      h_naddr;
};
/* 1 on success, 0 on failure (pal_socket_error then says why). */
int pal_gethostbyname(const char *name, pal_hostent *out);

/* ---------------------------------------------------------------- signals */

/* Installs handler for the fault signals and the others that the crash
** report names, and gives the calling thread an alternate stack for it, so a
** thread whose stack overflows is reported too.  Every thread that can fault
** calls it once.
** The handler receives the Windows-style number of the signal (SIGSEGV is 11,
** SIGABRT 22, SIGBUS 105; see pal_signal_number). */
void pal_signal_setup(void (*handler)(int));
/* Maps a platform signal to the Windows-style number of the crash report. */
int pal_signal_number(int platform_signal);

/* ----------------------------------------------------- dialog manager */

/* Window handles and messages, with the Windows message numbers. */
struct pal_window;
typedef pal_window *HWND;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t (*pal_dlgproc)(HWND, unsigned, WPARAM, LPARAM);

#define PAL_WM_DESTROY     0x0002
#define PAL_WM_CLOSE       0x0010
#define PAL_WM_QUIT        0x0012
#define PAL_WM_INITDIALOG  0x0110
#define PAL_WM_COMMAND     0x0111
#define PAL_WM_SYSCOMMAND  0x0112
#define PAL_WM_USER        0x0400
#define PAL_SC_MINIMIZE    0xF020
#define PAL_SC_MONITORPOWER 0xF170
#define PAL_WM_LBUTTONUP   0x0202
#define PAL_SW_HIDE        0
#define PAL_SW_SHOWNORMAL  1
#define PAL_BM_CLICK       0x00F5

/* Notification codes, in the high word of a WM_COMMAND's wParam (the low
** word is the control id). */
#define PAL_BN_CLICKED     0
#define PAL_CBN_SELCHANGE  1
#define PAL_CBN_KILLFOCUS  4
#define PAL_CBN_EDITCHANGE 5
#define PAL_EN_CHANGE      0x0300
#define PAL_MAKEWPARAM(id, code) ((WPARAM)(((unsigned)(code) << 16) | ((unsigned)(id) & 0xFFFF)))

/* Control kinds of a dialog template.  A label or group box has id -1. */
enum pal_control_kind {
    PAL_CTL_STATIC, PAL_CTL_PICTURE, PAL_CTL_BUTTON, PAL_CTL_CHECKBOX,
    PAL_CTL_EDIT, PAL_CTL_COMBO, PAL_CTL_PROGRESS, PAL_CTL_GROUP
};
/* Control styles: an edit that takes digits only, one that shows its text
** masked, a combo that keeps its list sorted (letter case ignored). */
#define PAL_ES_NUMBER   0x0001
#define PAL_ES_PASSWORD 0x0002
#define PAL_CBS_SORT    0x0004
struct pal_control {
    int id;
    pal_control_kind kind;
    const char *text;
    int x, y, w, h;               /* place and size in dialog units */
    unsigned style;
    int limit;                    /* most characters the user may type; 0 = no limit */
};
struct pal_dialog_template {
    int id;                       /* the dialog's resource number */
    const char *caption;
    const char *font;
    int font_size, width, height; /* dialog units */
    const pal_control *controls;
    int count;
};

/* DialogBoxParam: creates the dialog, sends it WM_INITDIALOG and runs its
** modal loop on the calling thread until EndDialog or a quit message.
** Returns the EndDialog result, 0 after a quit, -1 if it could not be
** created. */
intptr_t pal_dialog_box(const pal_dialog_template *t, HWND owner, pal_dlgproc proc);
/* EndDialog: the modal loop ends after the current message. */
int pal_end_dialog(HWND w, intptr_t result);
/* DestroyWindow: the window receives WM_DESTROY and its controls go. */
int pal_destroy_window(HWND w);
/* PostQuitMessage on the calling thread's modal loop. */
void pal_post_quit_message(int code);
/* SendMessage: runs the dialog procedure on the dialog's own thread and
** returns its result; from another thread the caller waits until it has
** run.  A null or ended window answers 0 at once. */
intptr_t pal_send_message(HWND w, unsigned msg, WPARAM wp, LPARAM lp);
/* PostMessage: queues the message and returns at once (1, or 0 if the
** window is gone). */
int pal_post_message(HWND w, unsigned msg, WPARAM wp, LPARAM lp);
/* Dispatches every message waiting for the calling thread's dialogs
** (PeekMessage/DispatchMessage) and returns at once. */
void pal_pump_messages(void);

int pal_set_window_text(HWND w, const char *text);
int pal_show_window(HWND w, int mode);
int pal_set_dlg_item_text(HWND w, int id, const char *text);
/* GetDlgItemText: the text, cut to size - 1; returns its length. */
int pal_get_dlg_item_text(HWND w, int id, char *buf, int size);
int pal_check_dlg_button(HWND w, int id, int state);
int pal_is_dlg_button_checked(HWND w, int id);
/* CB_ADDSTRING: appends text to the list, or inserts it in order in a sorted
** combo; returns its index, -1 on failure. */
int pal_combo_add(HWND w, int id, const char *text);
/* CB_SETCURSEL: selects the item (its text becomes the field's); -1 clears. */
int pal_combo_select(HWND w, int id, int index);
int pal_combo_selected(HWND w, int id);
/* CB_FINDSTRING: the first item that begins with text, letter case ignored,
** or -1. */
int pal_combo_find(HWND w, int id, const char *text);
/* CB_DELETESTRING: removes the item; returns the items left, -1 on failure. */
int pal_combo_delete(HWND w, int id, int index);
int pal_combo_count(HWND w, int id);
/* CB_GETLBTEXT: the item's text cut to size - 1; its length, -1 if none. */
int pal_combo_item(HWND w, int id, int index, char *buf, int size);
int pal_progress_range(HWND w, int id, int lo, int hi);
int pal_progress_pos(HWND w, int id, int pos);

/* The tray icon: shown (1) or removed (0).  Returns 0 if its icon cannot be
** loaded. */
int pal_tray_icon(HWND w, int show, const char *tip, unsigned callback_msg);

/* MessageBox, system-modal, OK button.  Returns the button pressed (1 = OK).
** Called on a dialog's thread, the dialogs keep answering while it waits. */
int pal_message_box(HWND owner, const char *text, const char *caption);

/* The folder picker: the front end lets the user choose a folder (and with
** files set, a file as well) below the machine's folders.  The full path
** goes to out; returns 1 on a choice, 0 when there is none (out empty).  The
** dialogs keep answering while it waits. */
int pal_pick_path(HWND owner, const char *title, int files, char *out, int size);

/* What a user does to a control, as a front end reports it.  The change is
** made and the dialog procedure told (a WM_COMMAND with the control's
** notification) on the dialog's own thread, after the messages already
** queued; the call returns at once. */
enum pal_input {
    PAL_IN_CLICK,        /* a button pressed or a check box toggled */
    PAL_IN_TEXT,         /* an edit's or a combo's field typed: value */
    PAL_IN_SELECT,       /* a combo's list item chosen: value is its index */
    PAL_IN_BLUR,         /* a combo loses the focus */
    PAL_IN_MINIMIZE,     /* the window's minimize box */
    PAL_IN_RESTORE,      /* a click on the tray icon */
    PAL_IN_CLOSE         /* the window's close box */
};
/* Errors of pal_user_input (0 = taken). */
#define PAL_IN_NO_WINDOW  (-1)   /* no live dialog with that id */
#define PAL_IN_NO_CONTROL (-2)   /* the dialog has no such control */
#define PAL_IN_BAD_INPUT  (-3)   /* not an input the control takes */
#define PAL_IN_BAD_VALUE  (-4)   /* a value the control refuses */
#define PAL_IN_BUSY       (-5)   /* a message box or picker waits for its answer */
int pal_user_input(int dialog, int id, pal_input what, const char *value);

/* ------------------------------------------------------------- front end */

/* A front end draws the dialogs: it learns of every change and answers
** message boxes.  The headless front end writes status lines to standard
** output and boxes to standard error, and answers OK at once. */
struct pal_front_end {
    void (*dialog_opened)(HWND w, const pal_dialog_template *t);
    void (*dialog_closed)(HWND w);
    void (*control_changed)(HWND w, int id, const char *text);
    void (*caption_changed)(HWND w, const char *text);
    void (*window_shown)(HWND w, int mode);
    void (*tray)(HWND w, int shown, const char *tip);
    int  (*message_box)(const char *text, const char *caption);
    int  (*pick_path)(const char *title, int files, char *out, int size);
};
void pal_set_front_end(const pal_front_end *fe);
const pal_front_end *pal_headless_front_end(void);

/* The server control that the front ends drive: the buttons of the main
** dialog as calls.  The program registers it at start-up (null before);
** a front end may call it from any thread.  Each call is carried out on the
** main dialog's thread, one after the other, and returns when it has run:
**   start    starts the server (a due library import first); 1, or 0 when
**            it already runs
**   stop     stops the server; 1, or 0 when it was not running
**   connect  launches the channel on the players; 1, or 0 while the last
**            launch still runs (the call then does nothing)
**   exit     saves the configuration and ends the program with exit code
**            code
**   active   1 while the server is started, 0 when stopped (this one is
**            answered at once, on the caller's thread)
** The main dialog's Start button shows the server's state whichever road
** changed it. */
struct pal_server_control {
    int (*start)(void);
    int (*stop)(void);
    int (*connect)(void);
    void (*exit)(int code);
    int (*active)(void);
};
void pal_set_server_control(const pal_server_control *c);
const pal_server_control *pal_server_control_get(void);

/* The headless front end prints the activity counters, when only their
** numbers moved, at most once in this many milliseconds (a minute unless
** set). */
void pal_headless_counters_every(int ms);

/* The main dialog (the first one opened) from the moment it opens until it
** is destroyed, else null.  Messages sent to it before its opening message
** has run wait for it. */
HWND pal_main_window(void);

/* The template id of a live dialog, -1 for a null or destroyed one. */
int pal_dialog_id(HWND w);

/* The local web panel front end: serves the dialogs on addr:port (port 0
** picks a free one; a busy port falls back to a free one) and prints its
** address with the access token to standard output.  The address is also
** written to kept_file (mode 0600; null or "" for none), whose token the
** next start takes up again, until the owner renews it from the page.
** Returns 1 when it listens (it then is the front end), 0 when it could not
** start. */
int pal_panel_start(const char *addr, int port, const char *kept_file);

/* The panel's status view: what the server sees, gathered by the program
** above this layer and drawn beside the dialogs.  Every field is a copy the
** gatherer made; the panel only reads it. */
struct pal_status_player {
    std::string address;      /* dotted IP */
    std::string name;         /* the player's own name, "" while unknown */
    long seen;                /* seconds since it was last heard */
};
struct pal_status_stream {
    int number;
    std::string movie;        /* the movie file it was started for */
    int segments;             /* segments made so far */
    int vlc;                  /* 1 while VLC runs for it */
};
struct pal_status_folder {
    std::string title, path;
    long files;               /* files below it, -1 when not counted */
    int more;                 /* counting stopped at files */
    int reachable;            /* 1 when the folder can be read */
};
struct pal_status_view {
    int running = 0;          /* the server is started */
    std::vector<pal_status_player> players;
    std::vector<std::string> devices;     /* description URLs of other devices heard */
    std::vector<pal_status_stream> streams;
    std::vector<std::string> requests;    /* last access-log lines, oldest first */
    std::vector<std::string> trace;       /* last trace lines, oldest first */
    std::vector<pal_status_folder> folders;
    std::vector<std::string> prompts;     /* field texts that are prompts, not values */
    int connect_dialog = 0, connect_control = 0;   /* the button that launches on every player */
};
/* The gatherer and the two actions the view offers.  gather runs on a panel
** thread, at most about once a second; launch starts the channel on the
** player at a dotted IP and stop ends live stream n, each answering 1 when
** done and 0 when there is no such player or stream. */
struct pal_status_source {
    void (*gather)(pal_status_view &v);
    int (*launch)(const char *ip);
    int (*stop)(int stream);
};
/* Registers the status view's source (once, at start-up; null for none). */
void pal_panel_status_source(const pal_status_source *src);

/* The panel's address when the configuration names none: loopback where
** the panel is the way to the dialogs, "off" on Windows, whose desktop shows
** the dialogs itself. */
const char *pal_panel_default_address(void);

#endif
