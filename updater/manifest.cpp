// Reading the update manifest: the list of application files an update replaces.
#include "manifest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <tinyxml.h>
#include <unistd.h>

#include <new>

#include "manifest_shape.h"
#include "unique_fd.h"

namespace updater {
namespace {

// TinyXML 2.6 steps over a UTF-8 sequence by the length its lead byte announces, also when the
// text ends inside it, and then reads on beyond the end of its buffer. Its own LoadFile gives
// the parser a buffer that ends right after the file's last byte, so a manifest ending in a
// truncated sequence made it read past the heap block. The manifest is therefore read here
// and parsed from a buffer followed by this many zero bytes: every such step lands on a zero,
// where the parser stops.
constexpr size_t kLongestUtf8Sequence = 4;

// A manifest lists file names: about 60 bytes an entry, so 1 MiB holds over 15,000 of them.
// Within it TinyXML's time and memory stay small once the shape below is bounded.
constexpr size_t kLargestManifest = 1024 * 1024;

// TinyXML parses nested elements recursively, a few hundred bytes of stack a level: some
// thousands of levels overflow the stack. A manifest needs three.
constexpr int kDeepestNesting = 256;

// TinyXML allocates some 200 bytes an element; and it looks up every attribute among those of
// its element before it, which grows with their square (160,000 attributes on one element took
// 82 s). An entry has one attribute.
constexpr size_t kMostElements = 100000;
constexpr size_t kMostAttributes = 64;

// Reads file `name` whole into `text`. Returns false when it can't be opened or read, isn't a
// regular file (a FIFO would block, a device never end) or is larger than any manifest.
bool read_whole_file(const std::string& name, std::string& text) {
    unique_fd in(open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!in.valid()) return false;
    struct stat status;
    if (fstat(in.fd, &status) != 0 || !S_ISREG(status.st_mode)) return false;
    char block[16384];
    for (;;) {
        const ssize_t n = read(in.fd, block, sizeof block);
        if (n == 0) return true;
        if (n < 0 || text.size() + static_cast<size_t>(n) > kLargestManifest) return false;
        text.append(block, static_cast<size_t>(n));
    }
}

// LoadFile's line ending rule, kept so that a manifest reads as it always did: CR LF and a
// lone CR both become LF.
void normalize_line_endings(std::string& text) {
    size_t out = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            text[out++] = '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            text[out++] = text[i];
        }
    }
    text.resize(out);
}

// read_manifest, but for memory running out, which throws.
bool load_manifest(const std::string& manifest_name, std::vector<std::string>& files) {
    std::string text;
    if (!read_whole_file(manifest_name, text)) return false;
    normalize_line_endings(text);
    const manifest_shape shape = measure_manifest(text);
    if (shape.ambiguous || shape.deepest > kDeepestNesting || shape.elements > kMostElements ||
        shape.attributes > kMostAttributes)
        return false;
    text.append(kLongestUtf8Sequence, '\0');

    TiXmlDocument document(manifest_name.c_str());
    document.Parse(text.c_str());
    if (document.Error()) return false;

    const TiXmlElement* root = TiXmlHandle(&document).FirstChild("CorvanManifest").ToElement();
    if (root == nullptr) return false;
    const TiXmlElement* list = root->FirstChildElement("Files");
    if (list == nullptr) return false;

    // Collected apart so that a rejected manifest leaves the caller's list as it was.
    std::vector<std::string> entries;
    for (const TiXmlNode* child = list->IterateChildren(nullptr); child != nullptr;
         child = list->IterateChildren(child)) {
        if (child->Type() != TiXmlNode::TINYXML_ELEMENT) continue;
        const char* path = child->ToElement()->Attribute("Path");
        if (path == nullptr) return false;
        entries.emplace_back(path);
    }
    files.insert(files.end(), entries.begin(), entries.end());
    return true;
}

}  // namespace

bool read_manifest(const std::string& manifest_name, std::vector<std::string>& files) {
    // TinyXML, like the text and the list, allocates with new: memory running out anywhere in
    // the reading is a manifest that can't be loaded. The caller's list is appended to last.
    try {
        return load_manifest(manifest_name, files);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace updater
