// Reading the update manifest: the list of application files an update replaces.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace updater {

// Appends the `Path` of every child element of CorvanManifest/Files in `manifest_name` to
// `files`, in document order. Returns false and appends nothing when the file can't be loaded
// as XML, has no top-level CorvanManifest element, no Files element in it, or an entry element
// without a Path attribute; also when it is larger than 1 MiB, holds a NUL byte, more than 16,384
// "<" or more than 16,384 "=" (see manifest_bound), or memory runs out.
bool read_manifest(const std::string& manifest_name, std::vector<std::string>& files);

// What no XML parser can avoid in a text: it opens an element only at a "<" and reads an
// attribute only at a "=". `openings` bounds the nesting and the number of elements of any
// parse of the text, whether it ends with an error or not; `equals` bounds the attributes.
struct manifest_bound {
    std::size_t openings;  // "<" bytes
    std::size_t equals;    // "=" bytes
};

// Counts `text`'s "<" and "=" bytes.
manifest_bound bound_manifest(const std::string& text);

}  // namespace updater
