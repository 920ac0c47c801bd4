#pragma once
// Reading a file named from outside (a client or a configuration): a FIFO or
// a device would block or never end, a huge file or line would eat the
// memory, and a name must not lead out of the folder it is meant to lie in;
// for a FIFO or a device even the open may act (a waiting writer wakes).
// So a path is resolved to what it names without opening it, only a regular
// file is then opened (without blocking) and read up to a size bound (or
// line by line, each line bounded), and its path
// is resolved inside a folder taken as the root: ".." stops at that folder,
// and symbolic links, absolute ones from that folder, stay inside it.
//
// The kernel resolves the path (openat2 with RESOLVE_IN_ROOT); where it
// cannot (kernels before 5.6), a walk of the path's components does the same
// with links read one by one and every component opened without following.

#include <cstddef>
#include <string>
#include <vector>

namespace qstd {

// A regular file opened for reading; closed at destruction.
class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Opens the file at path resolved inside the folder base (path may be
    // absolute: it is taken from base). Returns 0, else an error number (the
    // system's, EINVAL for what is not a regular file) with why in Reason()
    // ("No such file or directory", "not a regular file").
    int Open(const std::string& base, const std::string& path);
    // Opens the file at path resolved inside its own folder: a link there
    // may lead only to a file of that folder.
    int Open(const std::string& path);

    bool IsOpen() const { return m_fd >= 0; }
    // Error number and reason of the last failure (0 and "" while none).
    int Error() const { return m_error; }
    const std::string& Reason() const { return m_reason; }

    // Reads the rest of the file into text when it is at most maxBytes long:
    // 0, else the error number (EFBIG, "larger than N bytes", for a longer
    // file); text is then empty.
    int ReadAll(std::size_t maxBytes, std::string& text);
    // Reads up to size bytes (fewer only at the end of the file); the count
    // read, or -1 on an error.
    long Read(void* data, std::size_t size);
    // Reads the next line into line (without its line feed); false at the
    // end of the file or on an error (Error()). complete is false for a last
    // line without a line feed. A line longer than maxLine is read over
    // without being kept: line is then empty and tooLong true.
    bool ReadLine(std::size_t maxLine, std::string& line, bool& complete, bool& tooLong);

    // Tests choose the walk of components, which the kernel's own resolution
    // otherwise replaces.
    static void UseComponentWalk(bool walk);

private:
    int Fail(int error, const std::string& reason);
    bool Fill();

    int m_fd = -1;
    int m_error = 0;
    std::string m_reason;
    std::vector<char> m_buffer;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
    bool m_atEnd = false;
};

// Reads the regular file at path (resolved inside its own folder), at most
// maxBytes long, into text. Returns 0 on success, else an error number with
// why in reason, as InputFile::Open and ReadAll give them; text is then empty.
int ReadRegularFile(const std::string& path, std::size_t maxBytes, std::string& text, std::string& reason);
// The same for path resolved inside the folder base.
int ReadRegularFileIn(const std::string& base, const std::string& path, std::size_t maxBytes, std::string& text,
                      std::string& reason);

} // namespace qstd
