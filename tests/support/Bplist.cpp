#include "Bplist.h"

#include <cstring>

#include "Unicode.h"

std::string bigEndian(std::uint64_t v, unsigned width) {
    std::string out(width, '\0');
    for (unsigned i = 0; i < width && i < 8; ++i) out[width - 1 - i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
}

Bplist::Ref Bplist::push(Object o) {
    objects_.push_back(std::move(o));
    return objects_.size() - 1;
}

std::string Bplist::count(unsigned char marker, std::uint64_t n) {
    if (n < 15) return std::string(1, static_cast<char>(marker | n));
    std::string out(1, static_cast<char>(marker | 0x0F));
    if (n <= 0xFF) return out + "\x10" + bigEndian(n, 1);
    if (n <= 0xFFFF) return out + "\x11" + bigEndian(n, 2);
    if (n <= 0xFFFFFFFF) return out + "\x12" + bigEndian(n, 4);
    return out + "\x13" + bigEndian(n, 8);
}

Bplist::Ref Bplist::raw(std::string bytes) { return push({std::move(bytes), {}}); }
Bplist::Ref Bplist::boolean(bool b) { return raw(b ? "\x09" : "\x08"); }
Bplist::Ref Bplist::null() { return raw(std::string(1, '\0')); }

Bplist::Ref Bplist::integer(std::int64_t i) {
    auto u = static_cast<std::uint64_t>(i);
    if (i >= 0 && u <= 0xFF) return raw("\x10" + bigEndian(u, 1));
    if (i >= 0 && u <= 0xFFFF) return raw("\x11" + bigEndian(u, 2));
    if (i >= 0 && u <= 0xFFFFFFFF) return raw("\x12" + bigEndian(u, 4));
    return raw("\x13" + bigEndian(u, 8));
}

Bplist::Ref Bplist::integer16(std::uint64_t high, std::uint64_t low) {
    return raw("\x14" + bigEndian(high, 8) + bigEndian(low, 8));
}

Bplist::Ref Bplist::real(double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, 8);
    return raw("\x23" + bigEndian(bits, 8));
}

Bplist::Ref Bplist::real32(float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, 4);
    return raw("\x22" + bigEndian(bits, 4));
}

Bplist::Ref Bplist::date(double seconds) {
    std::uint64_t bits;
    std::memcpy(&bits, &seconds, 8);
    return raw("\x33" + bigEndian(bits, 8));
}

Bplist::Ref Bplist::data(const std::string& bytes) { return raw(count(0x40, bytes.size()) + bytes); }
Bplist::Ref Bplist::ascii(const std::string& text) { return raw(count(0x50, text.size()) + text); }

Bplist::Ref Bplist::utf16(const std::u16string& text) {
    std::string body;
    for (char16_t c : text) body += bigEndian(c, 2);
    return raw(count(0x60, text.size()) + body);
}

Bplist::Ref Bplist::uid(std::uint32_t u) {
    if (u <= 0xFF) return raw("\x80" + bigEndian(u, 1));
    if (u <= 0xFFFF) return raw("\x81" + bigEndian(u, 2));
    return raw("\x83" + bigEndian(u, 4));
}

Bplist::Ref Bplist::array(const std::vector<Ref>& items) { return push({count(0xA0, items.size()), items}); }
Bplist::Ref Bplist::set(const std::vector<Ref>& items) { return push({count(0xC0, items.size()), items}); }

Bplist::Ref Bplist::dict(const std::vector<Ref>& keys, const std::vector<Ref>& values) {
    std::vector<Ref> refs = keys;
    refs.insert(refs.end(), values.begin(), values.end());
    return push({count(0xD0, keys.size()), refs});
}

Bplist::Ref Bplist::reserveArray(std::size_t n) { return push({count(0xA0, n), std::vector<Ref>(n, 0)}); }
void Bplist::setItems(Ref a, const std::vector<Ref>& items) { objects_[a].refs = items; }

Bplist::Ref Bplist::add(const plist::Value& v) {
    using plist::Type;
    if (v.node() != nullptr) {
        auto found = shared_.find(v.node());
        if (found != shared_.end()) return found->second;
    }
    Ref r = 0;
    switch (v.type()) {
    case Type::Boolean: r = boolean(v.boolean()); break;
    case Type::Integer:
        r = v.isUnsigned() ? integer16(0, v.bits()) : integer(v.integer());
        break;
    case Type::Real: r = real(v.real()); break;
    case Type::Date: r = date(v.real()); break;
    case Type::Data: r = data(v.text()); break;
    case Type::String: {
        bool isAscii = true;
        for (char c : v.text()) isAscii = isAscii && static_cast<unsigned char>(c) < 0x80;
        if (isAscii) {
            r = ascii(v.text());
        } else {
            std::u16string units;
            std::uint32_t cp;
            for (std::size_t i = 0; i < v.text().size();) {
                // The in-memory form may hold lone surrogates: decode loosely.
                const auto* s = reinterpret_cast<const unsigned char*>(v.text().data());
                unsigned char c = s[i];
                std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
                cp = len == 1 ? c : c & (0x7F >> len);
                for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (s[i + k] & 0x3F);
                i += len;
                if (cp >= 0x10000) {
                    units += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
                    units += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
                } else {
                    units += static_cast<char16_t>(cp);
                }
            }
            r = utf16(units);
        }
        break;
    }
    case Type::Uid: r = uid(v.uid()); break;
    case Type::Null: r = null(); break;
    case Type::Array:
    case Type::Set: {
        std::vector<Ref> items;
        for (const auto& item : v.items()) items.push_back(add(item));
        r = v.is(Type::Array) ? array(items) : set(items);
        break;
    }
    case Type::Dictionary: {
        std::vector<Ref> keys, values;
        for (const auto& e : v.dict().entries) {
            keys.push_back(add(e.first));
            values.push_back(add(e.second));
        }
        r = dict(keys, values);
        break;
    }
    }
    if (v.node() != nullptr) shared_[v.node()] = r;
    return r;
}

std::string Bplist::build(Ref top, unsigned offsetSize, unsigned refSize) const {
    std::uint64_t n = objects_.size();
    if (refSize == 0) refSize = n <= 0xFF ? 1 : n <= 0xFFFF ? 2 : 4;
    std::string out = "bplist00";
    std::vector<std::uint64_t> offsets;
    for (const auto& o : objects_) {
        offsets.push_back(out.size());
        out += o.head;
        for (Ref r : o.refs) out += bigEndian(r, refSize);
    }
    std::uint64_t table = out.size();
    if (offsetSize == 0) offsetSize = table <= 0xFF ? 1 : table <= 0xFFFF ? 2 : table <= 0xFFFFFFFF ? 4 : 8;
    for (auto off : offsets) out += bigEndian(off, offsetSize);
    out += std::string(6, '\0');
    out += static_cast<char>(offsetSize);
    out += static_cast<char>(refSize);
    out += bigEndian(n, 8) + bigEndian(top, 8) + bigEndian(table, 8);
    return out;
}

std::string Bplist::of(const plist::Value& root) {
    Bplist b;
    Ref top = b.add(root);
    return b.build(top);
}
