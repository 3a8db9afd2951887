#include "Value.h"

#include "BinaryDocument.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace plist {

Value Value::boolean(bool b) {
    Value v;
    v.type_ = Type::Boolean;
    v.scalar_.b = b;
    return v;
}

Value Value::integer(std::int64_t i) {
    Value v;
    v.type_ = Type::Integer;
    v.scalar_.u = static_cast<std::uint64_t>(i);
    return v;
}

Value Value::unsignedInteger(std::uint64_t u) {
    Value v;
    v.type_ = Type::Integer;
    v.scalar_.u = u;
    v.unsigned_ = u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return v;
}

Value Value::real(double d) {
    Value v;
    v.type_ = Type::Real;
    v.scalar_.d = d;
    return v;
}

Value Value::date(double seconds) {
    Value v;
    v.type_ = Type::Date;
    v.scalar_.d = seconds;
    return v;
}

Value Value::string(std::string text) {
    Value v;
    v.type_ = Type::String;
    v.node_ = std::make_shared<std::string>(std::move(text));
    return v;
}

Value Value::data(std::string bytes) {
    Value v;
    v.type_ = Type::Data;
    v.node_ = std::make_shared<std::string>(std::move(bytes));
    return v;
}

Value Value::array(std::shared_ptr<Array> items) {
    Value v;
    v.type_ = Type::Array;
    v.node_ = std::move(items);
    return v;
}

Value Value::set(std::shared_ptr<Array> items) {
    Value v;
    v.type_ = Type::Set;
    v.node_ = std::move(items);
    return v;
}

Value Value::dictionary(std::shared_ptr<Dictionary> dict) {
    Value v;
    v.type_ = Type::Dictionary;
    v.node_ = std::move(dict);
    return v;
}

Value Value::uid(std::uint32_t u) {
    Value v;
    v.type_ = Type::Uid;
    v.scalar_.u = u;
    return v;
}

Value Value::deferred(std::shared_ptr<detail::Deferred> d) {
    Value v;
    unsigned char kind = d->document->object(d->index).kind();
    v.type_ = kind == 0xA0 ? Type::Array : kind == 0xC0 ? Type::Set : Type::Dictionary;
    v.deferred_ = true;
    v.node_ = std::move(d);
    return v;
}

// A deferred container behaves as the one its document builds for it.
const Value& Value::resolved() const { return deferred_ ? deferred()->resolve() : *this; }

const std::string& Value::text() const { return *static_cast<const std::string*>(node_.get()); }
const Array& Value::items() const { return *static_cast<const Array*>(resolved().node_.get()); }
Array& Value::items() { return *static_cast<Array*>(resolved().node_.get()); }
const Dictionary& Value::dict() const { return *static_cast<const Dictionary*>(resolved().node_.get()); }
Dictionary& Value::dict() { return *static_cast<Dictionary*>(resolved().node_.get()); }
std::shared_ptr<Dictionary> Value::dictPointer() const { return std::static_pointer_cast<Dictionary>(resolved().node_); }
const void* Value::node() const { return resolved().node_.get(); }

std::shared_ptr<Dictionary> makeDictionary() { return std::make_shared<Dictionary>(); }

void Dictionary::set(const std::string& key, Value value) {
    auto edit = std::find_if(edits_.begin(), edits_.end(), [&](const auto& e) { return e.first == key; });
    if (edit != edits_.end()) edit->second = value;
    else edits_.emplace_back(key, value);
    for (auto& entry : entries) {
        if (entry.first.is(Type::String) && entry.first.text() == key) {
            entry.second = std::move(value);
            return;
        }
    }
    entries.emplace_back(Value::string(key), std::move(value));
}

const Value* Dictionary::find(std::string_view key) const {
    for (const auto& entry : entries)
        if (entry.first.is(Type::String) && entry.first.text() == key) return &entry.second;
    return nullptr;
}

namespace {

constexpr std::size_t kIndexedFrom = 16;  // entries; below, a linear search is cheaper

}  // namespace

DictionaryBuilder::DictionaryBuilder(Duplicates rule, std::size_t expected) : rule_(rule), dict_(makeDictionary()) {
    dict_->entries.reserve(expected);
}

void DictionaryBuilder::add(Value key, Value value) {
    auto& entries = dict_->entries;
    if (key.is(Type::String)) {
        // Keys are held by shared pointer, so views of their text stay valid.
        std::string_view text = key.text();
        std::size_t found = entries.size();
        if (!index_.empty() || entries.size() >= kIndexedFrom) {
            if (index_.empty())
                for (std::size_t i = 0; i < entries.size(); ++i)
                    if (entries[i].first.is(Type::String)) index_.emplace(entries[i].first.text(), i);
            auto at = index_.find(text);
            if (at != index_.end()) found = at->second;
            else index_.emplace(text, entries.size());
        } else {
            for (std::size_t i = 0; i < entries.size(); ++i)
                if (entries[i].first.is(Type::String) && entries[i].first.text() == text) found = i;
        }
        if (found != entries.size()) {
            if (rule_ == Duplicates::LastWins) entries[found].second = std::move(value);
            return;
        }
    }
    entries.emplace_back(std::move(key), std::move(value));
}

namespace {

bool sameReal(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return a == b && std::signbit(a) == std::signbit(b);
}

// A total order on keys, only so that two dictionaries can be compared as maps.
bool keyLess(const Value& a, const Value& b) {
    if (a.type() != b.type()) return a.type() < b.type();
    switch (a.type()) {
    case Type::String:
    case Type::Data: return a.text() < b.text();
    case Type::Boolean: return a.boolean() < b.boolean();
    case Type::Integer:
    case Type::Uid: return a.bits() < b.bits();
    case Type::Real:
    case Type::Date: {
        std::uint64_t x, y;
        double da = a.real(), db = b.real();
        std::memcpy(&x, &da, 8);
        std::memcpy(&y, &db, 8);
        return x < y;
    }
    default: return false;
    }
}

}  // namespace

bool operator==(const Dictionary& a, const Dictionary& b) {
    if (a.size() != b.size()) return false;
    using Ptr = const std::pair<Value, Value>*;
    std::vector<Ptr> x, y;
    for (const auto& e : a.entries) x.push_back(&e);
    for (const auto& e : b.entries) y.push_back(&e);
    auto less = [](Ptr p, Ptr q) { return keyLess(p->first, q->first); };
    std::sort(x.begin(), x.end(), less);
    std::sort(y.begin(), y.end(), less);
    for (std::size_t i = 0; i < x.size(); ++i)
        if (x[i]->first != y[i]->first || x[i]->second != y[i]->second) return false;
    return true;
}

bool operator==(const Value& a, const Value& b) {
    if (a.type() != b.type()) return false;
    if (a.node() != nullptr && a.node() == b.node()) return true;
    switch (a.type()) {
    case Type::Boolean: return a.boolean() == b.boolean();
    case Type::Integer: return a.bits() == b.bits() && a.isUnsigned() == b.isUnsigned();
    case Type::Uid: return a.uid() == b.uid();
    case Type::Real:
    case Type::Date: return sameReal(a.real(), b.real());
    case Type::String:
    case Type::Data: return a.text() == b.text();
    case Type::Array:
    case Type::Set: return a.items() == b.items();
    case Type::Dictionary: return a.dict() == b.dict();
    case Type::Null: return true;
    }
    return false;
}

}  // namespace plist
