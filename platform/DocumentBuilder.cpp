#include "DocumentBuilder.h"

#include <stdexcept>
#include <unordered_map>

namespace plist {

namespace {

constexpr std::uint64_t kRefSize = 4;
constexpr std::size_t kIndexedFrom = 16;  // entries; below, a linear search is cheaper

}  // namespace

DocumentBuilder::DocumentBuilder(std::string_view source) : doc_(new Document), source_(source) {
    doc_->refSize_ = kRefSize;
}

void DocumentBuilder::number(std::uint64_t v, unsigned width) {
    for (unsigned k = width; k-- > 0;) doc_->bytes_ += static_cast<char>((v >> (8 * k)) & 0xFF);
}

// The marker of a new object, and its count as the binary format writes one.
std::uint32_t DocumentBuilder::begin(unsigned char kind, std::uint64_t count) {
    if (doc_->offsets_.size() >= Document::npos) throw std::length_error("too many objects");
    doc_->offsets_.push_back(doc_->bytes_.size());
    if (count < 15) {
        doc_->bytes_ += static_cast<char>(kind | count);
    } else {
        doc_->bytes_ += static_cast<char>(kind | 0x0F);
        unsigned log = count < 0x100 ? 0 : count < 0x10000 ? 1 : count < 0x100000000ull ? 2 : 3;
        doc_->bytes_ += static_cast<char>(0x10 | log);
        number(count, 1u << log);
    }
    return static_cast<std::uint32_t>(doc_->offsets_.size() - 1);
}

std::uint32_t DocumentBuilder::scalar(const Scalar& value) {
    std::uint32_t index = static_cast<std::uint32_t>(doc_->offsets_.size());
    if (index >= Document::npos) throw std::length_error("too many objects");
    doc_->offsets_.push_back(doc_->bytes_.size());
    switch (value.type) {
    case Type::Boolean: doc_->bytes_ += value.boolean() ? '\x09' : '\x08'; break;
    case Type::Integer:
        // Unsigned only above INT64_MAX, which takes the 16-byte form.
        doc_->bytes_ += value.isUnsigned ? '\x14' : '\x13';
        if (value.isUnsigned) number(0, 8);
        number(value.bits, 8);
        break;
    case Type::Real:
    case Type::Date:
        doc_->bytes_ += value.type == Type::Real ? '\x23' : '\x33';
        number(value.bits, 8);
        break;
    case Type::Uid:
        doc_->bytes_ += '\x83';
        number(value.bits, 4);
        break;
    default: doc_->bytes_ += '\x00'; break;
    }
    return index;
}

std::uint32_t DocumentBuilder::string(std::string_view text) {
    std::uint32_t index = begin(Document::kUtf8, text.size());
    doc_->bytes_.append(text);
    return index;
}

std::uint32_t DocumentBuilder::view(std::string_view piece) {
    if (piece.size() <= 8) return string(piece);  // no bigger than the place it would take
    std::uint32_t index = begin(Document::kUtf8View, piece.size());
    number(static_cast<std::uint64_t>(piece.data() - source_.data()), 8);
    return index;
}

std::uint32_t DocumentBuilder::data(std::string_view bytes) {
    std::uint32_t index = begin(0x40, bytes.size());
    doc_->bytes_.append(bytes);
    return index;
}

std::uint32_t DocumentBuilder::array(std::size_t opened) {
    std::uint32_t index = begin(0xA0, items_.size() - opened);
    for (std::size_t k = opened; k < items_.size(); ++k) number(items_[k], kRefSize);
    items_.resize(opened);
    return index;
}

std::string_view DocumentBuilder::keyText(std::uint32_t index, std::string& scratch) const {
    const auto* p = reinterpret_cast<const unsigned char*>(doc_->bytes_.data()) + doc_->offsets_[index];
    if ((p[0] & 0xF0) != Document::kUtf8View) return doc_->text(doc_->object(index), scratch);
    // The source is not the document's yet.
    std::uint64_t count = p[0] & 0x0F;
    ++p;
    if (count == 0x0F) {
        std::uint64_t width = std::uint64_t{1} << (p[0] & 0x0F);
        count = bigEndian(p + 1, width);
        p += 1 + width;
    }
    return source_.substr(bigEndian(p, 8), count);
}

std::uint32_t DocumentBuilder::dictionary(std::size_t opened, bool uids) {
    std::size_t n = (items_.size() - opened) / 2;
    std::uint32_t* pairs = items_.data() + opened;
    std::string scratch;
    if (n > 1) {
        // Keys are UTF-8 strings the text readers made, never decoded into
        // the scratch; their texts stay put while the entries are settled,
        // since nothing is added meanwhile.
        std::vector<std::string_view>& texts = texts_;
        texts.resize(n);
        for (std::size_t k = 0; k < n; ++k) texts[k] = keyText(pairs[2 * k], scratch);
        std::size_t kept = 0;
        std::unordered_map<std::string_view, std::size_t> index;
        for (std::size_t k = 0; k < n; ++k) {
            std::size_t found = kept;
            if (n >= kIndexedFrom) {
                auto at = index.emplace(texts[k], kept);
                if (!at.second) found = at.first->second;
            } else {
                for (std::size_t j = 0; j < kept; ++j)
                    if (texts[j] == texts[k]) found = j;
            }
            if (found != kept) {
                pairs[2 * found + 1] = pairs[2 * k + 1];
                continue;
            }
            texts[kept] = texts[k];
            pairs[2 * kept] = pairs[2 * k];
            pairs[2 * kept + 1] = pairs[2 * k + 1];
            ++kept;
        }
        n = kept;
        items_.resize(opened + 2 * n);
    }
    if (uids && n == 1 && keyText(pairs[0], scratch) == "CF$UID") {
        Document::Object value = doc_->object(pairs[1]);
        Scalar s = doc_->scalar(value);
        if (value.kind() == 0x10 && !s.isUnsigned && s.integer() >= 0 && s.integer() <= 0xFFFFFFFF) {
            items_.resize(opened);
            return scalar(Scalar{Type::Uid, false, s.bits});
        }
    }
    std::uint32_t index = begin(0xD0, n);
    for (std::size_t k = 0; k < n; ++k) {
        number(items_[opened + 2 * k], kRefSize);
        keys_.push_back(items_[opened + 2 * k]);
    }
    for (std::size_t k = 0; k < n; ++k) number(items_[opened + 2 * k + 1], kRefSize);
    items_.resize(opened);
    return index;
}

DocumentBuilder::Mark DocumentBuilder::mark() const {
    return Mark{doc_->bytes_.size(), doc_->offsets_.size(), items_.size(), keys_.size()};
}

void DocumentBuilder::rewind(const Mark& m) {
    doc_->bytes_.resize(m.bytes);
    doc_->offsets_.resize(m.objects);
    items_.resize(m.items);
    keys_.resize(m.keys);
}

std::unique_ptr<Document> DocumentBuilder::finish(std::uint32_t root, std::string source) {
    doc_->count_ = static_cast<std::uint32_t>(doc_->offsets_.size());
    doc_->root_ = root;
    doc_->source_ = std::move(source);
    doc_->bytes_.shrink_to_fit();
    doc_->index(keys_);
    return std::move(doc_);
}

}  // namespace plist
