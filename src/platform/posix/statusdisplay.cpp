// statusdisplay.cpp - the status dialog as a live text block on standard error when that
// is a terminal: drawn when the dialog is shown, redrawn in place at most ten times a
// second, left on screen in its final state when the dialog goes.  Owns the one block
// being drawn and its lock.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <new>
#include <string>

#include "statusdisplay.h"

namespace vx {
namespace posix {
namespace display {

namespace {

constexpr uint64_t REDRAW_INTERVAL = 100; // ms
constexpr int BAR_WIDTH = 20;
const char TITLE[] = "LPR Printing I/O Status";

struct Block {
    bool active;
    uintptr_t dialog;
    Texts latest;
    bool dirty;        // latest has not been drawn
    uint64_t lastdraw; // ms
    size_t lines;      // lines on screen; the cursor is on the line below them
    std::string drawn; // what those lines show
};

std::mutex displaylock;
Block block;

uint64_t NowMs()
{
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

int TerminalWidth()
{
    winsize ws;
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 ? ws.ws_col : 80;
}

long long Number(const std::string &text) { return strtoll(text.c_str(), nullptr, 10); }

// "Transferred N out of M bytes" and a bar for a positive total.
std::string Counter(const Texts &t)
{
    std::string line = "Transferred " + t.done + " out of " + t.total + " bytes";
    long long total = Number(t.total);
    if (total <= 0)
        return line;
    long long done = std::min(std::max(Number(t.done), 0LL), total);
    int filled = static_cast<int>(done * BAR_WIDTH / total);
    char percent[24];
    snprintf(percent, sizeof percent, "] %lld%%", done * 100 / total);
    return line + " [" + std::string(filled, '#') + std::string(BAR_WIDTH - filled, '-') + percent;
}

// One screen line: control characters would move the cursor or worse, and a line that
// wraps would throw off the count of lines to go back over.
std::string ScreenLine(const std::string &text, int width)
{
    std::string line = text.substr(0, static_cast<size_t>(width - 1));
    for (char &c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    return line;
}

// The block's lines, each ended by a line feed.
std::string Render(const Texts &t)
{
    int width = TerminalWidth();
    std::string text = ScreenLine(TITLE, width) + "\n";
    size_t start = 0;
    while (start < t.caption.size()) {
        size_t end = t.caption.find('\n', start);
        if (end == std::string::npos)
            end = t.caption.size();
        std::string part = t.caption.substr(start, end - start);
        if (!part.empty() && part.back() == '\r')
            part.pop_back();
        text += ScreenLine(part, width) + "\n";
        start = end + 1;
    }
    text += ScreenLine(t.status, width) + "\n";
    if (Number(t.total) != 0)
        text += ScreenLine(Counter(t), width) + "\n";
    return text;
}

void WriteAll(const std::string &out)
{
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = write(STDERR_FILENO, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

// Draws the latest state over the block on screen; the caller holds the lock.
void Draw(uint64_t now)
{
    block.dirty = false;
    std::string text = Render(block.latest);
    if (text == block.drawn)
        return;
    // Back to the block's first line, each line written over the old one and cleared to
    // its end, then whatever the old block had below cleared: no blank moment to flicker.
    char up[32] = "";
    if (block.lines > 0)
        snprintf(up, sizeof up, "\x1b[%zuA\r", block.lines);
    std::string out = up;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos;
         start = end + 1, end = text.find('\n', start))
        out += text.substr(start, end - start) + "\x1b[K\n";
    size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    if (lines < block.lines)
        out += "\x1b[J";
    WriteAll(out);
    block.lines = lines;
    block.drawn = text;
    block.lastdraw = now;
}

bool Drawing(uintptr_t dialog) { return block.active && block.dialog == dialog; }

// Drawing is a courtesy: when memory runs short the block stays as it is on screen, and
// the request it shows goes on.
template <class Fn> void Quietly(Fn fn)
{
    try {
        fn();
    } catch (const std::bad_alloc &) {
    }
}

void ChangeLocked(const Texts &texts)
{
    if (texts.version < block.latest.version)
        return; // a state overtaken by one drawn already
    block.latest = texts;
    uint64_t now = NowMs();
    if (now - block.lastdraw >= REDRAW_INTERVAL)
        Draw(now);
    else
        block.dirty = true;
}

} // namespace

void Show(uintptr_t dialog, const Texts &texts)
{
    std::lock_guard<std::mutex> guard(displaylock);
    if (block.active) {
        if (Drawing(dialog))
            Quietly([&] { ChangeLocked(texts); });
        return;
    }
    if (!isatty(STDERR_FILENO))
        return;
    Quietly([&] {
        block = Block{true, dialog, texts, false, 0, 0, std::string()};
        Draw(NowMs());
    });
}

void Change(uintptr_t dialog, const Texts &texts)
{
    std::lock_guard<std::mutex> guard(displaylock);
    if (Drawing(dialog))
        Quietly([&] { ChangeLocked(texts); });
}

void Hide(uintptr_t dialog)
{
    std::lock_guard<std::mutex> guard(displaylock);
    if (!Drawing(dialog))
        return;
    block.active = false; // let go of, whether or not the last drawing can be made
    // The final state stays on screen; the cursor is below it already.
    Quietly([] { Draw(NowMs()); });
}

int RedrawDue()
{
    std::lock_guard<std::mutex> guard(displaylock);
    if (!block.active || !block.dirty)
        return -1;
    uint64_t now = NowMs();
    uint64_t elapsed = now - block.lastdraw;
    if (elapsed < REDRAW_INTERVAL)
        return static_cast<int>(REDRAW_INTERVAL - elapsed);
    Quietly([&] { Draw(now); });
    return -1;
}

} // namespace display
} // namespace posix
} // namespace vx
