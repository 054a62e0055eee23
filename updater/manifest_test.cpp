#include "manifest.h"

#include <gtest/gtest.h>

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

TEST(ReadManifest, EightBitTextReadsAsTinyXmlReadsIt) {
    // Latin-1 (or windows-1252) bytes, declared or not: TinyXML reads them byte by byte.
    for (const char* declaration : {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>", ""}) {
        auto r = read_xml(std::string(declaration) +
                          "<!-- Mise \xe0 jour --><CorvanManifest><Files><F Path='caf\xe9'/>"
                          "</Files></CorvanManifest>");
        EXPECT_TRUE(r.loaded) << declaration;
        EXPECT_EQ(r.files.size(), 2u) << declaration;
    }
}

// Whatever TinyXML's tokenizer makes of a text, it can't nest deeper, or make more elements, than
// the text has "<", nor more attributes than it has "=".
TEST(BoundManifest, CountsWhatNoParserCanAvoid) {
    const updater::manifest_bound bound = updater::bound_manifest("<a x='1' y=2><b z='<='/></a>");
    EXPECT_EQ(bound.openings, 4u);
    EXPECT_EQ(bound.equals, 4u);
}

// Nesting hidden from a reading that imitates the tokenizer (a character reference runs to the
// next ";" over quotes and comments; a byte-order mark inside the declaration), and more "<" or
// "=" than a manifest has use for: parsed on a stack that holds them, or refused, never a crash.
TEST(ReadManifest, HiddenNestingParsesAndTooManyOpeningsAreRefused) {
    const std::string manifest = "<CorvanManifest><Files><F Path='p'/></Files></CorvanManifest>";
    std::string hidden_by_reference = manifest + "<a>&#\"<!--", attributes, nested;
    for (int i = 0; i < 16000; ++i) hidden_by_reference += "<a>";
    for (int i = 0; i < 2000; ++i) attributes += " a" + std::to_string(i) + "='x'";
    for (int i = 0; i < 16380; ++i) nested += "<a>";
    EXPECT_FALSE(read_xml(hidden_by_reference).loaded);
    EXPECT_FALSE(read_xml("\xef\xbb\xbf<?xml \xef\xbb\xbfversion='>'?>" + nested).loaded);
    auto r =
        read_xml("<CorvanManifest><Files><F Path='p'" + attributes + "/></Files></CorvanManifest>");
    EXPECT_TRUE(r.loaded);
    EXPECT_EQ(r.files, (Files{"keep", "p"}));
    for (const std::string& xml :
         {manifest + nested + "<a><a><a><a><a>", manifest + std::string(16385, '='),
          manifest + std::string(1024 * 1024, ' ')}) {
        auto refused = read_xml(xml);
        EXPECT_FALSE(refused.loaded) << "document: " << xml.substr(0, 80);
        EXPECT_EQ(refused.files, Files{"keep"});
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
