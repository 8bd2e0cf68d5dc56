// lprws.cpp - the request exports with their entry steps, the protocol workers of
// RFC 1179, LPR_FreeQueue, LPR_GetLastErrorText and LPR_CancelBlockingCall.
// Owns the server port and the job number of the previous job (the process's: guarded).
#include "lprws.h"

#include <string.h>

#include "init.h"
#include "msgtext.h"
#include "wsockio.h"
#include "wsockstb.h"

namespace vx {

uint16_t lpdport = LPD_PORT;

// The previous hand-out of the process, whichever thread's job took it.  Jobs of
// several threads take their numbers one after the other, under numberlock, which is
// held across the user's shared record as well.
static int lastclocknumber = -1; // the clock's number for the previous job
static int lastjobnumber = -1;   // the number the previous job got
static int64_t lasthandout;      // when it got it, in seconds since 1970
static SpinLock numberlock;

namespace {

// A fixed, zero-filled block of global memory, locked; null when it cannot be had.
char *AllocBlock(size_t size)
{
    HGLOBAL handle = GlobalAlloc(GMEM_ZEROINIT, size);
    if (handle == nullptr)
        return nullptr;
    char *mem = static_cast<char *>(GlobalLock(handle));
    if (mem == nullptr)
        GlobalFree(handle); // a block that cannot be used is not kept either
    return mem;
}

// A block of global memory for the length of one step, released on every path.
class Scratch {
public:
    explicit Scratch(size_t size) : mem_(AllocBlock(size)), size_(size) {}
    ~Scratch() { Release(); }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    void Release()
    {
        if (mem_ != nullptr) {
            GlobalUnlock(GlobalHandle(mem_));
            GlobalFree(GlobalHandle(mem_));
            mem_ = nullptr;
        }
    }
    char *get() const { return mem_; }
    size_t size() const { return size_; }
    explicit operator bool() const { return mem_ != nullptr; }

private:
    char *mem_;
    size_t size_;
};

const char *OrEmpty(const char *s) { return s != nullptr ? s : ""; }

// Decimal text of a byte count, for the counts that RFC 1179 lines announce.
void Decimal(uint64_t n, char *out) // out: at least 21 bytes
{
    char digits[21];
    int i = 0;
    do
        digits[i++] = static_cast<char>('0' + n % 10);
    while ((n /= 10) != 0);
    while (i > 0)
        *out++ = digits[--i];
    *out = '\0';
}

// A name that goes into a command line as an operand: spaces separate operands and an
// LF ends the line, so neither (nor any other control character) may be in it.
bool Frameable(const char *name)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(OrEmpty(name)); *p != 0; p++)
        if (*p <= 0x20 || *p == 0x7F)
            return false;
    return true;
}

// Refuses, before anything is sent, names that would break the framing of a line.
enum NameCheck { PRINTER = 1, USER = 2, CLIENT = 4 };
bool CheckNames(LPR_COMMONARG *lpcommonarg, const char *printer, int which)
{
    const char *bad = !Frameable(printer)                                      ? "printer"
                      : (which & USER) && !Frameable(lpcommonarg->username)     ? "user"
                      : (which & CLIENT) && !Frameable(lpcommonarg->clienthost) ? "client host"
                                                                               : nullptr;
    if (bad == nullptr)
        return true;
    LPRTrace("VEXLOLPR ERROR request refused: %s name can't be framed lprws", bad);
    RecordError(lpcommonarg, LPR_ERR_BAD_NAME, LPR_ERR_BAD_NAME, bad);
    return false;
}

// Maps the socket error of a failed connect, send or receive onto a code and a text;
// `othertext` is the step's own text for the errors the table does not name.
void RecordNetError(LPR_COMMONARG *lpcommonarg, int error, UINT othertext, bool intrcancels)
{
    if (error == WSAENETRESET || error == WSAECONNREFUSED)
        RecordError(lpcommonarg, LPR_ERR_NO_LPD, LPR_ERR_NO_LPD);
    else if (error == WSAETIMEDOUT)
        RecordError(lpcommonarg, LPR_ERR_TIMEOUT, LPR_ERR_TIMEOUT);
    else if (error == WSAEINTR && intrcancels)
        RecordError(lpcommonarg, LPR_ERR_CANCELLED, LPR_ERR_CANCELLED);
    else
        RecordError(lpcommonarg, LPR_ERR_NETWORK, othertext);
}

// A server named as "host" or "host:port", or by an IPv6 literal in brackets, "[addr]"
// or "[addr]:port".  A suffix that is no port number 1..65535 leaves nothing to look
// up; so does a name longer than any host name can be, and a bracket left open or empty.
class ServerName {
public:
    explicit ServerName(const char *host) : port_(lpdport), literal6_(false), valid_(false)
    {
        const char *text = OrEmpty(host);
        const char *name = text;
        const char *suffix; // ":port", or the end of the text
        if (text[0] == '[') {
            const char *close = strchr(text, ']');
            if (close == nullptr || close == text + 1)
                return;
            literal6_ = true;
            name = text + 1;
            suffix = close + 1;
            if (*suffix != '\0' && *suffix != ':')
                return;
        } else {
            suffix = strrchr(text, ':');
            if (suffix == nullptr)
                suffix = text + strlen(text);
        }
        size_t length = static_cast<size_t>(suffix - name) - (literal6_ ? 1 : 0);
        if (length >= sizeof name_)
            return;
        memcpy(name_, name, length);
        name_[length] = '\0';
        valid_ = *suffix == '\0' || ParsePort(suffix + 1);
    }
    // The server's address with its port.  A name is looked up for IPv4 as it always
    // was, and only a name with no IPv4 address for IPv6; a literal in brackets is taken
    // as IPv6 alone.  False when nothing resolves.
    bool Resolve(SocketAddress *server) const
    {
        if (!valid_)
            return false;
        if (!literal6_) {
            if (uint32_t address = GetHostAddress(name_)) {
                *server = SocketAddress(AF_INET);
                server->in4.sin_addr.s_addr = address;
                server->set_port(winsock.htons(port_));
                return true;
            }
            if (strchr(name_, ':') != nullptr) // an IPv6 literal needs its brackets
                return false;
        }
        sockaddr_in6 address;
        if (!GetHostAddress6(name_, literal6_, &address))
            return false;
        *server = SocketAddress(address);
        server->set_port(winsock.htons(port_));
        return true;
    }

private:
    bool ParsePort(const char *digits)
    {
        uint32_t port = 0;
        for (const char *p = digits; *p != '\0'; p++) {
            if (*p < '0' || *p > '9' || p - digits >= 5)
                return false;
            port = port * 10 + static_cast<uint32_t>(*p - '0');
        }
        if (port == 0 || port > 65535)
            return false;
        port_ = static_cast<uint16_t>(port);
        return true;
    }
    char name_[256]; // a DNS name has at most 253 characters
    uint16_t port_;
    bool literal6_;
    bool valid_;
};

// A text of the string table formatted with two names, in a block of its own size.
bool ShowCaption(UINT id, const char *host, const char *printer)
{
    char format[LASTERROR_SIZE];
    LoadStringA(hinstlpr, id, format, sizeof format);
    size_t size = strlen(format) + strlen(OrEmpty(host)) + strlen(OrEmpty(printer)) + 1;
    Scratch caption(size);
    if (!caption)
        return false;
    wnsprintfA(caption.get(), static_cast<int>(size), format, OrEmpty(host), OrEmpty(printer));
    wsock_settext(caption.get());
    return true;
}

