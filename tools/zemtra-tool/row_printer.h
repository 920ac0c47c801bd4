#pragma once
// Output of `zemtra-tool read`: atoms as CSV rows on standard output, printed
// as they arrive (nothing is kept but one buffer of text), and the progress of
// a long read on standard error.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tool {

// True for the components that the atom holds unsigned although they travel
// as signed values: the halves of an atom's LMT ("LMT_l", "LMT_h3", ...).
bool IsUnsignedComponent(const std::string& name);

// Writes text to a file descriptor in writes of whole lines, each of which
// the output takes whole before the tool could be ended while it waits: so
// output cut short (the tool left while its reader took nothing, as `less`
// after Ctrl-C) ends with a whole line. A regular file or a device other
// than a terminal (/dev/null) takes any write whole; a pipe as much as it
// has room for, all of it when it is empty, and otherwise PIPE_BUF bytes,
// which it takes whole or waits for room; so does anything else. A line
// longer than that goes alone.
class LineWriter {
public:
    // Looks at what fd is, once.
    explicit LineWriter(int fd);
    // Writes text: 0 once all of it is written, else the error number of the
    // write that failed. written(lines) follows each write.
    int Write(const std::string& text, const std::function<void(std::size_t lines)>& written = nullptr) const;
    int Fd() const { return m_fd; }

private:
    // The most bytes the next write takes whole.
    std::size_t Room() const;

    enum class Kind { eWhole, ePipe, eOther };
    const int m_fd;
    Kind m_kind = Kind::eOther;
    std::size_t m_pipeBytes = 0; // a pipe's capacity
};

// Writes text to fd by a LineWriter of its own.
int WriteLines(int fd, const std::string& text, const std::function<void(std::size_t lines)>& written = nullptr);

class RowPrinter {
public:
    // Prints at most count atoms of names.size() components each to out.
    RowPrinter(std::vector<std::string> names, std::uint64_t count, std::FILE* out = stdout);
    ~RowPrinter();
    RowPrinter(const RowPrinter&) = delete;
    RowPrinter& operator=(const RowPrinter&) = delete;

    // The component names, once: before the first row, or when called
    // before any.
    void PrintHeader();
    // Prints the whole atoms among n values (beyond the count or after a
    // failed write: none) and writes them out; returns the atoms printed.
    // Safe from any thread.
    std::size_t Print(const short* values, std::size_t n);
    std::size_t Print(const int* values, std::size_t n);
    std::size_t Print(const double* values, std::size_t n);
    std::size_t Print(const unsigned long long* values, std::size_t n);

    // The atoms written out (their rows whole in the output).
    std::uint64_t Printed() const { return m_printed.load(); }
    std::uint64_t Count() const { return m_count; }
    // Every atom printed, or the output failed.
    bool Done() const { return Printed() >= m_count || WriteError() != 0; }
    // The error number of the first write that failed (EPIPE: the reader
    // closed the output), 0 while none did; nothing is printed after it.
    int WriteError() const { return m_writeError.load(); }
    std::size_t Components() const { return m_names.size(); }

private:
    template <typename T> std::size_t PrintValues(const T* values, std::size_t n);
    void AppendHeader(); // m_mutex held
    void Append(long long v);
    void Append(unsigned long long v);
    void Append(double v);
    void Flush();

    const std::vector<std::string> m_names;
    std::vector<bool> m_unsigned;
    const std::uint64_t m_count;
    const LineWriter m_out;
    std::mutex m_mutex;
    std::string m_text;
    bool m_headed = false;        // the header is printed
    bool m_headerPending = false; // the header is in m_text, not written yet
    std::atomic<std::uint64_t> m_printed{0};
    std::atomic<int> m_writeError{0};
};

// Whether a read shows its progress: when standard error (errFd) is a
// terminal and the rows (outFd) do not go to a terminal, where the progress
// line would break into them.
bool ProgressWanted(int outFd, int errFd);

// Atoms read of the count and their rate (over the time that the tool ran,
// not while it was stopped) on standard error, every half second once a read
// has taken longer than a second, when show. Stop (or the destructor) clears
// the line.
class Progress {
public:
    Progress(const RowPrinter& printer, bool show);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    void Stop();

private:
    void Run();

    const RowPrinter& m_printer;
    const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    std::mutex m_mutex;
    std::condition_variable m_stopped;
    bool m_stop = false;
    std::thread m_thread;
};

// Clears the progress line that shows, if one does, and lets none show after
// it: what is written to standard error next starts a line of its own.
void EndProgress();

// Makes every message written to std::cerr from now on start a line of its
// own: it ends the progress line first (EndProgress), as the end of the read
// that it tells would. Call once, before any thread writes to std::cerr.
void EndProgressBeforeMessages();

} // namespace tool
