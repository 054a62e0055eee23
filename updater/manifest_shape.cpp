#include "manifest_shape.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

namespace updater {
namespace {

// TinyXML's character classes: every byte above 126 counts as a letter.
bool is_letter(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 127 || std::isalpha(u) != 0;
}
bool is_name_char(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 127 || std::isalnum(u) != 0 || c == '_' || c == '-' || c == '.' || c == ':';
}
bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

bool starts_with(const char* p, const char* prefix) {
    return std::strncmp(p, prefix, std::strlen(prefix)) == 0;
}

// TinyXML skips white space and, in UTF-8 documents, the byte-order marks EF BB BF, EF BF BE
// and EF BF BF. Skipping them everywhere never splits the text elsewhere than TinyXML does
// before the point where one of its readings stops with an error.
const char* skip_space(const char* p) {
    for (;;) {
        if (is_space(*p)) {
            ++p;
        } else if (starts_with(p, "\xef\xbb\xbf") || starts_with(p, "\xef\xbf\xbe") ||
                   starts_with(p, "\xef\xbf\xbf")) {
            p += 3;
        } else {
            return p;
        }
    }
}

// Returns the end of the name at `p`, or null when no name starts there.
const char* name_end(const char* p) {
    if (!is_letter(*p) && *p != '_') return nullptr;
    while (is_name_char(*p)) ++p;
    return p;
}

// Returns what follows `end` searched from `p`, or null when it never comes.
const char* past(const char* p, const char* end) {
    const char* found = std::strstr(p, end);
    return found == nullptr ? nullptr : found + std::strlen(end);
}

// Returns what follows the attribute (name, "=", value) at `p`, or null where TinyXML fails.
// A value is quoted with " or ', or runs to white space, "/" or ">"; an unquoted value with a
// quote in it is an error.
const char* past_attribute(const char* p) {
    p = name_end(p);
    if (p == nullptr) return nullptr;
    p = skip_space(p);
    if (*p != '=') return nullptr;
    p = skip_space(p + 1);
    if (*p == '"' || *p == '\'') {
        const char* close = std::strchr(p + 1, *p);
        return close == nullptr ? nullptr : close + 1;
    }
    for (; *p != '\0' && !is_space(*p) && *p != '/' && *p != '>'; ++p) {
        if (*p == '"' || *p == '\'') return nullptr;
    }
    return p;
}

// "<?xml": up to the first ">", reading the quoted values of version, encoding and standalone
// as attributes; any other word is stepped over to white space or ">".
const char* past_declaration(const char* p) {
    p += 5;
    for (;;) {
        if (*p == '>') return p + 1;
        p = skip_space(p);
        if (*p == '\0') return nullptr;
        if (strncasecmp(p, "version", 7) == 0 || strncasecmp(p, "encoding", 8) == 0 ||
            strncasecmp(p, "standalone", 10) == 0) {
            p = past_attribute(p);
            if (p == nullptr) return nullptr;
        } else {
            while (*p != '\0' && *p != '>' && !is_space(*p)) ++p;
        }
    }
}

// Reads the start tag at `p` ("<" and a name). Returns what follows it, or null where TinyXML
// fails; `attributes` counts what it read, `empty` tells a tag closed by "/>".
const char* past_start_tag(const char* p, std::size_t& attributes, bool& empty) {
    for (p = name_end(p + 1);; ++attributes) {
        p = skip_space(p);
        empty = *p == '/';
        if (empty) return p[1] == '>' ? p + 2 : nullptr;
        if (*p == '>') return p + 1;
        p = past_attribute(p);
        if (p == nullptr) return nullptr;
    }
}

// Reads the end tag at `p` ("</") when it names the element `name`. Returns what follows it, or
// null where TinyXML fails: any other end tag is an error.
const char* past_end_tag(const char* p, const std::string& name) {
    if (std::strncmp(p + 2, name.c_str(), name.size()) != 0) return nullptr;
    p = skip_space(p + 2 + name.size());
    return *p == '>' ? p + 1 : nullptr;
}

// Where TinyXML stops with an error it recurses no deeper. Should it read on where this
// measure sees an error, the rest still can't nest deeper than it has elements to open, nor give
// one element more attributes than it has "=" signs.
manifest_shape with_rest(manifest_shape shape, std::size_t open, const char* rest) {
    std::size_t openings = 0;
    for (const char* p = rest; (p = std::strchr(p, '<')) != nullptr; ++p) {
        if (p[1] == '_' || is_letter(p[1])) ++openings;
    }
    shape.deepest =
        std::max(shape.deepest, static_cast<int>(std::min<std::size_t>(open + openings, 1u << 30)));
    shape.elements += openings;
    shape.attributes += static_cast<std::size_t>(std::count(rest, rest + std::strlen(rest), '='));
    return shape;
}

// True when a NUL, or an ASCII byte within the length a lead byte announces, lies in `text`.
bool ambiguous(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == 0) return true;
        const std::size_t length = byte >= 0xf0 ? 4 : byte >= 0xe0 ? 3 : byte >= 0xc0 ? 2 : 1;
        for (std::size_t k = 1; k < length; ++k) {
            if (i + k >= text.size() || static_cast<unsigned char>(text[i + k]) < 0x80) return true;
        }
    }
    return false;
}

}  // namespace

manifest_shape measure_manifest(const std::string& text) {
    manifest_shape shape{0, 0, 0, ambiguous(text)};
    const char* p = text.c_str();
    std::vector<std::string> open;  // the names of the elements open around `p`
    for (const char* at = p;; at = p) {
        p = skip_space(p);
        if (*p != '<') {
            // Text: in an element it runs to the next "<"; outside every element TinyXML ends
            // the document there.
            if (open.empty()) return with_rest(shape, 0, p);
            p = std::strchr(p, '<');
            if (p == nullptr) return shape;
        }
        if (p[1] == '/' && !open.empty()) {
            p = past_end_tag(p, open.back());
            if (p != nullptr) open.pop_back();
        } else if (strncasecmp(p, "<?xml", 5) == 0) {
            p = past_declaration(p);
        } else if (starts_with(p, "<!--")) {
            p = past(p + 4, "-->");
        } else if (starts_with(p, "<![CDATA[")) {
            p = past(p + 9, "]]>");
        } else if (p[1] != '_' && !is_letter(p[1])) {
            p = past(p + 1, ">");  // "<!...", "<?...", a stray "</...", "<" and no name
        } else {
            const char* name = p + 1;
            std::size_t attributes = 0;
            bool empty = false;
            p = past_start_tag(p, attributes, empty);
            ++shape.elements;
            shape.deepest = std::max(shape.deepest, static_cast<int>(open.size()) + 1);
            shape.attributes = std::max(shape.attributes, attributes);
            if (p != nullptr && !empty) open.emplace_back(name, name_end(name));
        }
        if (p == nullptr) return with_rest(shape, open.size(), at);
    }
}

}  // namespace updater
