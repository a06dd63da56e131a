/*
** The track files of a music import, written by threads of their own (see
** track_files.h).
*/
#include "global.h"
#include "library/track_files.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "subs/files.h"
#include "subs/threads.h"
#include "subs/trace.h"

namespace {

struct Track_Text {
    std::string path, text;
    bool keep;
};

/* What the import and the writers share.  Every field is read and written
** under `lock` only.  Made once and never freed: the process may end while
** an import runs, and nothing may be destroyed under a writer. */
struct Shared {
    std::mutex lock;
    std::condition_variable more;   /* files to write, or the end asked for */
    std::condition_variable room;   /* a writer took the queue, or a writer ended */
    std::vector<Track_Text> queue;
    int running = 0;                /* writer threads serving this import */
    bool ending = false;            /* no more files come: write the rest, end */
    int err = 0;                    /* the first write error of this import */
};

Shared &shared(void)
{
    static Shared *s = new Shared;
    return *s;
}

/* Does the file at path hold exactly text?  old is the caller's buffer. */
bool same_file(const std::string &path, const std::string &text, std::vector<char> &old)
{
    FILE *f = My_fopen(path.c_str(), "rb");
    if (!f) return false;
    old.resize(text.size() + 1);
    size_t n = fread(old.data(), 1, old.size(), f);
    fclose(f);
    return n == text.size() && !memcmp(old.data(), text.data(), n);
}

/* Writes one file; 0 or the error. */
int write_one(const Track_Text &t, std::vector<char> &old)
{
    if (t.keep && same_file(t.path, t.text, old)) return 0;
    int err = Write_Whole(t.path.c_str(), t.text.data(), t.text.size());
    if (err) {
        const char *name = strrchr(t.path.c_str(), '/');
        Debug("* Failed to create %s !", name ? name + 1 : t.path.c_str());
    }
    return err;
}

/* Notes err as the import's error when it is the first. */
void note_error(Shared &s, int err)
{
    if (err && !s.err) s.err = err;
}

}  // namespace

void Track_Files_Begin(void)
{
    Shared &s = shared();
    {
        std::lock_guard<std::mutex> hold(s.lock);
        s.queue.clear();
        s.queue.reserve(TRACK_QUEUE);
        s.err = 0;
        s.ending = false;
        s.running = 0;
    }
    /* A program that gave the job no function writes the files itself, as
    ** when the table is full. */
    for (int i = 0; i < TRACK_WRITERS && Jobs[JOB_TRACKS]; i++) {
        {
            std::lock_guard<std::mutex> hold(s.lock);
            s.running++;
        }
        if (myfork(JOB_TRACKS, 0)) continue;
        std::lock_guard<std::mutex> hold(s.lock);
        s.running--;
        break;
    }
}

void Track_File(std::string path, std::string text, bool keep)
{
    Shared &s = shared();
    std::unique_lock<std::mutex> hold(s.lock);
    if (!s.running) {
        hold.unlock();
        std::vector<char> old;
        int err = write_one(Track_Text{std::move(path), std::move(text), keep}, old);
        hold.lock();
        note_error(s, err);
        return;
    }
    /* The writers end only when told to (Track_Files_End): one is there
    ** to empty the queue. */
    s.room.wait(hold, [&s] { return s.queue.size() < TRACK_QUEUE; });
    s.queue.push_back(Track_Text{std::move(path), std::move(text), keep});
    s.more.notify_one();
}

int Track_Files_End(void)
{
    Shared &s = shared();
    std::unique_lock<std::mutex> hold(s.lock);
    s.ending = true;
    s.more.notify_all();
    /* A writer ends only once the queue is empty. */
    s.room.wait(hold, [&s] { return s.running == 0; });
    return s.err;
}

int Track_Writer(int)
{
    WALK("Track_Writer");
    Shared &s = shared();
    std::vector<Track_Text> batch;
    std::vector<char> old;
    std::unique_lock<std::mutex> hold(s.lock);
    for (;;) {
        s.more.wait(hold, [&s] { return !s.queue.empty() || s.ending; });
        if (s.queue.empty()) break;
        /* The whole queue at once: the lock is taken once for many files,
        ** and the import may fill the queue again meanwhile. */
        batch.swap(s.queue);
        s.room.notify_one();
        hold.unlock();
        int err = 0;
        for (const Track_Text &t : batch) {
            int e = write_one(t, old);
            if (!err) err = e;
        }
        batch.clear();
        hold.lock();
        note_error(s, err);
    }
    s.running--;
    s.room.notify_all();
    return 0;
}
