// A growable text buffer written through raw pointers: a writer claims room
// for the most it could write, writes, then commits where it stopped. Used
// for the per-family files, where millions of short fields are assembled.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace korvath {

class TextBuffer {
public:
    explicit TextBuffer(std::size_t capacity = 0) { reserve(capacity); }

    // A position with room for at least `n` more bytes.
    char* claim(std::size_t n) {
        if (capacity_ - size_ < n) reserve(size_ + n);
        return data_.get() + size_;
    }
    // Ends the text at `end`, a position inside the last claimed room.
    void commit(char* end) { size_ = static_cast<std::size_t>(end - data_.get()); }

    void append(std::string_view text) { commit(put(claim(text.size()), text)); }

    std::string_view view() const { return {data_.get(), size_}; }
    std::size_t size() const { return size_; }
    void clear() { size_ = 0; }

    void reserve(std::size_t capacity) {
        if (capacity <= capacity_) return;
        std::size_t grown = capacity_ * 2 > capacity ? capacity_ * 2 : capacity;
        auto bigger = std::make_unique_for_overwrite<char[]>(grown);
        if (size_ > 0) std::memcpy(bigger.get(), data_.get(), size_);
        data_ = std::move(bigger);
        capacity_ = grown;
    }

    static char* put(char* out, std::string_view text) {
        if (!text.empty()) std::memcpy(out, text.data(), text.size());
        return out + text.size();
    }
    static char* put(char* out, char c) {
        *out = c;
        return out + 1;
    }
    // Room a 64-bit integer needs in decimal, sign included.
    static constexpr std::size_t kIntegerChars = 20;
    template <class Integer>
    static char* put_decimal(char* out, Integer value) {
        return std::to_chars(out, out + kIntegerChars, value).ptr;
    }

private:
    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace korvath
