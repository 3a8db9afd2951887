// A stable sort of fixed-size keys a byte at a time, for the key index and
// the writer's entries.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace plist::detail {

// Sorts [first, last) stably by `digits` bytes each, the first the most
// significant, through `room` for as many items: a byte at a time from the
// last, so that an item moves once a byte where a merge sort would compare
// it at every level, and a byte that all items share takes no pass.
template <typename T, typename ByteOf>
void radixSort(T* first, T* last, T* room, unsigned digits, ByteOf byteOf) {
    auto n = static_cast<std::size_t>(last - first);
    if (n < 2) return;
    std::vector<std::uint32_t> counts(256 * std::size_t{digits}, 0);
    for (T* p = first; p != last; ++p)
        for (unsigned d = 0; d < digits; ++d) ++counts[256 * d + byteOf(*p, d)];
    T *from = first, *to = room;
    for (unsigned d = digits; d-- > 0;) {
        std::uint32_t* count = counts.data() + 256 * d;
        if (count[byteOf(*from, d)] == n) continue;
        std::uint32_t sum = 0;
        for (unsigned b = 0; b < 256; ++b) sum += std::exchange(count[b], sum);
        for (T* p = from; p != from + n; ++p) to[count[byteOf(*p, d)]++] = *p;
        std::swap(from, to);
    }
    if (from != first) std::copy(from, from + n, first);
}

}  // namespace plist::detail
