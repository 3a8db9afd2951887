#include "Json.h"

#include <stdexcept>

#include "Unicode.h"

namespace json {

const Value* Value::get(const std::string& key) const {
    for (const auto& m : members)
        if (m.first == key) return &m.second;
    return nullptr;
}

const Value& Value::operator[](const std::string& key) const {
    const Value* v = get(key);
    if (!v) throw std::runtime_error("no member " + key);
    return *v;
}

namespace {

struct Parser {
    const std::string& s;
    std::size_t p = 0;

    [[noreturn]] void fail() { throw std::runtime_error("bad JSON at " + std::to_string(p)); }
    void space() {
        while (p < s.size() && (s[p] == ' ' || s[p] == '\n' || s[p] == '\t' || s[p] == '\r')) ++p;
    }
    void expect(char c) {
        space();
        if (p >= s.size() || s[p] != c) fail();
        ++p;
    }
    unsigned hex4() {
        if (p + 4 > s.size()) fail();
        unsigned v = static_cast<unsigned>(std::stoul(s.substr(p, 4), nullptr, 16));
        p += 4;
        return v;
    }
    std::string string() {
        expect('"');
        std::string out;
        while (p < s.size() && s[p] != '"') {
            char c = s[p++];
            if (c != '\\') {
                out += c;
                continue;
            }
            char e = s[p++];
            switch (e) {
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                unsigned u = hex4();
                if (u >= 0xD800 && u <= 0xDBFF && s.compare(p, 2, "\\u") == 0) {
                    std::size_t save = p;
                    p += 2;
                    unsigned low = hex4();
                    if (low >= 0xDC00 && low <= 0xDFFF)
                        u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
                    else
                        p = save;
                }
                plist::unicode::append(out, u);
                break;
            }
            default: out += e;
            }
        }
        expect('"');
        return out;
    }
    Value value() {
        space();
        if (p >= s.size()) fail();
        Value v;
        char c = s[p];
        if (c == '{') {
            v.kind = Value::Kind::Object;
            ++p;
            space();
            if (s[p] == '}') return ++p, v;
            do {
                std::string key = string();
                expect(':');
                v.members.emplace_back(key, value());
                space();
            } while (s[p++] == ',');
            if (s[p - 1] != '}') fail();
        } else if (c == '[') {
            v.kind = Value::Kind::Array;
            ++p;
            space();
            if (s[p] == ']') return ++p, v;
            do {
                v.items.push_back(value());
                space();
            } while (s[p++] == ',');
            if (s[p - 1] != ']') fail();
        } else if (c == '"') {
            v.kind = Value::Kind::String;
            v.text = string();
        } else if (s.compare(p, 4, "true") == 0) {
            v.kind = Value::Kind::Bool, v.boolean = true, p += 4;
        } else if (s.compare(p, 5, "false") == 0) {
            v.kind = Value::Kind::Bool, p += 5;
        } else if (s.compare(p, 4, "null") == 0) {
            p += 4;
        } else {
            v.kind = Value::Kind::Number;
            std::size_t start = p;
            while (p < s.size() && std::string("+-.0123456789eE").find(s[p]) != std::string::npos) ++p;
            if (p == start) fail();
            v.text = s.substr(start, p - start);
        }
        return v;
    }
};

}  // namespace

Value parse(const std::string& text) {
    Parser parser{text};
    Value v = parser.value();
    parser.space();
    if (parser.p != text.size()) parser.fail();
    return v;
}

}  // namespace json
