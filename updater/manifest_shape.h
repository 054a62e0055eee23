// The shape of a manifest text as TinyXML will parse it: how deep its elements nest, how many
// there are and how many attributes one carries. Measured before the parse, which recurses once
// a level and looks up each attribute among those before it.
#pragma once

#include <cstddef>
#include <string>

namespace updater {

struct manifest_shape {
    int deepest;             // the deepest element nesting, at least as deep as TinyXML's
    std::size_t elements;    // elements in all, at least as many as TinyXML makes
    std::size_t attributes;  // the most attributes of one element
    // The parser may split the text elsewhere than measured: it holds a NUL, or an ASCII byte
    // inside the sequence a UTF-8 lead byte announces (the parser steps over the whole sequence).
    bool ambiguous;
};

// Measures `text`. Splits
// it where TinyXML does: a comment ends at the first "-->" after "<!--", a CDATA section at the
// first "]]>", a declaration ("<?xml") at its first ">" outside the quotes of a version,
// encoding or standalone value, any other "<" that opens no element at its first ">", a tag at
// its ">" outside quoted values; a closing tag closes only the element it names. Where TinyXML
// could stop with an error, the rest counts as if every element in it were nested.
manifest_shape measure_manifest(const std::string& text);

}  // namespace updater
