// Builds binary property lists for tests, object by object, so that a test
// can make shared references, cycles and broken trailers on purpose.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Values.h"

class Bplist {
public:
    using Ref = std::uint64_t;

    Ref raw(std::string bytes);  // any object bytes, written as they are
    Ref boolean(bool b);
    Ref null();
    Ref integer(std::int64_t i);
    Ref integer16(std::uint64_t high, std::uint64_t low);
    Ref real(double d);
    Ref real32(float f);
    Ref date(double seconds);
    Ref data(const std::string& bytes);
    Ref ascii(const std::string& text);
    Ref utf16(const std::u16string& text);
    Ref uid(std::uint32_t u);
    Ref array(const std::vector<Ref>& items);
    Ref set(const std::vector<Ref>& items);
    Ref dict(const std::vector<Ref>& keys, const std::vector<Ref>& values);

    // Adds the value and everything it holds; shared nodes are added once.
    Ref add(const plist::Value& v);

    // An array whose items are filled in later, for cycles.
    Ref reserveArray(std::size_t count);
    void setItems(Ref array, const std::vector<Ref>& items);

    // Sizes of 0 are chosen to fit.
    std::string build(Ref top, unsigned offsetSize = 0, unsigned refSize = 0) const;

    // A plist of the value as root, in one call.
    static std::string of(const plist::Value& root);

private:
    struct Object {
        std::string head;
        std::vector<Ref> refs;
    };
    Ref push(Object o);
    static std::string count(unsigned char marker, std::uint64_t n);
    std::vector<Object> objects_;
    std::map<const void*, Ref> shared_;
};

// Big-endian bytes of a value.
std::string bigEndian(std::uint64_t v, unsigned width);
