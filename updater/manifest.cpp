// Reading the update manifest: the list of application files an update replaces.
#include "manifest.h"

#include <tinyxml.h>

namespace updater {

bool read_manifest(const std::string& manifest_name, std::vector<std::string>& files) {
    TiXmlDocument document(manifest_name.c_str());
    if (!document.LoadFile()) return false;

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

}  // namespace updater
