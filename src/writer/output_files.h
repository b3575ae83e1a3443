// File-system operations of the writer. Every failure throws IoError whose
// message is the operating system's description followed by
// " (os error N)", or "failed to write whole buffer" when a write makes no
// progress. Paths never appear in the messages.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvath {

// The IoError message for the operating-system error number `error`.
std::string os_error_message(int error);

// Creates `path` and any missing parents; an existing directory is accepted.
void create_directory_all(const std::string& path);

// Creates or truncates the file at `path` and writes `text` whole.
void write_whole_file(const std::string& path, std::string_view text);

// A file created or truncated on construction and written through a buffer
// of `capacity` bytes. `finish` flushes and closes it, reporting any error;
// destroying an unfinished file closes it without reporting.
class BufferedFile {
public:
    BufferedFile(const std::string& path, std::size_t capacity);
    ~BufferedFile();
    BufferedFile(const BufferedFile&) = delete;
    BufferedFile& operator=(const BufferedFile&) = delete;

    void write(std::string_view text);
    void flush();
    void finish();

private:
    int fd_;
    std::string buffer_;
    std::size_t capacity_;
};

}  // namespace korvath
