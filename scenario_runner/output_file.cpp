#include "scenario_runner/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Enough tries to step past stale temporaries of earlier runs that died.
constexpr int TEMPORARY_TRIES = 100;

}  // namespace

bool OutputFile::Begin(const std::string& name, const char* what, std::string* error)
{
    Discard();
    m_what = what;
    struct stat facts { };
    if (stat(name.c_str(), &facts) == 0 && !S_ISREG(facts.st_mode)) {
        *error = name + ": " + m_what + " cannot be written there: not a regular file";
        return false;
    }
    const std::string stem = name + ".partial-" + std::to_string(getpid());
    for (int attempt = 0; attempt < TEMPORARY_TRIES; ++attempt) {
        const std::string temporary = attempt == 0 ? stem : stem + "-" + std::to_string(attempt);
        // 0666 and the process's umask: the finished file gets the
        // permissions any newly written file would.
        const int file = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (file < 0 && errno == EEXIST) {
            continue;
        }
        if (file < 0) {
            break;
        }
        m_stream = fdopen(file, "wb");
        if (m_stream == nullptr) {
            close(file);
            unlink(temporary.c_str());
            break;
        }
        m_name = name;
        m_temporary = temporary;
        return true;
    }
    *error = name + ": " + m_what + " cannot be written there";
    return false;
}

bool OutputFile::Commit(std::string* error)
{
    if (m_stream == nullptr) {
        *error = m_name + ": " + m_what + " could not be written";
        return false;
    }
    bool ok = std::fflush(m_stream) == 0 && std::ferror(m_stream) == 0;
    ok = std::fclose(m_stream) == 0 && ok;
    m_stream = nullptr;
    ok = ok && std::rename(m_temporary.c_str(), m_name.c_str()) == 0;
    if (!ok) {
        unlink(m_temporary.c_str());
        *error = m_name + ": " + m_what + " could not be written";
    }
    m_temporary.clear();
    return ok;
}

void OutputFile::Discard()
{
    if (m_stream == nullptr) {
        return;
    }
    std::fclose(m_stream);
    m_stream = nullptr;
    unlink(m_temporary.c_str());
    m_temporary.clear();
}

bool SameFile(const std::string& first, const std::string& second)
{
    struct stat one { };
    struct stat other { };
    return stat(first.c_str(), &one) == 0 && stat(second.c_str(), &other) == 0 && one.st_dev == other.st_dev &&
           one.st_ino == other.st_ino;
}
