// The XML writer: Foundation's layout byte for byte, except where Foundation
// would lose data (a CR, the sign of -0.0, a lone surrogate).
#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <system_error>
#include <thread>

#include "PropertyList.h"
#include "ScalarText.h"
#include "TextBuffer.h"
#include "Unicode.h"
#include "WriteCheck.h"

namespace plist {

namespace {

using namespace detail;

constexpr int kMaxDataIndent = 8;  // base64 lines stop indenting here

// The characters the text escapes: < > & and CR.
constexpr bool kSpecial[63] = {false, false, false, false, false, false, false, false, false, false, false, false,
                               false, true,  false, false, false, false, false, false, false, false, false, false,
                               false, false, false, false, false, false, false, false, false, false, false, false,
                               false, false, true,  false, false, false, false, false, false, false, false, false,
                               false, false, false, false, false, false, false, false, false, false, false, false,
                               true,  false, true};

// A line is written where the buffer ends, in room reserved for it at
// once: its pieces are copied in words of a size known when compiled, which
// may write past a piece but never past the room.
constexpr std::size_t kWord = 16;

// A tag, padded to a word.
struct Piece {
    char text[kWord];
    std::size_t size;
};
template <std::size_t N>
constexpr Piece piece(const char (&text)[N]) {
    static_assert(N - 1 <= kWord, "a tag fits in a word");
    Piece p{{}, N - 1};
    for (std::size_t k = 0; k + 1 < N; ++k) p.text[k] = text[k];
    return p;
}
char* put(char* o, const Piece& p) {
    std::memcpy(o, p.text, kWord);
    return o + p.size;
}

struct Tag {
    Piece open, close;
};
constexpr Tag kKey{piece("<key>"), piece("</key>\n")}, kString{piece("<string>"), piece("</string>\n")},
    kInteger{piece("<integer>"), piece("</integer>\n")}, kReal{piece("<real>"), piece("</real>\n")},
    kDate{piece("<date>"), piece("</date>\n")};

class XmlWriter {
public:
    XmlWriter(const Document& doc, const Entries& root, const XmlSink& sink, const std::atomic<bool>* stop)
        : doc_(doc), root_(root), out_(sink, stop) {}

    void document() {
        out_ +=
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
            "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
            "<plist version=\"1.0\">\n";
        root();
        out_ += "</plist>\n";
        out_.flush();
    }

private:
    // Room for a line's indent, its tags and `text` bytes.
    char* lineRoom(int depth, std::size_t text) {
        return out_.room(std::max<std::size_t>(static_cast<std::size_t>(depth), kWord) + 2 * kWord + text);
    }
    static char* tabsAt(char* o, int depth) {
        static constexpr char kTabs[kWord] = {'\t', '\t', '\t', '\t', '\t', '\t', '\t', '\t',
                                              '\t', '\t', '\t', '\t', '\t', '\t', '\t', '\t'};
        auto n = static_cast<std::size_t>(depth);
        if (n <= kWord) std::memcpy(o, kTabs, kWord);
        else std::memset(o, '\t', n);
        return o + n;
    }
    // A tag alone on its line.
    template <std::size_t N>
    void line(int depth, const char (&tag)[N]) {
        static_assert(N <= 2 * kWord, "a line fits in the room for two tags");
        char* o = tabsAt(lineRoom(depth, 0), depth);
        std::memcpy(o, tag, N - 1);
        o[N - 1] = '\n';
        out_.endAt(o + N);
    }

    // How many of the eight bytes at p come before the first one the text
    // escapes (see unicode::bytesBefore).
    static unsigned plainBytes(const char* p) {
        using unicode::bytesEqual;
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        return unicode::bytesBefore(bytesEqual(w, '<') | bytesEqual(w, '>') | bytesEqual(w, '&') | bytesEqual(w, '\r'));
    }

    void escaped(std::string_view text) {
        // In pieces the buffer holds however many of their bytes escape.
        for (std::size_t at = 0; at < text.size(); at += kEscapedPiece) {
            std::string_view piece = text.substr(at, kEscapedPiece);
            out_.endAt(escapedAt(out_.room(escapedRoom(piece.size())), piece));
        }
    }

    // Room for every byte an entity of five and for eight more, which the
    // copies a word at a time may touch.
    static constexpr std::size_t escapedRoom(std::size_t n) { return 5 * n + 8; }
    static constexpr std::size_t kEscapedPiece = (Buffer::kSize - 8) / 5;
    static char* escapedAt(char* o, std::string_view text) {
        const char* s = text.data();
        const std::size_t n = text.size();
        for (std::size_t i = 0; i < n;) {
            // Eight bytes at a time up to one that needs an entity.
            if (n - i >= 8) {
                unsigned plain = plainBytes(s + i);
                std::memcpy(o, s + i, 8);
                i += plain, o += plain;
                if (plain == 8) continue;
            }
            unsigned char c = static_cast<unsigned char>(s[i++]);
            if (c > '>' || !kSpecial[c]) {
                *o++ = static_cast<char>(c);
                continue;
            }
            switch (c) {
            case '<': std::memcpy(o, "&lt;", 4), o += 4; break;
            case '>': std::memcpy(o, "&gt;", 4), o += 4; break;
            case '&': std::memcpy(o, "&amp;", 5), o += 5; break;
            // Written raw, a CR would come back as LF from any standard XML reader.
            default: std::memcpy(o, "&#13;", 5), o += 5; break;
            }
        }
        return o;
    }

