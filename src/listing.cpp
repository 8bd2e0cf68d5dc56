// listing.cpp - reads jobs out of a queue listing, for LPR_FindJob: the one place where
// the forms that servers answer a queue request with are known.
//
// The forms read are tables under a heading line that starts with "Rank" and names an
// owner column and a "Job" column, one entry per line:
//   Rank   Owner      Job  Files                                 Total Size
//   1st    alice      350  report.txt                            20282 bytes
// (BSD lpd, cups-lpd and vexlolpd in the short form, LPRng in the long form with its
// "Owner/ID" column, "alice@host+350", and "Size Time" at the end).  An empty queue is
// "no entries", or LPRng's "no printable jobs in queue" or "lp@host  0 jobs"; LPRng's
// short form, "lp@host  3 jobs", counts jobs without naming them and tells nothing.
// LPRng keeps the last finished job listed, ranked "done": it has left the queue.  A
// server may hide owners from a listing asked for over the network (cups-lpd, where
// CUPS keeps job values private, lists "(null)" and "untitled"): a job looked for by
// its owner or name cannot be told from the others there.
#include <string.h>

#include "lprws.h"

namespace vx {

namespace {

constexpr int MAX_TOKENS = 64;

// One line of the listing cut into words.
struct Words {
    const char *start[MAX_TOKENS];
    size_t length[MAX_TOKENS];
    int count;

