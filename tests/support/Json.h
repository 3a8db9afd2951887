// A small JSON reader for the corpus expectations. Numbers keep their text
// so that integers up to 2^64-1 stay exact.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace json {

struct Value {
    enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
    bool boolean = false;
    std::string text;  // a string's value, or a number as written
    std::vector<Value> items;
    std::vector<std::pair<std::string, Value>> members;

    const Value* get(const std::string& key) const;
    const Value& operator[](const std::string& key) const;
};

// Throws std::runtime_error on malformed input.
Value parse(const std::string& text);

}  // namespace json
