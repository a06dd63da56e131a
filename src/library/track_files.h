/*
** The writing of the music import's track files.  Making tens of thousands
** of small files is most of an import's time, and nearly all of it is the
** file system's: threads of the table (job JOB_TRACKS) write them while the
** import reads on.  The import hands each file over whole and waits only
** when TRACK_QUEUE files are still to be written; when no thread can be had,
** each file is written at once by the caller.
**
** One import at a time uses this (Bld_Tables lets only one run), from one
** thread: Track_Files_Begin, then Track_File for each file, then
** Track_Files_End.
*/
#ifndef VELMORA_TRACK_FILES_H
#define VELMORA_TRACK_FILES_H

#include <string>

/* Files handed over and not yet written, at most: enough to keep the
** writers busy through the import's slower stretches, small enough that
** their texts hold little memory. */
#define TRACK_QUEUE 256

/* The writer threads.  New names in one folder are made one at a time (the
** folder is locked for each), but filling and closing the files are not: a
** second writer does that while the first makes the next name.  A third
** gained nothing on two cores. */
#define TRACK_WRITERS 2

/* Starts the writer threads for an import. */
void Track_Files_Begin(void);

/* Writes text as the whole file path, now or soon.  With keep set the file
** was there when the import began, and it is left alone when it holds
** exactly text already: reading a file is much cheaper than writing it. */
void Track_File(std::string path, std::string text, bool keep);

/* Waits until every file handed over is written and the writers have ended.
** Returns the first write error met since Track_Files_Begin (the file
** whose write failed is not left behind), or 0. */
int Track_Files_End(void);

/* The job of a writer thread (JOB_TRACKS); param is unused. */
int Track_Writer(int param);

#endif
