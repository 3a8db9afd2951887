// The text's way to the sink: a fixed buffer, handed on whenever it is full.
#pragma once

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "PropertyList.h"

namespace plist::detail {

// Fills one fixed buffer and hands it to the sink whenever it is full, so
// that the text never needs to be held whole; text longer than the buffer
// goes to the sink directly.
struct SinkFailure {};

class Buffer {
public:
    static constexpr std::size_t kSize = std::size_t{1} << 18;

    // Stops the writing (as a failing sink does) once `stop` is set.
    Buffer(const XmlSink& sink, const std::atomic<bool>* stop) : sink_(sink), stop_(stop), buf_(new char[kSize]) {}
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    Buffer& operator+=(std::string_view v) {
        if (v.size() > kSize - used_) {
            flush();
            if (v.size() >= kSize) {
                if ((stop_ && stop_->load(std::memory_order_relaxed)) || !sink_(v)) throw SinkFailure{};
                return *this;
            }
        }
        if (!v.empty()) std::memcpy(buf_.get() + used_, v.data(), v.size());
        used_ += v.size();
        return *this;
    }
    Buffer& operator+=(const char* text) { return *this += std::string_view(text); }

    // Room for n bytes (n at most kSize) where the buffer's text ends; the
    // caller writes there, then hands back where its text ends.
    char* room(std::size_t n) {
        if (n > kSize - used_) flush();
        return buf_.get() + used_;
    }
    void endAt(const char* end) { used_ = static_cast<std::size_t>(end - buf_.get()); }

    void flush() {
        if (stop_ && stop_->load(std::memory_order_relaxed)) throw SinkFailure{};
        if (used_ != 0 && !sink_(std::string_view(buf_.get(), used_))) throw SinkFailure{};
        used_ = 0;
    }

private:
    const XmlSink& sink_;
    const std::atomic<bool>* stop_;
    std::unique_ptr<char[]> buf_;
    std::size_t used_ = 0;
};

}  // namespace plist::detail