    // Text up to this size is escaped into its line's room; longer text
    // into room of its own, piece by piece.
    static constexpr std::size_t kShortText = 4096;

    void element(const Tag& tag, std::string_view text, int depth) {
        if (text.size() <= kShortText) {
            char* o = put(tabsAt(lineRoom(depth, escapedRoom(text.size())), depth), tag.open);
            out_.endAt(put(escapedAt(o, text), tag.close));
            return;
        }
        char* o = put(tabsAt(lineRoom(depth, 0), depth), tag.open);
        out_.endAt(o);
        escaped(text);
        out_.endAt(put(out_.room(kWord), tag.close));
    }

    // A real's or a date's text, which never needs escaping. One of
    // RealTexts::kRoom bytes or fewer is copied as that many, which its
    // buffer holds.
    void scalar(const Tag& tag, std::string_view text, int depth) {
        constexpr std::size_t kRoom = RealTexts::kRoom;
        char* o = put(tabsAt(lineRoom(depth, std::max(text.size(), kRoom)), depth), tag.open);
        if (text.size() <= kRoom) std::memcpy(o, text.data(), kRoom);
        else std::memcpy(o, text.data(), text.size());
        out_.endAt(put(o + text.size(), tag.close));
    }

    void integer(const Scalar& v, int depth) {
        // Its digits end two words into the buffer, which holds two more:
        // two words from their start are copied, whatever their number.
        constexpr std::size_t kDigits = 2 * kWord;
        char buf[2 * kDigits];
        std::string_view t = integerText(v, buf + kDigits);
        char* o = put(tabsAt(lineRoom(depth, kDigits), depth), kInteger.open);
        std::memcpy(o, t.data(), kDigits);
        out_.endAt(put(o + t.size(), kInteger.close));
    }

    void scalar(const Scalar& v, int depth) {
        char buf[128];
        switch (v.type) {
        case Type::Boolean:
            if (v.boolean()) line(depth, "<true/>");
            else line(depth, "<false/>");
            break;
        case Type::Integer: integer(v, depth); break;
        case Type::Real: scalar(kReal, reals_.text(v.real()), depth); break;
        case Type::Date:
            checkDate(v.real());
            scalar(kDate, dateText(v.real(), buf, sizeof buf), depth);
            break;
        case Type::Uid:
            line(depth, "<dict>");
            line(depth + 1, "<key>CF$UID</key>");
            integer(Scalar{Type::Integer, true, v.bits}, depth + 1);
            line(depth, "</dict>");
            break;
        default: refuse("cannot be written");  // the check refuses these too
        }
    }

    // The root, with the document's edits in their places.
    void root() {
        if (root_.empty() && doc_.edits().empty()) {
            line(0, "<dict/>");
            return;
        }
        line(0, "<dict>");
        eachRootEntry(
            doc_, root_,
            [&](const Entry& e) { entry(root_, e, 1); },
            [&](const Document::Edit& edit) {
                element(kKey, edit.key, 1);
                scalar(edit.value, 1);
            });
        line(0, "</dict>");
    }

    // A dictionary's entry: its key's own object, with its dictionary's
    // others (its rank's would be a look all over the key table), then its
    // value.
    void entry(const Entries& entries, const Entry& e, int depth) {
        element(kKey, doc_.text(entries.keyObject(e), scratch_), depth);
        object(entries.value(e), depth);
    }

    // An object, straight from the document.
    //
    // The check of the document may still be at work: what it would refuse
    // and could do harm here (a nesting without end, a date out of range)
    // is refused here too.
    void object(std::uint32_t index, int depth) {
        if (depth > kMaxDepth) refuse("nested too deep");
        Document::Object o = doc_.object(index);
        switch (o.kind()) {
        case 0x40: data(doc_.text(o, scratch_), depth); return;
        case 0x50:
        case 0x60:
        case Document::kUtf8: element(kString, doc_.text(o, scratch_), depth); return;
        case 0xA0:
            if (o.count == 0) {
                line(depth, "<array/>");
                return;
            }
            line(depth, "<array>");
            for (std::uint64_t k = 0; k < o.count; ++k) {
                doc_.prefetchAhead(o, k, o.count);
                object(doc_.ref(o, k), depth + 1);
            }
            line(depth, "</array>");
            return;
        case 0xD0: {
            if (o.count == 0) {
                line(depth, "<dict/>");
                return;
            }
            const Entries& sorted = pool_.at(depth).of(doc_, o, true);
            line(depth, "<dict>");
            sorted.each([&](const Entry& e) { entry(sorted, e, depth + 1); });
            line(depth, "</dict>");
            return;
        }
        default: scalar(doc_.scalar(o), depth); return;
        }
    }