// One command line: the code octet, the operands separated by single spaces, an LF.
void BuildCommand(Scratch &line, char code, const char *const *operands, int count)
{
    char *p = line.get();
    *p++ = code;
    for (int i = 0; i < count; i++) {
        if (i > 0)
            *p++ = ' ';
        size_t n = strlen(OrEmpty(operands[i]));
        memcpy(p, OrEmpty(operands[i]), n);
        p += n;
    }
    *p++ = '\n';
    *p = '\0';
}

size_t CommandSize(const char *const *operands, int count)
{
    size_t size = 3; // code octet, LF, NUL
    for (int i = 0; i < count; i++)
        size += strlen(OrEmpty(operands[i])) + 1;
    return size;
}

// Sends a buffer of any size: wsock_write takes at most INT_MAX bytes at a time.
int WriteAll(SOCKET sd, const char *buf, uint64_t size, LPR_COMMONARG *lpcommonarg)
{
    const uint64_t piece = 1u << 30;
    do {
        int n = static_cast<int>(size < piece ? size : piece);
        if (wsock_write(sd, buf, n, 0, lpcommonarg) == -1)
            return -1;
        buf += n;
        size -= static_cast<uint64_t>(n);
    } while (size > 0);
    return 0;
}

} // namespace

// ---- job number and control file ------------------------------------------------------

int JobNumberFromTime(const struct tm &local) { return (local.tm_min % 10) * 100 + local.tm_sec; }

namespace {

// The clock gives each number again after ten minutes: what was handed out longer ago
// than that says nothing about the numbers in use.
constexpr int64_t CLOCK_CYCLE = 600;
// How long a job waits for another process of the user to let go of the shared record.
constexpr DWORD STATE_WAIT_MS = 200;

// The latest hand-out: the clock's number then, the number the job got, and when.
struct HandOut {
    int clocknumber; // -1: none
    int jobnumber;
    int64_t when;
};

// The clock repeats its number within a second; two jobs of one burst with the same
// file names would overwrite each other at the server (and a BSD lpd drops the first
// job's data file as well).  So while the clock has not moved past the numbers handed
// out since it last gave a number, the job takes the next one of those instead.
// Returns how far past the clock's number that is: 0 when the clock's number is free.
int StepsPast(const HandOut &last, int clocknumber, int64_t now)
{
    if (last.clocknumber < 0 || now - last.when >= CLOCK_CYCLE || last.when - now >= CLOCK_CYCLE)
        return 0;
    int moved = (clocknumber - last.clocknumber + 1000) % 1000;
    int handed = (last.jobnumber - last.clocknumber + 1000) % 1000;
    return moved <= handed ? handed - moved + 1 : 0;
}

// The shared record holds one line, "CLOCK JOB SECONDS\n" in decimal, so that it reads the
// same on every machine.  Anything else counts as no record.
bool ParseHandOut(const char *text, HandOut *out)
{
    int64_t field[3];
    for (int i = 0; i < 3; i++) {
        int digits = 0;
        int64_t value = 0;
        for (; *text >= '0' && *text <= '9' && digits < 18; text++, digits++)
            value = value * 10 + (*text - '0');
        if (digits == 0 || *text++ != (i < 2 ? ' ' : '\n'))
            return false;
        field[i] = value;
    }
    if (*text != '\0' || field[0] > 999 || field[1] > 999)
        return false;
    *out = {static_cast<int>(field[0]), static_cast<int>(field[1]), field[2]};
    return true;
}

} // namespace

static int NextJobNumberLocked(int clocknumber, int64_t now);

int NextJobNumber(int clocknumber, int64_t now)
{
    Guard guard(numberlock);
    return NextJobNumberLocked(clocknumber, now);
}

static int NextJobNumberLocked(int clocknumber, int64_t now)
{
    // The user's other processes hand out numbers from the same clock: the record they
    // share tells which they took.  Where it cannot be had, this process's own rule
    // still holds.
    HandOut own = {lastclocknumber, lastjobnumber, lasthandout};
    HandOut shared = {-1, -1, 0};
    char text[64];
    LSTATE record = StateOpen(StateRecord::JOBNUMBER, STATE_WAIT_MS);
    int length = record != LSTATE_ERROR ? StateRead(record, text, sizeof text) : -1;
    if (length > 0 && strlen(text) == static_cast<size_t>(length))
        ParseHandOut(text, &shared);
    int steps = StepsPast(own, clocknumber, now);
    int sharedsteps = StepsPast(shared, clocknumber, now);
    if (sharedsteps > steps)
        steps = sharedsteps;
    // 000 is left out: a removal names its job by a number that is not 0, so a job
    // numbered 000 could never be taken back.
    int number = (clocknumber + steps) % 1000;
    if (number == 0)
        number = 1;
    lastclocknumber = clocknumber;
    lastjobnumber = number;
    lasthandout = now;
    if (record != LSTATE_ERROR) {
        long long seconds = now;
        length = wnsprintfA(text, sizeof text, "%d %d %lld\n", clocknumber, number, seconds);
        StateWrite(record, text, length);
        StateClose(record);
    }
    return number;
}

int JobNumberNow()
{
    struct tm local;
    int64_t now;
    if (LocalTimeNow(&local, &now))
        return NextJobNumber(JobNumberFromTime(local), now);
    // Without the time the job still needs a number of its own: it goes on as if the
    // clock had stood still since the previous job, and takes the next number.
    Guard guard(numberlock);
    return NextJobNumberLocked(lastclocknumber >= 0 ? lastclocknumber : 0, lasthandout);
}

namespace {

// Appends to a text whose size was counted by a first pass without a buffer.
struct TextOut {
    char *out;
    size_t len;
    void Put(const char *s, size_t n)
    {
        if (out != nullptr)
            memcpy(out + len, s, n);
        len += n;
    }
    void Put(const char *s) { Put(s, strlen(s)); }
    void PutChar(char c) { Put(&c, 1); }
    // An operand of a control-file line: a control character would end the line early
    // and let the rest pass for further lines, so it is written as '?'.
    void PutOperand(const char *s)
    {
        for (const char *p = OrEmpty(s); *p != '\0'; p++) {
            unsigned char c = static_cast<unsigned char>(*p);
            PutChar(c < 0x20 || c == 0x7F ? '?' : *p);
        }
    }
    void Line(char letter, const char *operand)
    {
        PutChar(letter);
        PutOperand(operand);
        PutChar('\n');
    }
};

} // namespace

