// Work split in two, the second part on a thread of its own, for the few
// steps where a profile on two cores showed it pays.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

namespace plist::detail {

// From this many items a part, about: below, a thread costs more than it
// saves.
constexpr std::size_t kTwoPartsFrom = std::size_t{1} << 16;

// part(1) on a thread of its own and part(0) on this one; part(1) here
// after part(0) where no thread could be started or it failed there (no
// memory), so each part must start afresh. Nothing escapes before the
// other thread is joined.
template <typename Part>
void inTwoParts(Part part) {
    bool again = false;
    std::thread other;
    try {
        other = std::thread([&] {
            try {
                part(1);
            } catch (...) {
                again = true;
            }
        });
    } catch (const std::system_error&) {
        again = true;
    }
    try {
        part(0);
    } catch (...) {
        if (other.joinable()) other.join();
        throw;
    }
    if (other.joinable()) other.join();
    if (again) part(1);
}

// An allocator that leaves what it makes unset, for items each part writes
// itself: zeroed first, their memory would take its page faults on one
// thread.
template <typename T>
struct Unzeroed : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = Unzeroed<U>;
    };
    Unzeroed() = default;
    template <typename U>
    Unzeroed(const Unzeroed<U>&) noexcept {}
    // Made with no value: left unset. (Made from values, as any allocator
    // makes them: this hides the base's construct().)
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
};

}  // namespace plist::detail
