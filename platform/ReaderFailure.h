// The one error the readers raise inside, turned into a ReadResult at
// each reader's boundary.
#pragma once

#include <cstddef>

#include "PropertyList.h"

namespace plist::detail {

struct ReadFailure {
    const char* what;
    std::size_t offset;
};

[[noreturn]] inline void fail(const char* what, std::size_t offset) { throw ReadFailure{what, offset}; }

// Runs a reader that returns a document or raises ReadFailure.
template <typename Read>
ReadResult runReader(Read read) {
    ReadResult result;
    try {
        result.document = read();
        result.ok = true;
        result.error.clear();
    } catch (const ReadFailure& f) {
        result.error = f.what;
        result.offset = f.offset;
    }
    return result;
}

}  // namespace plist::detail
