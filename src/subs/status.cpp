/*
** The status port's calls: each goes to the registered front end, or does
** what a process without windows would.
*/
#include "global.h"
#include "subs/status.h"

static std::atomic<const status_port *> port{nullptr};

void Status_Register(const status_port *p) { port.store(p); }

void Status_Line(status_line which, const char *text)
{
    const status_port *p = port.load();
    if (p && p->line) p->line(which, text);
}

void Status_Progress_Range(int lo, int hi)
{
    const status_port *p = port.load();
    if (p && p->progress_range) p->progress_range(lo, hi);
}

void Status_Progress(int pos)
{
    const status_port *p = port.load();
    if (p && p->progress_pos) p->progress_pos(pos);
}

int Status_Box(const char *text, const char *caption)
{
    const status_port *p = port.load();
    if (p && p->message_box) return p->message_box(text, caption);
    return pal_message_box(nullptr, text, caption);
}

void Status_Pick_Path(const char *title, char *out, int files, size_t size)
{
    if (out && size) out[0] = 0;
    const status_port *p = port.load();
    if (p && p->pick_path) p->pick_path(title, out, files, size);
}

void Status_Import_Due(void)
{
    const status_port *p = port.load();
    if (p && p->import_due) p->import_due();
}