size_t BuildControlFile(const ControlFileArgs &a, char *out)
{
    TextOut t = {out, 0};
    t.Line('H', a.clienthost);
    t.Line('P', a.username);
    t.Line('J', a.jobname != nullptr ? a.jobname : a.filename);
    if (!a.nobanner && a.bannerclass != nullptr)
        t.Line('C', a.bannerclass);
    if (!a.nobanner)
        t.Line('L', a.username);
    unsigned char letter = static_cast<unsigned char>(a.format);
    char format = letter < 0x20 || letter == 0x7F ? '?' : a.format;
    for (unsigned copy = 0; copy < a.copies; copy++) {
        if (format == 'p') {
            t.Line('T', a.filename);
            t.Put("pd");
        } else {
            t.PutChar(format);
            t.PutChar('d');
        }
        t.Put(a.jobstem);
        t.PutChar('\n');
    }
    t.Put("Ud");
    t.Put(a.jobstem);
    t.PutChar('\n');
    t.Line('N', a.filename);
    if (out != nullptr)
        out[t.len] = '\0';
    return t.len;
}

namespace {

// Judges the acknowledgement of a subcommand; 0 when accepted.  A server that closed
// the connection instead (n == 0) has not acknowledged anything.
WORD NotifyFailed(LPR_COMMONARG *lpcommonarg, int n)
{
    if (n <= 0) {
        RecordError(lpcommonarg, LPR_ERR_VERIFY_NOTIFY, LPR_ERR_VERIFY_NOTIFY);
        return LPR_R_UNEXP_NET_ERR;
    }
    return 0;
}

} // namespace

WORD wsock_do_control_file(SOCKET sd, const char *filename, const char *jobstem, WORD copies, char format,
                           const char *jobname, const char *bannerclass, BOOL nobanner,
                           LPR_COMMONARG *lpcommonarg)
{
    ControlFileArgs args = {lpcommonarg->clienthost, lpcommonarg->username, filename, jobstem, copies,
                            format, jobname, bannerclass, nobanner};
    size_t length = BuildControlFile(args, nullptr);
    Scratch text(length + 1);
    char count[21];
    Decimal(length, count);
    Scratch line(strlen(count) + strlen(jobstem) + 5);
    if (!text || !line) {
        RecordError(lpcommonarg, LPR_ERR_NO_MEMORY, LPR_ERR_NO_MEMORY);
        return LPR_R_NOT_ENOUGH_MEMORY;
    }
    BuildControlFile(args, text.get());

    // RFC 1179 6.2: 02 count SP cfA... LF, acknowledged by one octet.
    wnsprintfA(line.get(), static_cast<int>(line.size()), "\x02%s c%s\n", count, jobstem);
    if (wsock_write(sd, line.get(), static_cast<int>(strlen(line.get())), 0, lpcommonarg) == -1) {
        RecordError(lpcommonarg, LPR_ERR_SEND_NOTIFY, LPR_ERR_SEND_NOTIFY);
        return LPR_R_UNEXP_NET_ERR;
    }
    char ack[REPLY_SIZE] = {};
    int n = wsock_read(sd, ack, 1, 0, lpcommonarg);
    if (WORD failed = NotifyFailed(lpcommonarg, n))
        return failed;
    switch (static_cast<unsigned char>(ack[0])) {
    case 0:
        break;
    case 1:
        RecordError(lpcommonarg, LPR_ERR_SPOOLER_SERVER, LPR_ERR_SPOOLER_SERVER);
        return LPR_R_UNEXP_NET_ERR;
    case 2:
        RecordError(lpcommonarg, LPR_ERR_SPOOL_SPACE, LPR_ERR_SPOOL_SPACE);
        return LPR_R_UNEXP_NET_ERR;
    default:
        RecordError(lpcommonarg, LPR_ERR_LPD_REPORTED, LPR_ERR_SPOOLER_UNKNOWN, static_cast<int>(static_cast<signed char>(ack[0])));
        return LPR_R_UNEXP_NET_ERR;
    }

    // The text and its NUL, which ends the file, in one write.
    LPRTrace("VEXLOLPR wsock_do_control_file() sending control file... lprws");
    if (WriteAll(sd, text.get(), length + 1, lpcommonarg) == -1) {
        RecordError(lpcommonarg, LPR_ERR_SEND_CONTROL, LPR_ERR_SEND_CONTROL);
        return LPR_R_UNEXP_NET_ERR;
    }
    LPRTrace("VEXLOLPR wsock_do_control_file() DONE sending control file... lprws");
    ThisRequest().job.filesdone++;
    // A server that closes instead of answering has taken the file: ack[0] keeps its 0.
    if (wsock_read(sd, ack, sizeof ack, 0, lpcommonarg) == -1) {
        RecordError(lpcommonarg, LPR_ERR_VERIFY_CONTROL, LPR_ERR_VERIFY_CONTROL);
        return LPR_R_UNEXP_NET_ERR;
    }
    if (ack[0] != 0) {
        ThisRequest().job.refused = true;
        RecordError(lpcommonarg, LPR_ERR_CONTROL_NOT_TRANSFERRED, LPR_ERR_CONTROL_NOT_TRANSFERRED);
        return LPR_R_UNEXP_NET_ERR;
    }
    return 0;
}

namespace {

// How much of the file the next write takes.  The yield mode writes CHUNK_SIZE and lets
// the message loop run a tick after each.  Without it, a chunk doubles while each goes
// out quickly, up to BULK_CHUNK, and halves again when one took long: a fast link moves
// the file in few large calls, a slow one still moves the byte counter about ten times
// a second, and a cancel still stops the transfer within one chunk's time.
class ChunkSize {
public:
    explicit ChunkSize(bool adapt) : adapt_(adapt), size_(CHUNK_SIZE) {}
    uint32_t get() const { return size_; }
    void Took(DWORD ms)
    {
        if (!adapt_)
            return;
        if (ms < QUICK_MS && size_ < BULK_CHUNK)
            size_ *= 2;
        else if (ms > SLOW_MS && size_ > CHUNK_SIZE)
            size_ /= 2;
    }

private:
    static constexpr DWORD QUICK_MS = 20; // above the tick count's coarsest step
    static constexpr DWORD SLOW_MS = 50;
    bool adapt_;
    uint32_t size_;
};

// The file's octets in chunks, each written and counted on its own.  From memory the
// file is read several chunks at a time, which spares most of the reads; the chunks on
// the wire are the same, since a disk file delivers all that is asked up to its end.
// Without a buffer the kernel moves each chunk from the file to the socket.
class ChunkSender {
public:
    ChunkSender(SOCKET sd, LFILE file, LPR_COMMONARG *lpcommonarg)
        : sd_(sd), file_(file), common_(lpcommonarg), job_(ThisRequest().job),
          chunk_((lpcommonarg->debugflags & LPR_OPT_NOYIELD) != 0)
    {
    }
    WORD FromFile(int64_t size)
    {
        while (sent_ < size) {
            int64_t left = size - sent_;
            int n = left < chunk_.get() ? static_cast<int>(left) : static_cast<int>(chunk_.get());
            WORD failed = Send(nullptr, n);
            if (failed != 0)
                return failed;
        }
        return 0;
    }
    WORD FromMemory(int64_t size, char *buffer, uint32_t buffersize)
    {
        for (int64_t remaining = size; remaining > 0;) {
            uint32_t want = remaining < buffersize ? static_cast<uint32_t>(remaining) : buffersize;
            int32_t got = FileRead(file_, buffer, want);
            if (got <= 0)
                return FileEnded();
            for (int32_t at = 0; at < got;) {
                int32_t limit = static_cast<int32_t>(chunk_.get());
                int n = got - at < limit ? got - at : limit;
                WORD failed = Send(buffer + at, n);
                if (failed != 0)
                    return failed;
                at += n;
            }
            remaining -= got;
        }
        return 0;
    }

private:
    WORD Send(const char *from, int n)
    {
        DWORD began = GetTickCount();
        int rc = from != nullptr ? wsock_write(sd_, from, n, 0, common_)
                                 : wsock_writefile(sd_, file_, sent_, n, common_);
        if (rc == WRITE_FILE_ENDED)
            return FileEnded();
        if (rc == -1) {
            RecordError(common_, LPR_ERR_SEND_DATA, LPR_ERR_SEND_DATA);
            return LPR_R_GEN_FAILURE;
        }
        chunk_.Took(GetTickCount() - began);
        sent_ += n;
        job_.bytessent = static_cast<uint64_t>(sent_);
        wsock_setprogress(sent_);
        return 0;
    }
    WORD FileEnded()
    {
        RecordError(common_, LPR_ERR_FILE_SHORTER, LPR_ERR_FILE_SHORTER);
        return LPR_R_UNEXP_NET_ERR;
    }

