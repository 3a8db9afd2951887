#include "Values.h"

#include "Bplist.h"

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

const std::string& Value::text() const { return *static_cast<const std::string*>(node_.get()); }
const Array& Value::items() const { return *static_cast<const Array*>(node_.get()); }
Array& Value::items() { return *static_cast<Array*>(node_.get()); }
const Dictionary& Value::dict() const { return *static_cast<const Dictionary*>(node_.get()); }
Dictionary& Value::dict() { return *static_cast<Dictionary*>(node_.get()); }
std::shared_ptr<Dictionary> Value::dictPointer() const { return std::static_pointer_cast<Dictionary>(node_); }
const void* Value::node() const { return node_.get(); }

std::shared_ptr<Dictionary> makeDictionary() { return std::make_shared<Dictionary>(); }

void Dictionary::set(const std::string& key, Value value) {
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

namespace {

Value scalarValue(const Scalar& s) {
    switch (s.type) {
    case Type::Boolean: return Value::boolean(s.boolean());
    case Type::Integer: return s.isUnsigned ? Value::unsignedInteger(s.bits) : Value::integer(s.integer());
    case Type::Real: return Value::real(s.real());
    case Type::Date: return Value::date(s.real());
    case Type::Uid: return Value::uid(static_cast<std::uint32_t>(s.bits));
    default: return Value();
    }
}

class Converter {
public:
    explicit Converter(const Document& doc) : doc_(doc) {}

    Value value(std::uint32_t index) {
        auto found = memo_.find(index);
        if (found != memo_.end()) return found->second;
        Document::Object o = doc_.object(index);
        std::string scratch;
        Value v;
        switch (o.kind()) {
        case 0x40: v = Value::data(std::string(doc_.text(o, scratch))); break;
        case 0x50:
        case 0x60:
        case Document::kUtf8: v = Value::string(std::string(doc_.text(o, scratch))); break;
        case 0xA0:
        case 0xC0: {
            auto items = std::make_shared<Array>();
            for (std::uint64_t k = 0; k < o.count; ++k) items->push_back(value(doc_.ref(o, k)));
            v = o.kind() == 0xA0 ? Value::array(items) : Value::set(items);
            break;
        }
        case 0xD0: {
            DictionaryBuilder dict(DictionaryBuilder::Duplicates::FirstWins, o.count);
            for (std::uint64_t k = 0; k < o.count; ++k)
                dict.add(value(doc_.ref(o, k)), value(doc_.ref(o, o.count + k)));
            v = Value::dictionary(dict.finish());
            break;
        }
        default: return scalarValue(doc_.scalar(o));
        }
        memo_.emplace(index, v);
        return v;
    }

private:
    const Document& doc_;
    std::unordered_map<std::uint32_t, Value> memo_;
};

}  // namespace

Value valueOf(const Document& document) {
    Value root = Converter(document).value(document.root());
    if (!document.edits().empty()) {
        // A copy, so that nothing shared with the rest changes.
        auto dict = std::make_shared<Dictionary>(root.dict());
        for (const auto& edit : document.edits()) dict->set(edit.key, scalarValue(edit.value));
        root = Value::dictionary(dict);
    }
    return root;
}

Value valueOf(const ReadResult& result) { return result ? valueOf(*result.document) : Value(); }

std::shared_ptr<Dictionary> dictionaryOf(std::string bytes) {
    auto doc = readDictionary(std::move(bytes));
    return doc ? valueOf(*doc).dictPointer() : nullptr;
}

std::unique_ptr<Document> documentOf(const Value& root) { return readBinary(Bplist::of(root)).document; }

std::unique_ptr<Document> documentOf(const Dictionary& root) {
    return documentOf(Value::dictionary(std::make_shared<Dictionary>(root)));
}

bool writeXml(const Dictionary& root, std::string& out, std::string* error) {
    auto doc = documentOf(root);
    if (!doc) {
        if (error) *error = "the binary reader refuses it";
        return false;
    }
    return writeXml(*doc, out, error);
}

}  // namespace plist
