#include "tools/zemtra-tool/row_printer.h"

#include "tools/zemtra-tool/tool_client.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <iostream>
#include <streambuf>

namespace tool {

namespace {

// Text is written out once this much has gathered, and after every buffer.
constexpr std::size_t c_flushBytes = 64 * 1024;

// The progress line on standard error: whether one shows, not cleared yet,
// and whether no more may show (EndProgress).
std::mutex g_progressMutex;
bool g_progressShows = false; // (g_progressMutex)
bool g_progressEnded = false; // (g_progressMutex)

template <typename T> struct Unsigned;
template <> struct Unsigned<short> {
    using type = unsigned short;
};
template <> struct Unsigned<int> {
    using type = unsigned int;
};

} // namespace

bool IsUnsignedComponent(const std::string& name)
{
    return name.rfind("LMT_", 0) == 0;
}

LineWriter::LineWriter(int fd) : m_fd(fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return;
    }
    if (S_ISREG(st.st_mode) || (S_ISCHR(st.st_mode) && !::isatty(fd))) {
        m_kind = Kind::eWhole;
    } else if (S_ISFIFO(st.st_mode)) {
        const int bytes = ::fcntl(fd, F_GETPIPE_SZ);
        if (bytes >= PIPE_BUF) {
            m_kind = Kind::ePipe;
            m_pipeBytes = static_cast<std::size_t>(bytes);
        }
    }
}

std::size_t LineWriter::Room() const
{
    switch (m_kind) {
    case Kind::eWhole:
        return SIZE_MAX;
    case Kind::ePipe: {
        // An empty pipe holds no page: a write of its capacity fits. (Only
        // the reader acts on it meanwhile, and only makes more room.)
        int unread = 0;
        return ::ioctl(m_fd, FIONREAD, &unread) == 0 && unread == 0 ? m_pipeBytes : PIPE_BUF;
    }
    case Kind::eOther:
        break;
    }
    return PIPE_BUF;
}

int WriteLines(int fd, const std::string& text, const std::function<void(std::size_t lines)>& written)
{
    return LineWriter(fd).Write(text, written);
}

int LineWriter::Write(const std::string& text, const std::function<void(std::size_t lines)>& written) const
{
    const int fd = m_fd;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.size();
        // Any output takes up to PIPE_BUF bytes whole.
        const std::size_t room = end - at <= PIPE_BUF ? end - at : Room();
        if (end - at > room) {
            // The lines that fit, or the first one alone when it is longer.
            end = text.rfind('\n', at + room - 1);
            if (end == std::string::npos || end < at) {
                end = text.find('\n', at + room);
            }
            end = end == std::string::npos ? text.size() : end + 1;
        }
        for (std::size_t done = at; done < end;) {
            const ssize_t n = ::write(fd, text.data() + done, end - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return n < 0 && errno != 0 ? errno : EIO;
            }
            done += static_cast<std::size_t>(n);
        }
        if (written) {
            written(static_cast<std::size_t>(std::count(text.begin() + at, text.begin() + end, '\n')));
        }
        at = end;
    }
    return 0;
}

RowPrinter::RowPrinter(std::vector<std::string> names, std::uint64_t count, std::FILE* out)
    : m_names(std::move(names)), m_count(count), m_out(::fileno(out))
{
    for (const std::string& name : m_names) {
        m_unsigned.push_back(IsUnsignedComponent(name));
    }
    m_text.reserve(c_flushBytes + 4096);
}

RowPrinter::~RowPrinter()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Flush();
}

void RowPrinter::PrintHeader()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_headed && WriteError() == 0) {
        AppendHeader();
        Flush();
    }
}

void RowPrinter::AppendHeader()
{
    for (std::size_t i = 0; i < m_names.size(); ++i) {
        m_text += i ? "," : "";
        m_text += m_names[i];
    }
    m_text += '\n';
    m_headed = true;
    m_headerPending = true;
}

void RowPrinter::Append(long long v)
{
    char text[24];
    const auto end = std::to_chars(text, text + sizeof(text), v).ptr;
    m_text.append(text, end);
}

void RowPrinter::Append(unsigned long long v)
{
    char text[24];
    const auto end = std::to_chars(text, text + sizeof(text), v).ptr;
    m_text.append(text, end);
}

void RowPrinter::Append(double v)
{
    char text[32];
    const int n = std::snprintf(text, sizeof(text), "%.15g", v);
    m_text.append(text, static_cast<std::size_t>(std::max(n, 0)));
}

