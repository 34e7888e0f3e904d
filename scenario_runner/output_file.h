// The runner's own output files (the report, the wire trace). Each is
// written under a temporary name beside its place and put there, by a
// rename, only once it is whole: a run that cannot finish a file leaves the
// old one, or none, never a part. A path that names something other than a
// regular file (a folder, a device, a FIFO) is refused before any run.
#pragma once
#include <cstdio>
#include <string>

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() { Discard(); }

    // Creates the temporary file; false with *error set (naming `name`
    // and `what` the file is, "the report") when it cannot be.
    bool Begin(const std::string& name, const char* what, std::string* error);
    bool Active() const { return m_stream != nullptr; }
    const std::string& Name() const { return m_name; }
    std::FILE* Stream() const { return m_stream; }
    // Flushes, closes and renames the temporary file into place; false with
    // *error set, and nothing left behind, when any of that fails.
    bool Commit(std::string* error);
    // Removes the temporary file, if one is open.
    void Discard();

private:
    std::string m_name;
    std::string m_what;
    std::string m_temporary;
    std::FILE* m_stream = nullptr;
};

// Whether two paths name the same existing file (device and inode), so
// that an output can never be pointed at an input under another name.
bool SameFile(const std::string& first, const std::string& second);