    SOCKET sd_;
    LFILE file_;
    LPR_COMMONARG *common_;
    JobTrack &job_;
    ChunkSize chunk_;
    int64_t sent_ = 0;
};

// Without yielding, the kernel moves the file where the socket layer can; otherwise it
// is read into a buffer sized to fit: a small file takes no more than itself.
WORD SendAllChunks(SOCKET sd, LFILE file, int64_t size, LPR_COMMONARG *lpcommonarg)
{
    ChunkSender sender(sd, file, lpcommonarg);
    if ((lpcommonarg->debugflags & LPR_OPT_NOYIELD) != 0 && wsock_canwritefile())
        return sender.FromFile(size);
    uint32_t buffersize = size < READ_SIZE ? static_cast<uint32_t>(size > 0 ? size : 1) : READ_SIZE;
    Scratch buffer(buffersize);
    if (!buffer) {
        RecordError(lpcommonarg, LPR_ERR_NO_MEMORY, LPR_ERR_NO_MEMORY);
        return LPR_R_NOT_ENOUGH_MEMORY;
    }
    return sender.FromMemory(size, buffer.get(), buffersize);
}

// Streams `size` bytes of the file in chunks; never more than announced, even when the
// file grew meanwhile.  0, or the result value of the failure.
WORD SendContent(SOCKET sd, LFILE file, int64_t size, LPR_COMMONARG *lpcommonarg)
{
    LPRTrace("VEXLOLPR wsock_do_data_file() SENDING DATA FILE now=%lu... lprws", GetTickCount());
    // Chunks of a file that spans several fill whole segments; the last part is pushed
    // out when small writes go at once again, before the zero octet.
    bool coalesce = size > CHUNK_SIZE;
    if (coalesce)
        wsock_nodelay(sd, false);
    WORD failed = SendAllChunks(sd, file, size, lpcommonarg);
    if (failed != 0)
        return failed; // the connection is broken off; its options no longer matter
    if (coalesce)
        wsock_nodelay(sd, true);
    LPRTrace("VEXLOLPR wsock_do_data_file() DONE SENDING DATA FILE now=%lu... lprws", GetTickCount());
    return 0;
}

} // namespace

WORD wsock_do_data_file(SOCKET sd, const char *jobstem, LFILE file, LPR_COMMONARG *lpcommonarg)
{
    int64_t size = FileSeek(file, 0, LSEEK_END);
    if (size < 0 || FileSeek(file, 0, LSEEK_BEGIN) != 0) {
        RecordError(lpcommonarg, LPR_ERR_CANT_READ_FILE, LPR_ERR_CANT_READ_FILE);
        return LPR_R_UNEXP_NET_ERR;
    }
    wsock_setsize(size);
    char count[21];
    Decimal(static_cast<uint64_t>(size), count);
    Scratch line(strlen(count) + strlen(jobstem) + 5);
    if (!line) {
        RecordError(lpcommonarg, LPR_ERR_NO_MEMORY, LPR_ERR_NO_MEMORY);
        return LPR_R_NOT_ENOUGH_MEMORY;
    }
    // RFC 1179 6.3: 03 count SP dfA... LF, acknowledged by one octet.
    wnsprintfA(line.get(), static_cast<int>(line.size()), "\x03%s d%s\n", count, jobstem);
    if (wsock_write(sd, line.get(), static_cast<int>(strlen(line.get())), 0, lpcommonarg) == -1) {
        RecordError(lpcommonarg, LPR_ERR_SEND_NOTIFY, LPR_ERR_SEND_NOTIFY);
        return LPR_R_UNEXP_NET_ERR;
    }
    char ack = 0;
    int n = wsock_read(sd, &ack, 1, 0, lpcommonarg);
    if (WORD failed = NotifyFailed(lpcommonarg, n))
        return failed;
    switch (static_cast<unsigned char>(ack)) {
    case 0:
        break;
    case 1:
        RecordError(lpcommonarg, LPR_ERR_LPD_REPORTED, LPR_ERR_LPD_REPORTED);
        return LPR_R_UNEXP_NET_ERR;
    case 2:
        RecordError(lpcommonarg, LPR_ERR_SPOOL_SPACE, LPR_ERR_SPOOL_SPACE);
        return LPR_R_UNEXP_NET_ERR;
    default:
        RecordError(lpcommonarg, LPR_ERR_UNKNOWN_RESPONSE, LPR_ERR_UNKNOWN_RESPONSE, static_cast<int>(static_cast<signed char>(ack)));
        return LPR_R_UNEXP_NET_ERR;
    }
    if (WORD failed = SendContent(sd, file, size, lpcommonarg))
        return failed;

    ack = 0; // the zero octet that ends the file
    if (wsock_write(sd, &ack, 1, 0, lpcommonarg) == -1) {
        RecordError(lpcommonarg, LPR_ERR_WRITE_AFTER_DATA, LPR_ERR_WRITE_AFTER_DATA);
        return LPR_R_UNEXP_NET_ERR;
    }
    ThisRequest().job.filesdone++;
    // A server that closes instead of answering has taken the file: ack keeps its 0.
    if (wsock_read(sd, &ack, 1, 0, lpcommonarg) == -1) {
        RecordError(lpcommonarg, LPR_ERR_VERIFY_DATA, LPR_ERR_VERIFY_DATA);
        return LPR_R_UNEXP_NET_ERR;
    }
    if (ack != 0) {
        ThisRequest().job.refused = true;
        RecordError(lpcommonarg, LPR_ERR_DATA_NOT_TRANSFERRED, LPR_ERR_DATA_NOT_TRANSFERRED);
        return LPR_R_UNEXP_NET_ERR;
    }
    return 0;
}

// ---- print job ----------------------------------------------------------------------------