template <typename T> std::size_t RowPrinter::PrintValues(const T* values, std::size_t n)
{
    const std::size_t components = std::max<std::size_t>(m_names.size(), 1);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (WriteError() != 0) {
        return 0;
    }
    const std::uint64_t left = m_count - std::min(m_count, m_printed.load());
    const std::size_t atoms = static_cast<std::size_t>(std::min<std::uint64_t>(n / components, left));
    if (atoms > 0 && !m_headed) {
        AppendHeader();
    }
    for (std::size_t a = 0; a < atoms; ++a) {
        const T* atom = values + a * components;
        for (std::size_t c = 0; c < components; ++c) {
            if (c) {
                m_text += ',';
            }
            if constexpr (std::is_same_v<T, double>) {
                Append(atom[c]);
            } else if constexpr (std::is_same_v<T, unsigned long long>) {
                Append(static_cast<unsigned long long>(atom[c]));
            } else {
                if (c < m_unsigned.size() && m_unsigned[c]) {
                    Append(static_cast<unsigned long long>(static_cast<typename Unsigned<T>::type>(atom[c])));
                } else {
                    Append(static_cast<long long>(atom[c]));
                }
            }
        }
        m_text += '\n';
        if (m_text.size() >= c_flushBytes) {
            Flush();
        }
    }
    Flush();
    return atoms;
}

std::size_t RowPrinter::Print(const short* values, std::size_t n)
{
    return PrintValues(values, n);
}
std::size_t RowPrinter::Print(const int* values, std::size_t n)
{
    return PrintValues(values, n);
}
std::size_t RowPrinter::Print(const double* values, std::size_t n)
{
    return PrintValues(values, n);
}
std::size_t RowPrinter::Print(const unsigned long long* values, std::size_t n)
{
    return PrintValues(values, n);
}

void RowPrinter::Flush()
{
    if (WriteError() == 0) {
        // Counted as written, so that an interrupted read says how many
        // rows its output holds.
        const int error = m_out.Write(m_text, [this](std::size_t lines) {
            if (m_headerPending && lines > 0) {
                --lines;
                m_headerPending = false;
            }
            m_printed.fetch_add(lines);
        });
        if (error != 0) {
            m_writeError.store(error);
        }
    }
    m_text.clear();
}

bool ProgressWanted(int outFd, int errFd)
{
    return ::isatty(errFd) && !::isatty(outFd);
}

Progress::Progress(const RowPrinter& printer, bool show) : m_printer(printer)
{
    if (show) {
        m_thread = std::thread(&Progress::Run, this);
    }
}

Progress::~Progress()
{
    Stop();
}

void Progress::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_stopped.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void Progress::Run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    // The rate counts the time that the tool ran: a wait in which it was
    // stopped (Ctrl-Z) and continued counts as its period at most, the most
    // that it can have run of it.
    std::chrono::steady_clock::duration period = std::chrono::seconds(1);
    std::chrono::steady_clock::duration ran{};
    auto last = m_start;
    unsigned continues = Continues();
    while (!m_stopped.wait_for(lock, period, [this] { return m_stop; })) {
        const auto now = std::chrono::steady_clock::now();
        std::chrono::steady_clock::duration waited = now - last;
        last = now;
        if (Continues() != continues) {
            continues = Continues();
            waited = std::min(waited, period);
        }
        ran += waited;
        const double seconds = std::chrono::duration<double>(ran).count();
        const auto printed = static_cast<unsigned long long>(m_printer.Printed());
        {
            std::lock_guard<std::mutex> line(g_progressMutex);
            if (!g_progressEnded) {
                std::fprintf(stderr, "\r%llu of %llu atoms, %.0f atoms/s\033[K", printed,
                             static_cast<unsigned long long>(m_printer.Count()), printed / seconds);
                std::fflush(stderr);
                g_progressShows = true;
            }
        }
        period = std::chrono::milliseconds(500);
    }
    std::lock_guard<std::mutex> line(g_progressMutex);
    if (g_progressShows) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
        g_progressShows = false;
    }
}

void EndProgress()
{
    std::lock_guard<std::mutex> line(g_progressMutex);
    g_progressEnded = true;
    if (g_progressShows) {
        // Not through the stream, which a blocked writer may hold.
        WriteLines(STDERR_FILENO, "\r\033[K");
        g_progressShows = false;
    }
}

namespace {

// Passes what is written on to the stream buffer it wraps, unbuffered, the
// progress line ended before it.
class AfterProgress : public std::streambuf {
public:
    explicit AfterProgress(std::streambuf* next) : m_next(next) {}

protected:
    int_type overflow(int_type c) override
    {
        if (traits_type::eq_int_type(c, traits_type::eof())) {
            return traits_type::not_eof(c);
        }
        EndProgress();
        return m_next->sputc(traits_type::to_char_type(c));
    }
    std::streamsize xsputn(const char* text, std::streamsize n) override
    {
        EndProgress();
        return m_next->sputn(text, n);
    }
    int sync() override { return m_next->pubsync(); }

private:
    std::streambuf* const m_next;
};

} // namespace

void EndProgressBeforeMessages()
{
    // Never destroyed: messages may be written until the process ends.
    static AfterProgress* const buffer = new AfterProgress(std::cerr.rdbuf());
    std::cerr.rdbuf(buffer);
}

} // namespace tool
