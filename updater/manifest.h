// Reading the update manifest: the list of application files an update replaces.
#pragma once

#include <string>
#include <vector>

namespace updater {

// Appends the `Path` of every child element of CorvanManifest/Files in `manifest_name` to
// `files`, in document order. Returns false and appends nothing when the file can't be loaded
// as XML, has no top-level CorvanManifest element, no Files element in it, or an entry element
// without a Path attribute.
bool read_manifest(const std::string& manifest_name, std::vector<std::string>& files);

}  // namespace updater
