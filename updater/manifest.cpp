// Reading the update manifest: the list of application files an update replaces.
#include "manifest.h"

#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <tinyxml.h>
#include <unistd.h>

#include <algorithm>
#include <new>

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
constexpr size_t kLargestManifest = 1024 * 1024;

// TinyXML recurses once a level of nesting, in its parse and in its destructors (224 bytes of
// stack a level on amd64, 168 on armhf, 288 on arm64), allocates some 200 bytes an element, and
// looks up every attribute among those of its element before it, which grows with their square
// (16,384 attributes on one element take 0.7 s on amd64). No reading of the text can know how
// TinyXML's tokenizer will split it, but it opens an element only at a "<" and reads an attribute
// only at a "=": their counts bound the nesting, the elements and the attributes whatever it
// does. A manifest has one of each an entry, and a few more.
constexpr size_t kMostOpenings = 16384;
constexpr size_t kMostEquals = 16384;
// The parse runs on a stack sized for the nesting that many "<" allow.
constexpr size_t kStackPerOpening = 1024;
constexpr size_t kStackBase = 256 * 1024;

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

// Appends the entries of the parsed `document` to `entries`. Returns false when it has no
// CorvanManifest/Files, or an entry without Path.
bool collect_entries(const TiXmlDocument& document, std::vector<std::string>& entries) {
    const TiXmlElement* root =
        TiXmlHandle(const_cast<TiXmlDocument*>(&document)).FirstChild("CorvanManifest").ToElement();
    if (root == nullptr) return false;
    const TiXmlElement* list = root->FirstChildElement("Files");
    if (list == nullptr) return false;
    for (const TiXmlNode* child = list->IterateChildren(nullptr); child != nullptr;
         child = list->IterateChildren(child)) {
        if (child->Type() != TiXmlNode::TINYXML_ELEMENT) continue;
        const char* path = child->ToElement()->Attribute("Path");
        if (path == nullptr) return false;
        entries.emplace_back(path);
    }
    return true;
}

struct parse_job {
    const std::string* text;
    std::vector<std::string> entries;
    bool loaded = false;
};

// Parses a job's text and collects its entries. TinyXML, like the list,
// allocates with new: memory running out is a manifest that can't be loaded.
void* parse_on_own_stack(void* argument) {
    auto& job = *static_cast<parse_job*>(argument);
    try {
        TiXmlDocument document;
        document.Parse(job.text->c_str());
        job.loaded = !document.Error() && collect_entries(document, job.entries);
    } catch (const std::bad_alloc&) {
        job.loaded = false;
    }
    return nullptr;
}

// Parses the job's text on a stack that holds the nesting `openings` "<" allow: this thread's,
// when its limit leaves room for it (every manifest of a few thousand entries), else a thread's
// of that size, waited for, so that the run stays one sequence of steps. Returns false when the
// thread can't be started.
bool parse_with_stack_for(std::size_t openings, parse_job& job) {
    const std::size_t needed = kStackBase + openings * kStackPerOpening;
    struct rlimit limit;
    if (getrlimit(RLIMIT_STACK, &limit) == 0 &&
        (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= needed + kStackBase)) {
        parse_on_own_stack(&job);
        return true;
    }
    // glibc gives a new thread an arena of its own, reserving 64 MiB of address space for it;
    // under an address limit that fails and every allocation becomes an mmap of its own, which
    // runs out long before the main thread's arena would. One arena serves both threads (they
    // never run at the same time).
    mallopt(M_ARENA_MAX, 1);
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    pthread_t thread;
    const bool started = pthread_attr_setstacksize(&attributes, needed) == 0 &&
                         pthread_create(&thread, &attributes, parse_on_own_stack, &job) == 0;
    pthread_attr_destroy(&attributes);
    return started && pthread_join(thread, nullptr) == 0;
}

// read_manifest, but for memory running out outside the parse, which throws.
bool load_manifest(const std::string& manifest_name, std::vector<std::string>& files) {
    std::string text;
    if (!read_whole_file(manifest_name, text)) return false;
    normalize_line_endings(text);
    // The parser would end the document at a NUL and ignore what follows.
    if (text.find('\0') != std::string::npos) return false;
    const manifest_bound bound = bound_manifest(text);
    if (bound.openings > kMostOpenings || bound.equals > kMostEquals) return false;
    text.append(kLongestUtf8Sequence, '\0');
    parse_job job{&text, {}, false};
    // Collected apart so that a rejected manifest leaves the caller's list as it was.
    if (!parse_with_stack_for(bound.openings, job) || !job.loaded) return false;
    files.insert(files.end(), job.entries.begin(), job.entries.end());
    return true;
}

}  // namespace

manifest_bound bound_manifest(const std::string& text) {
    return {static_cast<std::size_t>(std::count(text.begin(), text.end(), '<')),
            static_cast<std::size_t>(std::count(text.begin(), text.end(), '='))};
}

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
