/*
** The file layer: UTF-8 paths with "/" separators over the platform's
** wide-character file calls, temporary files in the working folder and their
** clean-up, 64-bit positioning, and the message-pumping wait.
*/
#ifndef VELMORA_FILES_H
#define VELMORA_FILES_H

#include "global.h"

typedef pal_stat My_Stat_Buf;
typedef pal_wdir MY_DIR;
typedef pal_wdirent my_dirent;

/* Opens path (UTF-8) with mode; the open file or null. */
FILE *My_fopen(const char *path, const char *mode);

/* Opens path (UTF-8) for binary reading without moving its access time
** where the system allows: *untouched is then 1, else 0. */
FILE *My_fopen_untouched(const char *path, int *untouched);

/* Status of path (UTF-8) into st; 0 when it exists. */
int My_stat(const char *path, My_Stat_Buf *st);

/* Lists the folder path (UTF-8); the listing or null. */
MY_DIR *My_opendir(const char *path);

/* The next entry with its name in UTF-8, or null at the end. */
my_dirent *My_readdir(MY_DIR *dir);
int My_closedir(MY_DIR *dir);
/* The status of the entry My_readdir gave last from dir, as My_stat of the
** folder's path, "/" and its name would give it, but cheaper: the folder is
** not looked up again and the name not converted back. */
int My_stat_entry(MY_DIR *dir, My_Stat_Buf *st);

/* Creates a folder, removes and renames files (UTF-8 paths). */
int My_mkdir(const char *path);
int My_remove(const char *path);
int My_rename(const char *from, const char *to);
int My_chdir(const char *path);
int My_chmod(const char *path, unsigned mode);

/* The real form of path (UTF-8) into out (size bytes): absolute, with
** every link, "." and ".." resolved.  1, or 0 when a part of it is missing
** or cannot be read. */
int My_realpath(const char *path, char *out, size_t size);

/* 1 when path (UTF-8) is a folder. */
int is_folder(const char *path);

/* Closes f, written at path: 0 when every write and the close went well;
** else the error, and the file is removed, so no half-written file stays. */
int Close_Written(FILE *f, const char *path);

/* Writes len bytes of data as the whole file path (UTF-8), made or
** replaced: 0 when it was written whole; else the error, as Close_Written
** gives it, and no file is left. */
int Write_Whole(const char *path, const void *data, size_t len);

/* A new temporary file "Roku-..." in Roku_Path, open "wb+".  Names stay
** unique when two threads ask in the same millisecond.  Null when no file
** could be made for a second. */
FILE *get_temp_file(void);

/* Removes the file of a stream from get_temp_file that is no longer needed
** by name; the stream stays readable until closed. */
void Temp_Release(FILE *f);

/* Deletes up to 11 temporary files from Roku_Path. */
void Drop_Temp(void);

/* Positions f with a 64-bit offset; whence 0 start, 1 current, 2 end.  0 on
** success; another whence sets errno 22 and returns -1. */
int My_fseek64(FILE *f, int64_t off, int whence);

/* Dispatches the calling thread's waiting window messages, then waits ms
** milliseconds.  Returns 0. */
int wSleep(unsigned ms, void *handle = nullptr);

/* The folder or file a music library location names, given the text after
** its "file://localhost/".  A Windows library writes a drive path ("C:/...")
** and a network share keeps its own leading "/"; the library of a Mac or a
** Linux machine writes "Users/..." or "home/...", whose root "/" the cut
** removed, so it is put back.  Writes at most size - 1 characters to out. */
void lib_path(const char *rest, char *out, size_t size);

#endif
