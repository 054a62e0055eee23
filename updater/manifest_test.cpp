#include "manifest.h"

#include <gtest/gtest.h>

#include "manifest_shape.h"
#include "scratch_dir.h"

using test_support::scratch_dir;
using test_support::write_file;

namespace {

struct ManifestRead {
    bool loaded;
    std::vector<std::string> files;
};

// Reads `xml` as a manifest into a list that already holds one entry, "keep".
ManifestRead read_xml(const std::string& xml) {
    scratch_dir dir;
    write_file(dir / "manifest.xml", xml);
    ManifestRead result{false, {"keep"}};
    result.loaded = updater::read_manifest(dir / "manifest.xml", result.files);
    return result;
}

using Files = std::vector<std::string>;

TEST(ReadManifest, AppendsEntriesInDocumentOrder) {
    auto r = read_xml(R"(<?xml version="1.0"?>
<CorvanManifest version="2">
  <Files>
    <File Path="bin/app"/>
    <!-- a comment between entries -->
    some text
    <Library Path="/opt/lib/x.so" Size="12">text<Nested Path="not an entry"/></Library>
    <File Path="bin/app"/>
    <File Path=""/>
    <File Path="a &amp; b"/>
  </Files>
  <Files><File Path="second list"/></Files>
</CorvanManifest>
<Files><File Path="outside the root"/></Files>)");
    EXPECT_TRUE(r.loaded);
    EXPECT_EQ(r.files, (Files{"keep", "bin/app", "/opt/lib/x.so", "bin/app", "", "a & b"}));
}

TEST(ReadManifest, RootIsFoundAfterOtherTopLevelNodes) {
    auto r = read_xml(
        "<!-- header --><Other/><CorvanManifest><Files><F Path='p'/></Files></CorvanManifest>");
    EXPECT_TRUE(r.loaded);
    EXPECT_EQ(r.files, (Files{"keep", "p"}));
}

TEST(ReadManifest, FilesWithoutEntriesLoadsEmpty) {
    auto r = read_xml("<CorvanManifest><Files> <!-- none --> </Files></CorvanManifest>");
    EXPECT_TRUE(r.loaded);
    EXPECT_EQ(r.files, Files{"keep"});
}

TEST(ReadManifest, DocumentsThatDontLoadAreRefused) {
    for (const char* xml : {"", "   \n\t ", "<CorvanManifest><Files>", "not xml at all <",
                            "<CorvanManifest><Files><F Path='x'></Files></CorvanManifest>"}) {
        auto r = read_xml(xml);
        EXPECT_FALSE(r.loaded) << "document: " << xml;
        EXPECT_EQ(r.files, Files{"keep"}) << "document: " << xml;
    }
}

TEST(ReadManifest, LineEndingsAndUtf8ReadAsTinyXmlLoadsThem) {
    // CR LF and a lone CR become LF, also inside a quoted Path.
    auto r = read_xml(
        "<CorvanManifest>\r\n<Files>\r<F Path=\"a\r\nb\rc\"/>\r\n</Files></CorvanManifest>\r\n");
    EXPECT_TRUE(r.loaded);
    EXPECT_EQ(r.files, (Files{"keep", "a\nb\nc"}));

    r = read_xml(
        "\xef\xbb\xbf<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
        "<CorvanManifest><Files>"
        "<F Path=\"donn\xc3\xa9\x65s/\xe2\x82\xac\xf0\x9f\x93\x81\"/>"
        "</Files></CorvanManifest>");
    EXPECT_TRUE(r.loaded);
    EXPECT_EQ(r.files, (Files{"keep", "donn\xc3\xa9\x65s/\xe2\x82\xac\xf0\x9f\x93\x81"}));
}

TEST(ReadManifest, TextEndingInsideACharacterIsRefused) {
    // The parser steps over a whole UTF-8 sequence even where the text ends inside it.
    const std::string truncated[] = {
        "<?xml version=\"1.0\"?><CorvanManifest><Files><F Path='a'/>\xf0",
        "<?xml version=\"1.0\"?><CorvanManifest><Files><F Path='a'/>text \xe2\x82",
        std::string("<?xml version=\"1.0\"?><CorvanManifest><Files><F Path='a'/>\xf0") + '\0',
    };
    for (const std::string& xml : truncated) {
        auto r = read_xml(xml);
        EXPECT_FALSE(r.loaded) << "document: " << xml;
        EXPECT_EQ(r.files, Files{"keep"}) << "document: " << xml;
    }
}

// The nesting TinyXML would recurse into, however a document hides it from a simpler reading.
TEST(MeasureManifest, SplitsTheTextWhereTinyXmlDoes) {
    const struct {
        const char* xml;
        int deepest;
    } rows[] = {
        {"<a><b/><c><d/></c></a><e/>", 3},
        {"<?note a > b?><a><a></a></a>", 2},  // an instruction ends at its first ">"
        {"<!--><a></a>--><a/>", 1},           // a comment ends at the "-->" after "<!--"
        {"<!---></a></a>--><a><a><a/>", 3},
        {"</x></x><a><a/></a>", 2},           // stray end tags close nothing
        {"<a></b><a><a/>", 3},                // nor one that names another element
        {"<a x='>' y=\"</a>\"><b/></a>", 2},  // quoted values hide ">" and tags
        {"<a><!x '>' <b><c/></b></a>", 3},    // other "<!" constructs end at their ">"
        {"<a>< b'>'<b><c/></b></a>", 3},      // so does a "<" that opens no element
        {"<a><![CDATA[<b><c>]]><d/></a>", 2},
        {"<?xml version='>'?><a><b/></a>", 2},  // a declaration's values are quoted
        {"<?XML x='?><a><a><a/>", 3},           // its other words are not
    };
    for (const auto& row : rows) {
        EXPECT_EQ(updater::measure_manifest(row.xml).deepest, row.deepest) << row.xml;
        EXPECT_FALSE(updater::measure_manifest(row.xml).ambiguous) << row.xml;
    }
    // The parser steps over a whole UTF-8 sequence, end tag or NUL included.
    for (const std::string& xml : {std::string("<a>\xd0</a><a/>"), std::string("<a x='\xe2\x82'>"),
                                   std::string("<a>\xc3\xa9</a>\0<b>", 13)})
        EXPECT_TRUE(updater::measure_manifest(xml).ambiguous) << xml;
    EXPECT_FALSE(updater::measure_manifest("<a>caf\xc3\xa9 \xe2\x82\xac</a>").ambiguous);
    const updater::manifest_shape shape = updater::measure_manifest("<a x='1' y=2><b z='3'/></a>");
    EXPECT_EQ(shape.elements, 2u);
    EXPECT_EQ(shape.attributes, 2u);
}

// Nesting hidden from a simpler reading is refused end to end by the black-box suite.
TEST(ReadManifest, ShapesTinyXmlCantAffordAreRefused) {
    const std::string manifest = "<CorvanManifest><Files><F Path='p'/></Files></CorvanManifest>";
    std::string attributes, elements;
    for (int i = 0; i < 65; ++i) attributes += " a" + std::to_string(i) + "='x'";
    for (int i = 0; i < 100001; ++i) elements += "<F Path='p'/>";
    // More attributes on one element, or more elements, than a manifest has use for; larger
    // than any manifest.
    for (const std::string& xml :
         {"<CorvanManifest><Files><F Path='p'" + attributes + "/></Files></CorvanManifest>",
          "<CorvanManifest><Files>" + elements + "</Files></CorvanManifest>",
          manifest + std::string(1024 * 1024, ' ')}) {
        auto r = read_xml(xml);
        EXPECT_FALSE(r.loaded) << "document: " << xml.substr(0, 80);
        EXPECT_EQ(r.files, Files{"keep"});
    }
    EXPECT_TRUE(read_xml(manifest + std::string(1000 * 1024, ' ')).loaded);
}

TEST(ReadManifest, MissingFileIsRefused) {
    scratch_dir dir;
    Files files;
    EXPECT_FALSE(updater::read_manifest(dir / "absent.xml", files));
    EXPECT_TRUE(files.empty());
}

TEST(ReadManifest, DocumentsWithoutTheExpectedStructureAreRefusedWhole) {
    const char* rejected[] = {
        // no CorvanManifest at the top level (names are case-sensitive)
        "<Other><CorvanManifest><Files><F Path='a'/></Files></CorvanManifest></Other>",
        "<corvanmanifest><Files><F Path='a'/></Files></corvanmanifest>",
        // no Files in the root
        "<CorvanManifest><files><F Path='a'/></files></CorvanManifest>",
        "<CorvanManifest/>",
        // an entry without Path, after a good one
        "<CorvanManifest><Files><F Path='a'/><F path='b'/></Files></CorvanManifest>",
        "<CorvanManifest><Files><F Path='a'/><F/></Files></CorvanManifest>",
    };
    for (const char* xml : rejected) {
        auto r = read_xml(xml);
        EXPECT_FALSE(r.loaded) << "document: " << xml;
        EXPECT_EQ(r.files, Files{"keep"}) << "document: " << xml;
    }
}

}  // namespace
