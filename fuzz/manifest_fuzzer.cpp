// Feeds arbitrary bytes to the manifest reader as the content of a manifest file, and checks the
// bound counted before the parse against the tree TinyXML then builds.
#include <tinyxml.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_file.h"
#include "manifest.h"

namespace {

struct tree_shape {
    int deepest = 0;
    std::size_t elements = 0;
    std::size_t attributes = 0;
};

void measure_tree(const TiXmlNode* node, int depth, tree_shape& shape) {
    for (const TiXmlNode* child = node->FirstChild(); child != nullptr;
         child = child->NextSibling()) {
        const TiXmlElement* element = child->ToElement();
        if (element == nullptr) continue;
        ++shape.elements;
        shape.deepest = std::max(shape.deepest, depth + 1);
        std::size_t attributes = 0;
        for (const TiXmlAttribute* a = element->FirstAttribute(); a != nullptr; a = a->Next())
            ++attributes;
        shape.attributes = std::max(shape.attributes, attributes);
        measure_tree(element, depth + 1, shape);
    }
}

// The bound must see at least as deep, as many elements and as many attributes as TinyXML
// builds, whether its parse ends with an error or not: it is what keeps TinyXML's recursion,
// memory and time bounded. (Inputs stay far below the reader's caps: the fuzzer's own stack
// holds their nesting.)
void check_bound(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    const updater::manifest_bound bound = updater::bound_manifest(text);
    text.append(4, '\0');
    TiXmlDocument document;
    document.Parse(text.c_str());
    tree_shape built;
    measure_tree(&document, 0, built);
    if (static_cast<std::size_t>(built.deepest) > bound.openings ||
        built.elements > bound.openings || built.attributes > bound.equals)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz_file manifest("manifest");
    manifest.set(data, size);
    std::vector<std::string> files{"kept"};
    const bool loaded = updater::read_manifest(manifest.path, files);
    // A refused manifest appends nothing; the caller's entries always stay first.
    if ((!loaded && files.size() != 1) || files.front() != "kept") __builtin_trap();
    check_bound(data, size);
    return 0;
}
