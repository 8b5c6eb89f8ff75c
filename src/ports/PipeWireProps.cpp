#include "ports/PipeWireProps.h"

#include <cstdlib>
#include <vector>

namespace tamblin::ports {

namespace {

// PipeWire's relaxed JSON: blanks, ':', ',' and '=' all separate; '#' starts a comment that runs
// to the end of the line; a string is quoted or a bare run of other characters.
bool isSeparator(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ':' || c == ',' || c == '=';
}

bool endsBareString(char c) {
    return isSeparator(c) || c == '{' || c == '}' || c == '[' || c == ']' || c == '"' || c == '#';
}

struct Token {
    enum class Kind { Open, Close, String, End, Broken } kind;
    std::size_t begin = 0;
    std::size_t end = 0;
};

class Scanner {
public:
    explicit Scanner(std::string_view text) : text_(text) {}

    Token next() {
        skipSeparatorsAndComments();
        const std::size_t begin = pos_;
        if (pos_ == text_.size()) return {Token::Kind::End, begin, begin};
        const char c = text_[pos_];
        if (c == '{' || c == '[') return {Token::Kind::Open, begin, ++pos_};
        if (c == '}' || c == ']') return {Token::Kind::Close, begin, ++pos_};
        if (c == '"') {
            for (++pos_; pos_ < text_.size(); ++pos_) {
                if (text_[pos_] == '\\') {
                    ++pos_;
                } else if (text_[pos_] == '"') {
                    return {Token::Kind::String, begin, ++pos_};
                }
            }
            return {Token::Kind::Broken, begin, text_.size()};
        }
        while (pos_ < text_.size() && !endsBareString(text_[pos_])) ++pos_;
        return {Token::Kind::String, begin, pos_};
    }

    // After an opening bracket: past its matching closing one; false when it has none.
    bool skipContainer(const Token& open) {
        std::vector<char> closers = {closerOf(text_[open.begin])};
        while (!closers.empty()) {
            const Token token = next();
            if (token.kind == Token::Kind::Open) {
                closers.push_back(closerOf(text_[token.begin]));
            } else if (token.kind == Token::Kind::Close) {
                if (text_[token.begin] != closers.back()) return false;
                closers.pop_back();
            } else if (token.kind != Token::Kind::String) {
                return false;
            }
        }
        return true;
    }

    std::size_t position() const { return pos_; }

private:
    static char closerOf(char open) { return open == '{' ? '}' : ']'; }

    void skipSeparatorsAndComments() {
        while (pos_ < text_.size()) {
            if (isSeparator(text_[pos_])) {
                ++pos_;
            } else if (text_[pos_] == '#') {
                while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
            } else {
                break;
            }
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

// The text a string token stands for, without its quotes and escapes.
std::string decoded(std::string_view token) {
    if (token.empty() || token.front() != '"') return std::string(token);
    std::string text;
    for (std::size_t i = 1; i + 1 < token.size(); ++i) {
        if (token[i] == '\\' && i + 2 < token.size()) ++i;
        text += token[i];
    }
    return text;
}

struct Entry {
    std::string key;
    std::size_t valueBegin = 0;
    std::size_t valueEnd = 0;
};

struct Parsed {
    std::vector<Entry> entries;
    std::optional<std::size_t> closingBrace;  // of the object form; none for bare pairs
};

// The top-level entries of `text`, or nothing when it is no object or list of pairs as a whole.
std::optional<Parsed> parse(std::string_view text) {
    Scanner scanner(text);
    Parsed parsed;
    Token token = scanner.next();
    const bool object = token.kind == Token::Kind::Open && text[token.begin] == '{';
    if (object) token = scanner.next();
    while (true) {
        if (token.kind == Token::Kind::End) {
            if (object) return std::nullopt;
            return parsed;
        }
        if (token.kind == Token::Kind::Close) {
            if (!object || text[token.begin] != '}') return std::nullopt;
            parsed.closingBrace = token.begin;
            if (scanner.next().kind != Token::Kind::End) return std::nullopt;
            return parsed;
        }
        if (token.kind != Token::Kind::String) return std::nullopt;
        Entry entry{decoded(text.substr(token.begin, token.end - token.begin))};
        const Token value = scanner.next();
        if (value.kind == Token::Kind::Open) {
            if (!scanner.skipContainer(value)) return std::nullopt;
        } else if (value.kind != Token::Kind::String) {
            return std::nullopt;
        }
        entry.valueBegin = value.begin;
        entry.valueEnd = value.kind == Token::Kind::Open ? scanner.position() : value.end;
        parsed.entries.push_back(std::move(entry));
        token = scanner.next();
    }
}

bool blank(std::string_view text) {
    for (const char c : text)
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return false;
    return true;
}

}  // namespace

PipeWireProps withExactMidiEvents(std::optional<std::string_view> current) {
    const std::string pair = std::string(kExactMidiKey) + "=false";
    const std::string alone = "{ " + pair + " }";
    if (!current || blank(*current)) return {alone, false};
    const std::optional<Parsed> parsed = parse(*current);
    if (!parsed) return {alone, true};

    std::string value(*current);
    bool found = false;
    // From the last entry back, so that the offsets of the earlier ones stay right.
    for (auto entry = parsed->entries.rbegin(); entry != parsed->entries.rend(); ++entry) {
        if (entry->key != kExactMidiKey) continue;
        found = true;
        const std::size_t length = entry->valueEnd - entry->valueBegin;
        if (decoded(std::string_view(value).substr(entry->valueBegin, length)) != "false")
            value.replace(entry->valueBegin, length, "false");
    }
    if (found) return {value, false};

    if (parsed->closingBrace) {
        const std::size_t at = *parsed->closingBrace;
        const bool spaced = at > 0 && (value[at - 1] == ' ' || value[at - 1] == '\n');
        value.insert(at, (spaced ? "" : " ") + pair + " ");
    } else {
        // A comment at the end would swallow a pair added on its line.
        const std::size_t tail = parsed->entries.empty() ? 0 : parsed->entries.back().valueEnd;
        value += (value.find('#', tail) != std::string::npos ? "\n" : " ") + pair;
    }
    return {value, false};
}

std::string keepMidiEventsExact() {
    const std::string name(kPipeWirePropsVariable);
    const char* current = std::getenv(name.c_str());
    const PipeWireProps merged = withExactMidiEvents(
        current != nullptr ? std::optional<std::string_view>(current) : std::nullopt);
    std::string warning;
    if (merged.replaced)
        warning = name + " is not valid and is set to \"" + merged.value + "\" (it was \"" +
                  current + "\")";
    ::setenv(name.c_str(), merged.value.c_str(), 1);
    return warning;
}

}  // namespace tamblin::ports