    // Base64 a line at a time: each line holds a whole number of groups
    // (76 characters less a tab's 8 for each level, down to 12), so only
    // the last group of all is padded.
    void data(std::string_view bytes, int depth) {
        static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        // Two digits at once: the pair for each twelve bits.
        static const auto pairs = [] {
            std::array<char, 2 * 4096> t{};
            for (std::size_t v = 0; v < 4096; ++v) t[2 * v] = alphabet[v >> 6], t[2 * v + 1] = alphabet[v & 63];
            return t;
        }();
        line(depth, "<data>");
        int lineIndent = std::clamp(depth, 0, kMaxDataIndent);
        std::size_t perLine = static_cast<std::size_t>(76 - 8 * lineIndent) / 4 * 3;  // bytes
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
        for (std::size_t at = 0; at < bytes.size(); at += perLine) {
            std::size_t end = std::min(bytes.size(), at + perLine), i = at;
            char* o = tabsAt(lineRoom(lineIndent, 80), lineIndent);
            for (; i + 3 <= end; i += 3, o += 4) {
                std::uint32_t v = (std::uint32_t{p[i]} << 16) | (std::uint32_t{p[i + 1]} << 8) | p[i + 2];
                std::memcpy(o, &pairs[2 * (v >> 12)], 2);
                std::memcpy(o + 2, &pairs[2 * (v & 0xFFF)], 2);
            }
            if (i < end) {
                std::uint32_t v = std::uint32_t{p[i]} << 16 | (i + 1 < end ? std::uint32_t{p[i + 1]} << 8 : 0);
                *o++ = alphabet[v >> 18];
                *o++ = alphabet[(v >> 12) & 63];
                *o++ = i + 1 < end ? alphabet[(v >> 6) & 63] : '=';
                *o++ = '=';
            }
            *o++ = '\n';
            out_.endAt(o);
        }
        line(depth, "</data>");
    }

    const Document& doc_;
    const Entries& root_;
    Buffer out_;
    RealTexts reals_;
    EntriesPool pool_;
    std::string scratch_;
};

}  // namespace

// From this size, a document is checked alongside the writing: below, a
// thread would cost more than it saves.
constexpr std::size_t kCheckAlongsideFrom = std::size_t{256} << 10;

XmlText::XmlText(const Document& document) : doc_(document), ok_(document.rootIsDictionary()) {
    if (!ok_) {
        error_ = "the root is not a dictionary";
        return;
    }
    try {
        root_ = std::make_unique<Entries>();
        root_->of(doc_, doc_.object(doc_.root()), true);
    } catch (const WriteFailure& f) {
        ok_ = false;
        error_ = f.what;
        return;
    }
    if (document.size() < kCheckAlongsideFrom) check();
}

XmlText::~XmlText() = default;

bool XmlText::check() {
    if (!ok_ || checked_) return ok_;
    try {
        // A root out of order is checked as the document holds it, its
        // objects met in the order they lie; should that refuse it, it is
        // checked again in its keys' order, for the refusal that comes
        // first there.
        try {
            expected_ = WriteCheck(doc_, *root_, !root_->inOrder()).run();
        } catch (const WriteFailure&) {
            if (root_->inOrder()) throw;
            Entries sorted;  // with its keys' numbers, where the writer's hold their places
            expected_ = WriteCheck(doc_, sorted.of(doc_, doc_.object(doc_.root()))).run();
        }
        checked_ = true;
    } catch (const WriteFailure& f) {
        ok_ = false;
        error_ = f.what;
    }
    return ok_;
}

bool XmlText::writeText(const XmlSink& sink, const std::atomic<bool>* stop) const {
    try {
        XmlWriter(doc_, *root_, sink, stop).document();
        return true;
    } catch (...) {
        // The sink stopped, the check failed alongside, a refusal, or no
        // memory: no text, and nothing may escape while the check's thread
        // is still to be joined.
        return false;
    }
}

bool XmlText::write(const XmlSink& sink) {
    if (!ok_) return false;
    if (checked_) return writeText(sink, nullptr);
    // The rest of the check takes one core and the writing the other; the
    // writing stops as soon as the check fails, and the text it gave the
    // sink is then to be thrown away.
    std::atomic<bool> failed{false};
    std::thread checker;
    try {
        checker = std::thread([this, &failed] {
            try {
                check();
            } catch (...) {  // out of memory
                ok_ = false;
                error_ = "the check could not be finished";
            }
            if (!ok_) failed = true;
        });
    } catch (const std::system_error&) {
        return check() && writeText(sink, nullptr);
    }
    bool written = writeText(sink, &failed);
    checker.join();
    return ok_ && written;
}

bool writeXml(const Document& document, std::string& out, std::string* error) {
    XmlText text(document);
    if (!text.check()) {
        if (error) *error = text.error();
        return false;
    }
    std::string result;
    result.reserve(static_cast<std::size_t>(text.expectedSize() + text.expectedSize() / 8));
    text.write([&](std::string_view piece) {
        result += piece;
        return true;
    });
    out = std::move(result);
    return true;
}

}  // namespace plist
