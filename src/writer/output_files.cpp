#include "writer/output_files.h"

#include "support/faults.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace korvath {

namespace {

[[noreturn]] void throw_os_error(int error) { throw IoError(os_error_message(error)); }

bool is_directory(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The parent of `path` as text ("" when there is none), ignoring trailing slashes.
std::string parent_of(const std::string& path) {
    std::size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;
    std::size_t slash = path.rfind('/', end - 1);
    if (slash == std::string::npos) return "";
    while (slash > 0 && path[slash - 1] == '/') --slash;
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// One mkdir attempt: 0 on success or an existing directory, else the error number.
int make_one_directory(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) == 0) return 0;
    int error = errno;
    if (error != ENOENT && is_directory(path)) return 0;
    return error;
}

int open_for_writing(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw_os_error(errno);
    return fd;
}

void write_all(int fd, std::string_view text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            throw_os_error(errno);
        }
        if (written == 0) throw IoError("failed to write whole buffer");
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

// strerror_r comes in two flavours (GNU returns the text, XSI fills the
// buffer); only one of these is used, depending on the C library.
[[maybe_unused]] const char* error_text(char* result, const char*) { return result; }
[[maybe_unused]] const char* error_text(int, const char* buffer) { return buffer; }

// Closes `fd`; a failing close can mean lost data, so it is reported.
void close_checked(int fd) {
    if (::close(fd) != 0 && errno != EINTR) throw_os_error(errno);
}

}  // namespace

std::string os_error_message(int error) {
    char buffer[256] = "Unknown error";
    const char* text = error_text(::strerror_r(error, buffer, sizeof buffer), buffer);
    return std::string(text) + " (os error " + std::to_string(error) + ")";
}

void create_directory_all(const std::string& path) {
    if (path.empty()) return;
    // Walk up until a directory can be made (or exists), then come back down.
    // A directory that still cannot be made once its parent exists fails at
    // once: some file systems (such as /proc) answer ENOENT for any new
    // entry, and walking up again would never end.
    std::vector<std::string> pending{path};
    bool parent_exists = false;
    while (!pending.empty()) {
        int error = make_one_directory(pending.back());
        if (error == 0) {
            pending.pop_back();
            parent_exists = true;
            continue;
        }
        if (error != ENOENT || parent_exists) throw_os_error(error);
        std::string parent = parent_of(pending.back());
        if (parent.empty() || parent == pending.back()) throw_os_error(error);
        pending.push_back(parent);
    }
}

void write_whole_file(const std::string& path, std::string_view text) {
    int fd = open_for_writing(path);
    try {
        write_all(fd, text);
    } catch (...) {
        ::close(fd);
        throw;
    }
    close_checked(fd);
}

BufferedFile::BufferedFile(const std::string& path, std::size_t capacity)
    : fd_(open_for_writing(path)), capacity_(capacity) {
    buffer_.reserve(capacity);
}

BufferedFile::~BufferedFile() {
    if (fd_ >= 0) ::close(fd_);
}

void BufferedFile::write(std::string_view text) {
    if (buffer_.size() + text.size() > capacity_) flush();
    if (text.size() >= capacity_) {
        write_all(fd_, text);
    } else {
        buffer_.append(text);
    }
}

void BufferedFile::flush() {
    if (buffer_.empty()) return;
    write_all(fd_, buffer_);
    buffer_.clear();
}

void BufferedFile::finish() {
    flush();
    int fd = fd_;
    fd_ = -1;
    close_checked(fd);
}

}  // namespace korvath