namespace {

// The server's refusal of the job command, as the last-error text.
void RecordRefusal(LPR_COMMONARG *lpcommonarg, const char *printer, char *reply, int n)
{
    if (n == 1) {
        SetErrorText(LPR_ERR_NO_PRINTER, OrEmpty(printer));
    } else {
        // The server's text ends at the first LF after the first byte.
        int end = 1;
        while (end < n && reply[end] != '\n')
            end++;
        reply[end] = '\0';
        unsigned char first = static_cast<unsigned char>(reply[0]);
        if ((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z'))
            SetErrorTextRaw(reply);
        else {
            char text[LASTERROR_SIZE];
            wnsprintfA(text, sizeof text, "%d %s", static_cast<int>(static_cast<signed char>(reply[0])), reply + 1);
            SetErrorTextRaw(text);
        }
    }
    SetErrorCode(lpcommonarg, LPR_ERR_LPD_REPORTED);
}

struct PrintJob {
    LPR_PRINTARG *arg;
    LPR_COMMONARG *common;
    LFILE file;
    bool checkonly;
};

// The 'Initial' command and its answer (RFC 1179 5.2: 02 queue LF).  0 when accepted.
WORD SendJobCommand(const PrintJob &job, SOCKET sd)
{
    const char *printer = job.arg->printer;
    Scratch line(CommandSize(&printer, 1));
    if (!line) {
        RecordError(job.common, LPR_ERR_NO_MEMORY, LPR_ERR_NO_MEMORY);
        return LPR_R_NOT_ENOUGH_MEMORY;
    }
    BuildCommand(line, '\x02', &printer, 1);
    int length = static_cast<int>(strlen(line.get()));
    int sent = job.checkonly ? winsock.send(sd, line.get(), length, 0)
                             : wsock_write(sd, line.get(), length, 0, job.common);
    if (sent == -1) {
        RecordNetError(job.common, winsock.WSAGetLastError(), LPR_ERR_SEND_INITIAL, false);
        return LPR_R_UNEXP_NET_ERR;
    }
    char reply[REPLY_SIZE + 1] = {};
    int n = job.checkonly ? winsock.recv(sd, reply, REPLY_SIZE, 0)
                          : wsock_read(sd, reply, REPLY_SIZE, 0, job.common);
    if (n == -1) {
        RecordNetError(job.common, winsock.WSAGetLastError(), LPR_ERR_VERIFY_INITIAL, false);
        return LPR_R_UNEXP_NET_ERR;
    }
    if (n == 0) { // closed without an answer: nothing was verified
        RecordError(job.common, LPR_ERR_NETWORK, LPR_ERR_VERIFY_INITIAL);
        return LPR_R_UNEXP_NET_ERR;
    }
    if (reply[0] != 0) {
        RecordRefusal(job.common, printer, reply, n);
        return LPR_R_UNEXP_NET_ERR;
    }
    return 0;
}

// Both files of the accepted job, in the order the caller chose.
WORD SendFiles(const PrintJob &job, SOCKET sd)
{
    const char *clienthost = OrEmpty(job.common->clienthost);
    Scratch jobstem(strlen(clienthost) + 6);
    if (!jobstem) {
        RecordError(job.common, LPR_ERR_NO_MEMORY, LPR_ERR_NO_MEMORY);
        return LPR_R_NOT_ENOUGH_MEMORY;
    }
    int number = JobNumberNow();
    ThisRequest().job.number = number;
    wnsprintfA(jobstem.get(), static_cast<int>(jobstem.size()), "fA%03d%s", number, clienthost);
    LPR_PRINTARG *a = job.arg;
    auto control = [&] {
        return wsock_do_control_file(sd, a->filename, jobstem.get(), a->copies, a->format, a->jobname,
                                     a->bannerclass, a->nobanner, job.common);
    };
    auto data = [&] { return wsock_do_data_file(sd, jobstem.get(), job.file, job.common); };
    if (a->controlfirst) {
        WORD result = control();
        return result != 0 ? result : data();
    }
    WORD result = data();
    return result != 0 ? result : control();
}

// The exchange on a connected socket; `complete` tells whether the job got through.
WORD RunJob(const PrintJob &job, SOCKET sd, bool *complete)
{
    *complete = false;
    if (!job.checkonly && !ShowCaption(LPR_MSG_SENDING, job.arg->host, job.arg->printer)) {
        RecordError(job.common, LPR_ERR_NO_MEMORY, LPR_ERR_NO_MEMORY);
        return LPR_R_NOT_ENOUGH_MEMORY;
    }
    if (WORD failed = SendJobCommand(job, sd))
        return failed;
    if (job.checkonly) {
        // RFC 1179 6.1: withdraw the job at once; the answer is not read.  The exchange
        // is complete: the close lets the withdrawal reach the server.
        winsock.send(sd, "\x01\n", 2, 0);
        *complete = true;
        return 0;
    }
    WORD result = SendFiles(job, sd);
    *complete = result == 0;
    return result;
}

// The check-only mode talks to the server without the status dialog, with blocking
// calls; the reply time-out bounds each of them, so that a silent server cannot hold
// the caller for ever.  A socket whose calls cannot be bounded is not connected at all
// (the socket error of the refusal is left for the caller).
SOCKET ConnectBounded(SOCKET sd, const SocketAddress *server, DWORD replytimeout)
{
    const char *bound = reinterpret_cast<const char *>(&replytimeout);
    if (replytimeout != 0 && (winsock.setsockopt(sd, SOL_SOCKET, SO_SNDTIMEO, bound, sizeof replytimeout) != 0 ||
                              winsock.setsockopt(sd, SOL_SOCKET, SO_RCVTIMEO, bound, sizeof replytimeout) != 0))
        return INVALID_SOCKET;
    return winsock.connect(sd, &server->any, server->length()) == 0 ? sd : INVALID_SOCKET;
}

// Opens the file to print; 0, or the result value of the failure.
WORD OpenPrintFile(LPR_PRINTARG *lpprintarg, LPR_COMMONARG *lpcommonarg, LFILE *file)
{
    *file = FileOpenRead(lpprintarg->filename);
    if (*file == LFILE_ERROR) {
        LPRTrace("VEXLOLPR ERROR do_LPR_Print() exited...file=%s not found lprws", OrEmpty(lpprintarg->filename));
        RecordError(lpcommonarg, LPR_ERR_FILE_NOT_FOUND, LPR_ERR_FILE_NOT_FOUND);
        return LPR_R_BAD_DEVICE;
    }
    int64_t size = FileSeek(*file, 0, LSEEK_END);
    if (size <= 0) {
        FileClose(*file);
        *file = LFILE_ERROR;
        if (size < 0) {
            RecordError(lpcommonarg, LPR_ERR_FILE_SIZE, LPR_ERR_FILE_SIZE, OrEmpty(lpprintarg->filename));
            return LPR_R_BAD_DEVICE;
        }
        LPRTrace("VEXLOLPR ERROR do_LPR_Print() exited...file=%s is empty lprws", OrEmpty(lpprintarg->filename));
        RecordError(lpcommonarg, LPR_ERR_UNEXPECTED_EOF, LPR_ERR_UNEXPECTED_EOF);
        return LPR_R_BAD_DEVICE;
    }
    return 0;
}

} // namespace

WORD do_LPR_Print(LPR_PRINTARG *lpprintarg, LPR_COMMONARG *lpcommonarg)
{
    LPRTrace("VEXLOLPR do_LPR_Print() entered... lprws");
    SocketAddress server;
    if (!ServerName(lpprintarg->host).Resolve(&server)) {
        LPRTrace("VEXLOLPR ERROR do_LPR_Print() exited...host=%s unknwn lprws", OrEmpty(lpprintarg->host));
        RecordError(lpcommonarg, LPR_ERR_HOST_NAME, LPR_ERR_HOST_NAME, OrEmpty(lpprintarg->host));
        return LPR_R_BAD_NET_NAME;
    }
    if (!CheckNames(lpcommonarg, lpprintarg->printer, PRINTER | USER | CLIENT))
        return LPR_R_BAD_NET_NAME;
    PrintJob job = {lpprintarg, lpcommonarg, LFILE_ERROR, lpprintarg->checkonly != 0};
    if (!job.checkonly)
        if (WORD failed = OpenPrintFile(lpprintarg, lpcommonarg, &job.file))
            return failed;

    LPRTrace("VEXLOLPR do_LPR_Print() calling wsock_getandbind()... lprws");
    SOCKET sd = wsock_getandbind(SOCK_STREAM, server.family());
    if (sd == INVALID_SOCKET) {
        if (!job.checkonly)
            FileClose(job.file);
        LPRTrace("VEXLOLPR ERROR do_LPR_Print() exited...Can't get socket descriptor lprws");
        SetErrorText(LPR_ERR_NO_NET_DESCRIPTOR);
        SetErrorCode(lpcommonarg, LPR_ERR_NO_DESCRIPTOR);
        return LPR_R_UNEXP_NET_ERR;
    }
    LPRTrace("VEXLOLPR do_LPR_Print() calling wsock_connect()... lprws");
    SOCKET connected = job.checkonly ? ConnectBounded(sd, &server, lpcommonarg->replytimeout)
                                     : wsock_connect(sd, SOCK_STREAM, &server, lpcommonarg);
    if (connected == INVALID_SOCKET) {
        RecordNetError(lpcommonarg, winsock.WSAGetLastError(), LPR_ERR_NETWORK, true);
        LPRTrace("VEXLOLPR ERROR do_LPR_Print() connect() failed neterrno=%d lprws", winsock.WSAGetLastError());
        wsock_abort(sd);
        if (!job.checkonly)
            FileClose(job.file);
        LPRTrace("VEXLOLPR ERROR do_LPR_Print() exited...Can't connect to LPD server lprws");
        return LPR_R_UNEXP_NET_ERR;
    }
    bool complete;
    WORD result = RunJob(job, connected, &complete);
    // One place decides: the file is closed first, then the connection is released
    // after a complete job and aborted after anything else.
    if (!job.checkonly)
        FileClose(job.file);
    if (complete)
        wsock_release(connected);
    else
        wsock_abort(connected);
    return result;
}

// ---- queue listing ----------------------------------------------------------------------

bool ListingBuilder::Add(const char *bytes, int n)
{
    for (int i = 0; i < n; i++) {
        // A line end takes two bytes (space, NUL), a data byte one; the last two bytes
        // of the block are kept for the closing NULs.
        size_t need = bytes[i] == '\n' ? 2 : 1;
        if (pos + need > LISTING_BOUND)
            return false;
        if (bytes[i] == '\n') {
            block[pos++] = ' ';
            block[pos++] = '\0';
            lastend = pos;
        } else {
            block[pos++] = bytes[i];
        }
    }
    return true;
}

size_t ListingBuilder::Finish()
{
    block[pos++] = '\0';
    block[pos++] = '\0';
    return pos;
}

void ListingBuilder::Cut() { block[lastend] = '\0'; }

namespace {

// Gives the listing block back and clears the caller's variable.
void DropListing(char **lplpqueue)
{
    LPR_FreeQueue(lplpqueue);
}

// Receives the listing until the server closes.  0 when delivered (complete or cut),
// 59 on a failed receive; `complete` tells whether the server ended the listing itself.
WORD ReceiveListing(SOCKET sd, char *block, LPR_COMMONARG *lpcommonarg, bool *complete)
{
    char chunk[QUEUE_CHUNK];
    ListingBuilder listing = {block, 0, 0};
    for (;;) {
        int n = wsock_read(sd, chunk, sizeof chunk, 0, lpcommonarg);
        if (n == -1) {
            RecordNetError(lpcommonarg, winsock.WSAGetLastError(), LPR_ERR_QUEUE_LIST, false);
            return LPR_R_UNEXP_NET_ERR;
        }
        if (n == 0) {
            size_t used = listing.Finish();
            HGLOBAL handle = GlobalHandle(block);
            GlobalUnlock(handle);
            // Shrunk where it is: the caller's address stays valid; a failure leaves
            // the block at its full size.
            GlobalLock(GlobalReAlloc(handle, used, GMEM_ZEROINIT));
            *complete = true;
            return 0;
        }
        if (!listing.Add(chunk, n)) {
            listing.Cut();
            return 0;
        }
    }
}

// The exchange on a connected socket: caption, command, listing.
WORD ListQueue(SOCKET sd, LPR_QUEUEARG *lpqueuearg, LPR_COMMONARG *lpcommonarg, bool *complete)
{
    ShowCaption(LPR_MSG_GETTING, lpqueuearg->host, lpqueuearg->printer);
    // RFC 1179 5.3 and 5.4: 03 (short) or 04 (long) queue LF; the answer is the
    // listing itself, up to the close.
    const char *printer = lpqueuearg->printer;
    char command = (lpcommonarg->debugflags & LPR_OPT_LONGLIST) ? '\x04' : '\x03';
    Scratch line(CommandSize(&printer, 1));
    if (!line) {
        RecordError(lpcommonarg, LPR_ERR_NO_MEMORY, LPR_ERR_NO_MEMORY);
        return LPR_R_NOT_ENOUGH_MEMORY;
    }
    BuildCommand(line, command, &printer, 1);
    if (wsock_write(sd, line.get(), static_cast<int>(strlen(line.get())), 0, lpcommonarg) == -1) {
        RecordNetError(lpcommonarg, winsock.WSAGetLastError(), LPR_ERR_SEND_INITIAL, false);
        return LPR_R_UNEXP_NET_ERR;
    }
    line.Release();
    return ReceiveListing(sd, *lpqueuearg->lplpqueue, lpcommonarg, complete);
}

} // namespace

WORD do_LPR_GetQueue(LPR_QUEUEARG *lpqueuearg, LPR_COMMONARG *lpcommonarg)
{
    SocketAddress server;
    if (!ServerName(lpqueuearg->host).Resolve(&server)) {
        LPRTrace("VEXLOLPR ERROR do_LPR_GetQueue() exited...host=%s unknwn lprws", OrEmpty(lpqueuearg->host));
        RecordError(lpcommonarg, LPR_ERR_HOST_NAME, LPR_ERR_HOST_NAME, OrEmpty(lpqueuearg->host));
        return LPR_R_BAD_NET_NAME;
    }
    if (lpqueuearg->lplpqueue == nullptr) { // nowhere to deliver a listing
        RecordError(lpcommonarg, LPR_ERR_NO_MEMORY, LPR_ERR_NO_MEMORY);
        return LPR_R_NOT_ENOUGH_MEMORY;
    }
    if (!CheckNames(lpcommonarg, lpqueuearg->printer, PRINTER))
        return LPR_R_BAD_NET_NAME;
    char **lplpqueue = lpqueuearg->lplpqueue;
    *lplpqueue = AllocBlock(LISTING_SIZE);
    if (*lplpqueue == nullptr) {
        SetErrorCode(lpcommonarg, LPR_ERR_NO_MEMORY);
        return LPR_R_NOT_ENOUGH_MEMORY;
    }
    SOCKET sd = wsock_getandbind(SOCK_STREAM, server.family());
    if (sd == INVALID_SOCKET) {
        DropListing(lplpqueue);
        LPRTrace("VEXLOLPR ERROR do_LPR_GetQueue() exited...Can't get network descriptor lprws");
        RecordError(lpcommonarg, LPR_ERR_NO_DESCRIPTOR, LPR_ERR_NO_DESCRIPTOR);
        return LPR_R_UNEXP_NET_ERR;
    }
    SOCKET connected = wsock_connect(sd, SOCK_STREAM, &server, lpcommonarg);
    if (connected == INVALID_SOCKET) {
        int error = winsock.WSAGetLastError();
        DropListing(lplpqueue);
        RecordNetError(lpcommonarg, error, LPR_ERR_NETWORK, false);
        LPRTrace("VEXLOLPR ERROR do_LPR_GetQueue() calling wsock_abort()... lprws");
        wsock_abort(sd);
        LPRTrace("VEXLOLPR ERROR do_LPR_GetQueue() exited...Can't connect to the LPD server lprws");
        return LPR_R_UNEXP_NET_ERR;
    }
    bool complete = false;
    WORD result = ListQueue(connected, lpqueuearg, lpcommonarg, &complete);
    // One place decides: a failure gives the listing back; the connection is released
    // after a listing the server ended and aborted after anything else (a cut listing
    // leaves the rest of the answer unread).
    if (result != 0)
        DropListing(lplpqueue);
    if (complete)
        wsock_release(connected);
    else
        wsock_abort(connected);
    return result;
}

// ---- job removal ------------------------------------------------------------------------

namespace {

// The exchange on a connected socket; `complete` tells whether the server ended it.
WORD RemoveJob(SOCKET sd, LPR_DELETEARG *lpdeletearg, LPR_COMMONARG *lpcommonarg, bool *complete)
{
    // RFC 1179 5.5: 05 queue SP agent SP job LF; exactly one job per request.
    char number[21];
    Decimal(lpdeletearg->jobnumber, number);
    const char *operands[3] = {lpdeletearg->printer, lpcommonarg->username, number};
    Scratch line(CommandSize(operands, 3));
    if (!line) {
        RecordError(lpcommonarg, LPR_ERR_NO_MEMORY, LPR_ERR_NO_MEMORY);
        return LPR_R_NOT_ENOUGH_MEMORY;
    }
    BuildCommand(line, '\x05', operands, 3);
    if (wsock_write(sd, line.get(), static_cast<int>(strlen(line.get())), 0, lpcommonarg) == -1) {
        RecordNetError(lpcommonarg, winsock.WSAGetLastError(), LPR_ERR_SEND_INITIAL, false);
        return LPR_R_UNEXP_NET_ERR;
    }
    // The answer is not looked at: it is read and dropped until the server closes.
    char drain[DRAIN_CHUNK];
    for (;;) {
        int n = wsock_read(sd, drain, DRAIN_CHUNK, 0, lpcommonarg);
        if (n == 0) {
            *complete = true;
            return 0;
        }
        if (n == -1) {
            RecordError(lpcommonarg, LPR_ERR_VERIFY_NOTIFY, LPR_ERR_VERIFY_NOTIFY);
            return LPR_R_UNEXP_NET_ERR;
        }
    }
}

} // namespace

WORD lprm(const SocketAddress &server, LPR_DELETEARG *lpdeletearg, LPR_COMMONARG *lpcommonarg)
{
    SOCKET sd = wsock_getandbind(SOCK_STREAM, server.family());
    if (sd == INVALID_SOCKET) {
        LPRTrace("VEXLOLPR ERROR lprm() exited...Can't get network descriptor lprws");
        RecordError(lpcommonarg, LPR_ERR_NO_DESCRIPTOR, LPR_ERR_NO_DESCRIPTOR);
        return LPR_R_UNEXP_NET_ERR;
    }
    SOCKET connected = wsock_connect(sd, SOCK_STREAM, &server, lpcommonarg);
    if (connected == INVALID_SOCKET) {
        RecordNetError(lpcommonarg, winsock.WSAGetLastError(), LPR_ERR_NETWORK, false);
        LPRTrace("VEXLOLPR ERROR lprm() calling wsock_abort()... lprws");
        wsock_abort(sd);
        LPRTrace("VEXLOLPR ERROR lprm() exited...Can't connect to LPD server lprws");
        return LPR_R_UNEXP_NET_ERR;
    }
    bool complete = false;
    WORD result = RemoveJob(connected, lpdeletearg, lpcommonarg, &complete);
    // One place decides: released after an answer the server ended, aborted otherwise.
    if (complete)
        wsock_release(connected);
    else
        wsock_abort(connected);
    return result;
}

WORD do_LPR_Delete(LPR_DELETEARG *lpdeletearg, LPR_COMMONARG *lpcommonarg)
{
    // The checks leave errorcode and the last-error text as they were.
    if (lpdeletearg->host == nullptr || lpdeletearg->host[0] == '\0')
        return LPR_R_UNEXP_NET_ERR;
    SocketAddress server;
    if (!ServerName(lpdeletearg->host).Resolve(&server)) {
        LPRTrace("VEXLOLPR ERROR do_LPR_Delete() exited...host=%s unknwn lprws", lpdeletearg->host);
        RecordError(lpcommonarg, LPR_ERR_HOST_NAME, LPR_ERR_HOST_NAME, lpdeletearg->host);
        return LPR_R_BAD_NET_NAME;
    }
    if (lpdeletearg->printer == nullptr || lpdeletearg->printer[0] == '\0' || lpdeletearg->jobnumber == 0)
        return LPR_R_BAD_NET_NAME;
    if (!CheckNames(lpcommonarg, lpdeletearg->printer, PRINTER | USER))
        return LPR_R_BAD_NET_NAME;
    return lprm(server, lpdeletearg, lpcommonarg);
}

// ---- request entry ------------------------------------------------------------------------

namespace {

// Entry steps shared by the three requests: the trace switch is the caller's from the
// first line on, and each request starts and cleans up the socket layer once.
// Returns false, with errorcode 4943 and the last-error text untouched, when the socket
// layer cannot be loaded or started.
bool BeginRequest(LPR_COMMONARG *lpcommonarg)
{
    if (LoadWinsock() != 0 || WinsockStartup() != 0) {
        SetErrorCode(lpcommonarg, LPR_ERR_NETWORK);
        return false;
    }
    return true;
}

void EndRequest()
{
    if (hwinsock != 0 && winsock.WSACleanup != nullptr)
        winsock.WSACleanup();
}

// Runs a worker.  Nothing below it throws; should anything throw all the same, no
// exception crosses the export: the request ends as one that found no memory, and the
// connection and wait state it held are given up.
template <class Worker> WORD RunWorker(LPR_COMMONARG *lpcommonarg, Worker worker)
{
    try {
        return worker();
    } catch (...) {
        AbandonWaitState();
        RecordError(lpcommonarg, LPR_ERR_NO_MEMORY, LPR_ERR_NO_MEMORY);
        return LPR_R_NOT_ENOUGH_MEMORY;
    }
}

// The thread's state could not be made: the request fails as one that found no memory,
// having touched nothing else.
WORD NoState(LPR_COMMONARG *lpcommonarg)
{
    RecordError(lpcommonarg, LPR_ERR_NO_MEMORY, LPR_ERR_NO_MEMORY);
    return LPR_R_NOT_ENOUGH_MEMORY;
}

// LPR_Print's steps; `job` receives what became of the job, on every path.
WORD PrintRequest(LPR_PRINTARG *lpprintarg, LPR_COMMONARG *lpcommonarg, JobTrack *job)
{
    *job = JobTrack();
    RequestScope scope(lpcommonarg);
    if (!scope.ok())
        return NoState(lpcommonarg);
    traceflags = lpcommonarg->debugflags;
    LPRTrace("VEXLOLPR LPR_Print() entered now=%lu... lprws", vx::GetTickCount());
    if (!BeginRequest(lpcommonarg))
        return LPR_R_UNEXP_NET_ERR;
    WORD ret = RunWorker(lpcommonarg, [&] { return do_LPR_Print(lpprintarg, lpcommonarg); });
    EndRequest();
    *job = scope.request().job;
    LPRTrace("VEXLOLPR LPR_Print() exited... ret=%d lpcommonarg->errorcode=%d now=%lu lprws", ret,
             lpcommonarg->errorcode, vx::GetTickCount());
    return ret;
}

// The longest client host name whose job's file names fit the job handle.
constexpr size_t MAX_CLIENTHOST_NAME = LPR_JOBFILE_SIZE - 9;
static_assert(MAX_CLIENTHOST_NAME == 255, "the header promises names for client hosts of 255 characters");

// The caller's job handle from the request's record.  A job is queued once the server
// acknowledged all of it; unclear when all of it went out and the last answer is
// missing (the server may have queued it); otherwise the server cannot have it.
void FillJobInfo(const JobTrack &job, bool complete, const char *clienthost, LPR_JOBINFO *info)
{
    info->state = complete ? LPR_JOB_QUEUED
                  : job.filesdone == 2 && !job.refused ? LPR_JOB_UNCLEAR
                                                       : LPR_JOB_NOT_QUEUED;
    info->bytessent = job.bytessent;
    info->jobnumber = static_cast<WORD>(job.number);
    memset(info->reserved, 0, sizeof info->reserved);
    info->controlfile[0] = '\0';
    info->datafile[0] = '\0';
    if (job.number != 0 && strlen(clienthost) <= MAX_CLIENTHOST_NAME) {
        wnsprintfA(info->controlfile, sizeof info->controlfile, "cfA%03d%s", job.number, clienthost);
        wnsprintfA(info->datafile, sizeof info->datafile, "dfA%03d%s", job.number, clienthost);
    }
}

} // namespace
} // namespace vx

using namespace vx;

extern "C" {

LPR_EXPORT WORD LPRAPI LPR_Print(LPR_PRINTARG *lpprintarg, LPR_COMMONARG *lpcommonarg)
{
    // A missing record or request block is a bad argument; with no errorcode to set,
    // nothing else is touched either (trace switch, socket layer, last-error text).
    if (lpprintarg == nullptr || lpcommonarg == nullptr)
        return LPR_R_BAD_NET_NAME;
    JobTrack job;
    return PrintRequest(lpprintarg, lpcommonarg, &job);
}

LPR_EXPORT WORD LPRAPI LPR_PrintJob(LPR_PRINTARG *lpprintarg, LPR_COMMONARG *lpcommonarg, LPR_JOBINFO *lpjobinfo)
{
    if (lpprintarg == nullptr || lpcommonarg == nullptr || lpjobinfo == nullptr ||
        lpjobinfo->size < sizeof(LPR_JOBINFO))
        return LPR_R_BAD_NET_NAME;
    JobTrack job;
    WORD ret = PrintRequest(lpprintarg, lpcommonarg, &job);
    FillJobInfo(job, ret == LPR_OK && !lpprintarg->checkonly, OrEmpty(lpcommonarg->clienthost), lpjobinfo);
    return ret;
}

LPR_EXPORT WORD LPRAPI LPR_DeleteJob(LPR_DELETEARG *lpdeletearg, LPR_COMMONARG *lpcommonarg)
{
    if (lpdeletearg == nullptr || lpcommonarg == nullptr) // as an empty printer: untouched
        return LPR_R_BAD_NET_NAME;
    RequestScope scope(lpcommonarg);
    if (!scope.ok())
        return NoState(lpcommonarg);
    traceflags = lpcommonarg->debugflags;
    LPRTrace("VEXLOLPR LPR_Delete() entered... lprws");
    if (!BeginRequest(lpcommonarg))
        return LPR_R_NOT_SUPPORTED;
    WORD ret = RunWorker(lpcommonarg, [&] { return do_LPR_Delete(lpdeletearg, lpcommonarg); });
    EndRequest();
    LPRTrace("VEXLOLPR LPR_Delete() exited... ret=%d lprws", ret);
    return ret;
}

LPR_EXPORT WORD LPRAPI LPR_GetQueue(LPR_QUEUEARG *lpqueuearg, LPR_COMMONARG *lpcommonarg)
{
    if (lpqueuearg == nullptr || lpcommonarg == nullptr) // the caller's variable stays as it is
        return LPR_R_BAD_NET_NAME;
    RequestScope scope(lpcommonarg);
    if (!scope.ok()) {
        if (lpqueuearg->lplpqueue != nullptr)
            *lpqueuearg->lplpqueue = nullptr;
        return NoState(lpcommonarg);
    }
    traceflags = lpcommonarg->debugflags;
    LPRTrace("VEXLOLPR LPR_GetQueue() entered... lprws");
    if (!BeginRequest(lpcommonarg))
        return LPR_R_NOT_SUPPORTED;
    WORD ret = RunWorker(lpcommonarg, [&] { return do_LPR_GetQueue(lpqueuearg, lpcommonarg); });
    EndRequest();
    LPRTrace("VEXLOLPR LPR_GetQueue() exited... ret=%d lprws", ret);
    return ret;
}

LPR_EXPORT WORD LPRAPI LPR_FreeQueue(char **lplpqueue)
{
    if (lplpqueue == nullptr || *lplpqueue == nullptr)
        return 0;
    // The listing is a fixed block: its handle is found again from its address.
    // Qualified: out here, in the global namespace, the Windows functions of the same
    // names are in sight as well.
    vx::GlobalUnlock(vx::GlobalHandle(*lplpqueue));
    vx::GlobalFree(vx::GlobalHandle(*lplpqueue));
    *lplpqueue = nullptr;
    return 0;
}

LPR_EXPORT int LPRAPI LPR_GetLastErrorText(char *buf, int size)
{
    return CopyLastErrorText(buf, size);
}

LPR_EXPORT int LPRAPI LPR_CancelBlockingCall(void) { return CancelWait(); }

LPR_EXPORT int LPRAPI LPR_CancelRequest(LPR_COMMONARG *lpcommonarg)
{
    return lpcommonarg != nullptr ? CancelRequestOf(lpcommonarg) : 1;
}

} // extern "C"