    explicit Words(const char *line) : count(0)
    {
        const char *p = line;
        while (count < MAX_TOKENS) {
            while (*p == ' ' || *p == '\t' || *p == '\r')
                p++;
            if (*p == '\0')
                break;
            start[count] = p;
            while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\r')
                p++;
            length[count] = static_cast<size_t>(p - start[count]);
            count++;
        }
    }
    bool Is(int i, const char *word) const
    {
        return i < count && length[i] == strlen(word) && memcmp(start[i], word, length[i]) == 0;
    }
    bool StartsWith(int i, const char *word) const
    {
        return i < count && length[i] >= strlen(word) && memcmp(start[i], word, strlen(word)) == 0;
    }
    int Find(const char *prefix) const
    {
        for (int i = 0; i < count; i++)
            if (StartsWith(i, prefix))
                return i;
        return -1;
    }
    // The whole decimal number of word i, or -1.
    long Number(int i) const
    {
        if (i >= count || length[i] == 0 || length[i] > 9)
            return -1;
        long n = 0;
        for (size_t k = 0; k < length[i]; k++) {
            char c = start[i][k];
            if (c < '0' || c > '9')
                return -1;
            n = n * 10 + (c - '0');
        }
        return n;
    }
    // The words from `first` up to (not including) `last` as they stand in the line.
    void Span(int first, int last, const char **text, size_t *n) const
    {
        *text = first < last ? start[first] : "";
        *n = first < last ? static_cast<size_t>(start[last - 1] + length[last - 1] - start[first]) : 0;
    }
};

// The columns of a table, from its heading.
struct Columns {
    int owner = -1;
    int job = -1;
};

bool ReadHeading(const Words &w, Columns *columns)
{
    if (!w.Is(0, "Rank"))
        return false;
    int owner = w.Find("Owner");
    int job = -1;
    for (int i = 1; i < w.count; i++)
        if (w.Is(i, "Job"))
            job = i;
    if (owner < 0 || job < 0)
        return false;
    columns->owner = owner;
    columns->job = job;
    return true;
}

// An empty queue, said in words; `counted` is set by a count of jobs ("lp@host  3 jobs").
bool SaysEmpty(const Words &w, long *counted)
{
    if (w.count == 2 && w.Is(0, "no") && w.Is(1, "entries"))
        return true;
    for (int i = 0; i + 4 < w.count + 1; i++)
        if (w.Is(i, "no") && w.Is(i + 1, "printable") && w.Is(i + 2, "jobs") && w.Is(i + 3, "in") &&
            w.Is(i + 4, "queue"))
            return true;
    if (w.count >= 3 && (w.Is(2, "jobs") || w.Is(2, "job")) && w.Number(1) >= 0 &&
        memchr(w.start[0], '@', w.length[0]) != nullptr) {
        *counted = w.Number(1);
        return *counted == 0;
    }
    return false;
}

bool SameText(const char *a, size_t n, const char *b) { return strlen(b) == n && memcmp(a, b, n) == 0; }

bool OwnerHidden(const Words &w, int column) { return w.Is(column, "(null)"); }

// The owner column holds the user, or (LPRng) "user@host+number".
bool OwnedBy(const Words &w, int column, const char *owner)
{
    if (owner == nullptr)
        return true;
    const char *text = w.start[column];
    size_t n = w.length[column];
    const char *at = static_cast<const char *>(memchr(text, '@', n));
    return SameText(text, at != nullptr ? static_cast<size_t>(at - text) : n, owner);
}

// The file column shows the job's name, its path's last part, or the start of either
// where the column is too narrow for the whole.
bool ShowsName(const char *shown, size_t n, const char *name)
{
    const char *base = name; // behind the last separator, of POSIX or Windows paths
    for (const char *p = name; *p != '\0'; p++)
        if ((*p == '/' || *p == '\\') && p[1] != '\0')
            base = p + 1;
    constexpr size_t SHORTEST_CUT = 8; // fewer letters than this say too little
    const char *candidates[] = {name, base};
    for (const char *candidate : candidates) {
        size_t whole = strlen(candidate);
        if (n == whole && memcmp(shown, candidate, n) == 0)
            return true;
        if (n >= SHORTEST_CUT && n < whole && memcmp(shown, candidate, n) == 0)
            return true;
    }
    return false;
}

void FillEntry(const Words &w, long number, DWORD position, LPR_JOBENTRY *entry)
{
    entry->jobnumber = static_cast<DWORD>(number);
    entry->position = position;
    size_t n = w.length[0] < sizeof entry->rank - 1 ? w.length[0] : sizeof entry->rank - 1;
    memcpy(entry->rank, w.start[0], n);
    entry->rank[n] = '\0';
}

} // namespace

int FindJob(const char *listing, DWORD jobnumber, const char *owner, const char *name, LPR_JOBENTRY *entry)
{
    bool anything = false;
    bool read = false; // a table's heading, or an empty queue said in words
    bool found = false;
    bool byname = false;
    bool hidden = false; // an entry whose owner the server does not show
    Columns columns;
    DWORD position = 0;
    for (const char *line = listing; *line != '\0'; line += strlen(line) + 1) {
        Words w(line);
        if (w.count == 0)
            continue;
        anything = true;
        long counted = -1;
        if (ReadHeading(w, &columns) || SaysEmpty(w, &counted)) {
            read = true;
            continue;
        }
        // An entry: a rank, the job's number in its column, and its file and size after
        // it; anything else in a table (status lines, a printer's heading) is passed by.
        long number = columns.job >= 0 && w.count >= columns.job + 3 ? w.Number(columns.job) : -1;
        if (number < 0 || w.start[0][w.length[0] - 1] == ':' || w.Is(0, "done"))
            continue;
        position++;
        hidden = hidden || OwnerHidden(w, columns.owner);
        if (found || !OwnedBy(w, columns.owner, owner))
            continue;
        if (static_cast<DWORD>(number) == jobnumber) {
            FillEntry(w, number, position, entry);
            found = true;
            continue;
        }
        const char *files;
        size_t n;
        w.Span(columns.job + 1, w.count - 2, &files, &n);
        if (name != nullptr && ShowsName(files, n, name)) {
            FillEntry(w, number, position, entry); // the last such entry: the newest job
            byname = true;
        }
    }
    if (found || byname)
        return LPR_FIND_LISTED;
    if (!anything)
        return LPR_FIND_NOTHING;
    if (hidden && (owner != nullptr || name != nullptr))
        return LPR_FIND_UNKNOWN;
    return read ? LPR_FIND_NOT_LISTED : LPR_FIND_UNKNOWN;
}

} // namespace vx

extern "C" LPR_EXPORT int LPRAPI LPR_FindJob(const char *listing, DWORD jobnumber, const char *owner,
                                             const char *name, LPR_JOBENTRY *lpentry)
{
    if (listing == nullptr || lpentry == nullptr || lpentry->size < sizeof(LPR_JOBENTRY))
        return -1;
    return vx::FindJob(listing, jobnumber, owner, name, lpentry);
}
