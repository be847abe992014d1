// XmlDocument: what loads, what a selection copies out, and that nothing
// reaches the console or the outside world while doing so.
#include "config/xml_document.h"

#include <gtest/gtest.h>
#include <libxml/xmlerror.h>

#include <string>
#include <vector>

#include "config/xml_element_stream.h"
#include "test_support.h"

namespace speckmend {
namespace {

using testing::TempFolder;
using testing::writeFile;

// Loads the text from a file and reports whether it loaded, with everything
// printed on stdout and stderr meanwhile.
struct LoadOutcome {
    bool loaded;
    std::string console;
};

LoadOutcome loadSilently(XmlDocument& document, const std::string& path) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const bool loaded = document.load(path);
    std::string console = ::testing::internal::GetCapturedStdout();
    console += ::testing::internal::GetCapturedStderr();
    return {loaded, console};
}

class XmlDocumentTest : public ::testing::Test {
protected:
    XmlDocument& load(const std::string& text) {
        writeFile(folder_ / "doc.xml", text);
        EXPECT_TRUE(document_.load(folder_ / "doc.xml")) << text;
        return document_;
    }
    std::string path(const std::string& name) const { return folder_ / name; }

    TempFolder folder_;
    XmlDocument document_;
};

// Both readers judge a file alike and say why it failed: the file, and for
// XML the parser's line (its message is libxml2's own).
TEST_F(XmlDocumentTest, FilesThatDoNotLoadGiveFalseSayWhyAndPrintNothing) {
    struct Row {
        const char* name;
        const char* content;  // null: do not create the file
        const char* problem;  // what follows the path
    };
    const Row rows[] = {
        {"missing.xml", nullptr, ": No such file or directory"},
        {"empty.xml", "", ":1: "},
        {"blank.xml", "   \n", ":2: "},
        {"unclosed.xml", "<config>\n<detect>\n</config>", ":3: "},
        {"two-roots.xml", "<a/>\n<b/>", ":2: "},
        {"text-only.xml", "just text", ":1: "},
        {"bad-entity.xml", "<a>\n&undefined;</a>", ":2: "},
        {"bad-attribute.xml", "<a x=1/>", ":1: "},
        {"bad-encoding.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>\xff\xfe</a>", ":1: "},
        {"control-char.xml", "<a>\x01</a>", ":1: "},
        {"entity-loop.xml", "<!DOCTYPE a [<!ENTITY x \"&y;\"><!ENTITY y \"&x;\">]><a>&x;</a>", ":1: "},
    };
    for (const Row& row : rows) {
        if (row.content != nullptr) writeFile(path(row.name), row.content);
        const std::string expected = path(row.name) + row.problem;
        XmlDocument document;
        const LoadOutcome outcome = loadSilently(document, path(row.name));
        EXPECT_FALSE(outcome.loaded) << row.name;
        EXPECT_EQ(outcome.console, "") << row.name;
        EXPECT_FALSE(document.isLoaded()) << row.name;
        EXPECT_THROW(document.selectNode("/a"), XmlError) << row.name;
        EXPECT_EQ(document.problem().substr(0, expected.size()), expected) << row.name;
        EXPECT_NE(document.problem().back(), ' ') << "no message: " << row.name;

        XmlElementStream stream;
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(stream.read(path(row.name), "a", [](const XmlNodeInfo&) {})) << row.name;
        EXPECT_EQ(::testing::internal::GetCapturedStdout() + ::testing::internal::GetCapturedStderr(), "");
        // libxml2's pull parser words a few complaints its own way.
        EXPECT_EQ(stream.problem().substr(0, expected.size()), expected) << row.name;
    }
    XmlDocument document;
    EXPECT_FALSE(loadSilently(document, folder_.path()).loaded) << "a folder";
    EXPECT_EQ(document.problem(), folder_.path() + ": Is a directory");
    XmlElementStream stream;
    EXPECT_FALSE(stream.read(folder_.path(), "a", [](const XmlNodeInfo&) {}));
    EXPECT_EQ(stream.problem(), document.problem());
}

TEST_F(XmlDocumentTest, FailedLoadDropsThePreviousDocument) {
    load("<config><a>1</a></config>");
    writeFile(path("bad.xml"), "<config>");
    EXPECT_FALSE(document_.load(path("bad.xml")));
    EXPECT_THROW(document_.selectNode("/config/a[1]"), XmlError);
}

TEST_F(XmlDocumentTest, SecondLoadReplacesTheFirst) {
    load("<config><a>1</a></config>");
    load("<hotpixels><width>5</width></hotpixels>");
    EXPECT_THROW(document_.selectNode("/config/a[1]"), XmlError);
    EXPECT_EQ(document_.selectNode("/hotpixels/width[1]").text, "5");
}

int g_handlerCalls = 0;
void countingHandler(void*, const char*, ...) { ++g_handlerCalls; }

TEST_F(XmlDocumentTest, LibraryErrorHandlersAreLeftAsTheCallerSetThem) {
    const xmlGenericErrorFunc mine = countingHandler;
    xmlSetGenericErrorFunc(nullptr, mine);
    writeFile(path("bad.xml"), "<config>");
    XmlDocument document;
    document.load(path("bad.xml"));
    load("<a/>");
    EXPECT_THROW(document_.selectNode("/a["), XmlError);
    EXPECT_EQ(xmlGenericError, mine);
    EXPECT_EQ(xmlStructuredError, nullptr);
    EXPECT_EQ(g_handlerCalls, 0);
    xmlSetGenericErrorFunc(nullptr, nullptr);
}

TEST_F(XmlDocumentTest, TextContentOfSelectedNodes) {
    load(
        "<?xml version=\"1.0\"?>\n"
        "<config>\n"
        "  <detect>\n"
        "    <indir>\n      darks/  \n    </indir>\n"
        "    <mixed>a<b>b<c>c</c></b>d</mixed>\n"
        "    <comment>1<!-- not text -->2</comment>\n"
        "    <cdata><![CDATA[<raw> & text]]></cdata>\n"
        "    <escaped>&lt;&amp;&gt;&quot;&apos;&#65;&#x42;</escaped>\n"
        "    <inner>  a  b  </inner>\n"
        "    <empty/>\n"
        "    <outimage dxtext=\" -20 \" dytext=\"5\">map.png</outimage>\n"
        "    <filter>first</filter><filter>second</filter>\n"
        "    <utf8>Gr\xc3\xbc\xc3\x9f"
        "e</utf8>\n"
        "  </detect>\n"
        "</config>\n");
    struct Row {
        const char* xpath;
        const char* text;
    };
    const Row rows[] = {
        // surrounding white space trimmed, inner kept
        {"/config/detect/indir[1]", "darks/"},
        {"/config/detect/inner[1]", "a  b"},
        {"/config/detect/empty[1]", ""},
        // descendants concatenated; comments are not text, CDATA is
        {"/config/detect/mixed[1]", "abcd"},
        {"/config/detect/comment[1]", "12"},
        {"/config/detect/cdata[1]", "<raw> & text"},
        {"/config/detect/escaped[1]", "<&>\"'AB"},
        // attributes and first occurrences
        {"/config/detect/outimage[1]/@dxtext", "-20"},
        {"/config/detect/outimage[1]/@dytext", "5"},
        {"/config/detect/filter[1]", "first"},
        {"/config/detect/filter[2]", "second"},
        {"/config/detect/filter", "first"},
        {"/config/detect/utf8[1]",
         "Gr\xc3\xbc\xc3\x9f"
         "e"},
        // other node kinds
        {"/config/detect/comment[1]/comment()", "not text"},
        {"/config/detect/mixed[1]/text()[2]", "d"},
    };
    for (const Row& row : rows) EXPECT_EQ(document_.selectNode(row.xpath).text, row.text) << row.xpath;
}

TEST_F(XmlDocumentTest, NodeCopyHoldsMarkupNameAndAttributesInOrder) {
    load(
        "<config><detect><outimage dytext=\" 5\" dxtext=\"-20\" Dxtext=\"1\">map.png</outimage></detect>"
        "<p:q xmlns:p=\"urn:x\" p:a=\"1\"/></config>");
    const XmlNodeInfo node = document_.selectNode("/config/detect/outimage[1]");
    EXPECT_EQ(node.name, "outimage");
    EXPECT_EQ(node.text, "map.png");
    EXPECT_EQ(node.xml, "<outimage dytext=\" 5\" dxtext=\"-20\" Dxtext=\"1\">map.png</outimage>");
    ASSERT_EQ(node.attributes.size(), 3u);
    EXPECT_EQ(node.attributes[0].name, "dytext");
    EXPECT_EQ(node.attributes[0].value, "5");
    EXPECT_EQ(node.attributes[1].name, "dxtext");
    EXPECT_EQ(node.attributes[1].value, "-20");
    EXPECT_EQ(node.attributes[2].name, "Dxtext");

    const XmlNodeInfo attribute = document_.selectNode("/config/detect/outimage[1]/@dxtext");
    EXPECT_EQ(attribute.name, "dxtext");
    EXPECT_EQ(attribute.xml, "dxtext=\"-20\"");
    EXPECT_TRUE(attribute.attributes.empty());

    const XmlNodeInfo prefixed = document_.selectNode("/config/*[2]");
    EXPECT_EQ(prefixed.name, "p:q");
    ASSERT_EQ(prefixed.attributes.size(), 1u);
    EXPECT_EQ(prefixed.attributes[0].name, "p:a");
}

TEST_F(XmlDocumentTest, SelectNodeThrowsWhereSelectNodesGivesNothing) {
    load("<hotpixels><pix x=\"1\"/><other><pix x=\"9\"/></other><pix x=\"2\"/><Pix x=\"3\"/></hotpixels>");
    // element names are case-sensitive; only direct children of the root
    const std::vector<XmlNodeInfo> pixels = document_.selectNodes("/hotpixels/pix");
    ASSERT_EQ(pixels.size(), 2u);
    EXPECT_EQ(pixels[0].attributes.at(0).value, "1");
    EXPECT_EQ(pixels[1].attributes.at(0).value, "2");

    EXPECT_TRUE(document_.selectNodes("/hotpixels/none").empty());
    EXPECT_THROW(document_.selectNode("/hotpixels/none[1]"), XmlError);
    EXPECT_THROW(document_.selectNode("/Hotpixels"), XmlError);

    // expressions that fail, or yield no nodes, throw from both and print nothing
    for (const char* bad : {"/hotpixels/pix[", "", "count(/hotpixels/pix)", "string(/)", "undefined-fn()", "/p:pix"}) {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        EXPECT_THROW(document_.selectNode(bad), XmlError) << bad;
        EXPECT_THROW(document_.selectNodes(bad), XmlError) << bad;
        EXPECT_EQ(::testing::internal::GetCapturedStdout() + ::testing::internal::GetCapturedStderr(), "") << bad;
    }
}

TEST_F(XmlDocumentTest, NothingLoadedThrows) {
    XmlDocument empty;
    EXPECT_FALSE(empty.isLoaded());
    EXPECT_THROW(empty.selectNode("/a"), XmlError);
    EXPECT_THROW(empty.selectNodes("/a"), XmlError);
}

TEST_F(XmlDocumentTest, InternalEntitiesExpandInTextAndAttributes) {
    load(
        "<!DOCTYPE config [<!ENTITY dir \"photos/\"><!ENTITY two \"&dir;&dir;\">]>"
        "<config><indir>&dir;</indir><x v=\"&dir;x\"/><t>&two;</t></config>");
    EXPECT_EQ(document_.selectNode("/config/indir[1]").text, "photos/");
    EXPECT_EQ(document_.selectNode("/config/x[1]/@v").text, "photos/x");
    EXPECT_EQ(document_.selectNode("/config/t[1]").text, "photos/photos/");
}

TEST_F(XmlDocumentTest, ExternalEntitiesAndDtdsAreNeverRead) {
    const std::string secret = "SECRET-CONTENT-1234";
    writeFile(path("secret.txt"), secret);
    writeFile(path("secret.dtd"), "<!ENTITY leak \"" + secret + "\"><!ATTLIST indir v CDATA \"" + secret + "\">");
    const std::string documents[] = {
        "<!DOCTYPE config [<!ENTITY e SYSTEM \"" + path("secret.txt") + "\">]><config><indir>&e;</indir></config>",
        "<!DOCTYPE config [<!ENTITY e SYSTEM \"file://" + path("secret.txt") +
            "\">]><config><indir>&e;</indir></config>",
        "<!DOCTYPE config [<!ENTITY e SYSTEM \"secret.txt\">]><config><indir>&e;</indir></config>",
        "<!DOCTYPE config SYSTEM \"secret.dtd\"><config><indir>x&leak;</indir></config>",
        "<!DOCTYPE config [<!ENTITY % p SYSTEM \"secret.dtd\"> %p;]><config><indir>x&leak;</indir></config>",
        "<!DOCTYPE config [<!ENTITY e SYSTEM \"http://127.0.0.1:9/x\">]><config><indir>&e;</indir></config>",
    };
    for (const std::string& text : documents) {
        writeFile(path("doc.xml"), text);
        XmlDocument document;
        const LoadOutcome outcome = loadSilently(document, path("doc.xml"));
        EXPECT_EQ(outcome.console, "") << text;
        if (!outcome.loaded) continue;  // refusing is fine too
        const XmlNodeInfo root = document.selectNode("/config");
        EXPECT_EQ(root.text.find(secret), std::string::npos) << text;
        EXPECT_EQ(root.xml.find(secret), std::string::npos) << text;
        const XmlNodeInfo indir = document.selectNode("/config/indir[1]");
        for (const XmlAttribute& attribute : indir.attributes) EXPECT_NE(attribute.value, secret) << text;
        // The stream reads by the same rules.
        std::string streamed;
        XmlElementStream stream;
        EXPECT_TRUE(stream.read(path("doc.xml"), "config", [&](const XmlNodeInfo& node) {
            streamed += node.text;
            for (const XmlAttribute& attribute : node.attributes) streamed += attribute.value;
        })) << text;
        EXPECT_EQ(streamed.find(secret), std::string::npos) << text;
    }
}

// One large entity referenced many times: libxml2 accepts it, so reading
// must be bounded by the wrapper itself.
std::string quadraticBlowup() {
    std::string text = "<!DOCTYPE config [<!ENTITY e \"" + std::string(100000, 'x') + "\">]><config><filter>";
    for (int i = 0; i < 1000; ++i) text += "&e;";
    return text + "</filter></config>";
}

std::string billionLaughs() {
    std::string text = "<?xml version=\"1.0\"?>\n<!DOCTYPE config [\n<!ENTITY lol0 \"lol\">\n";
    for (int i = 1; i < 10; ++i) {
        text += "<!ENTITY lol" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) text += "&lol" + std::to_string(i - 1) + ";";
        text += "\">\n";
    }
    return text + "]>\n<config><filter>&lol9;</filter><outimage dxtext=\"&lol9;\"/></config>";
}

// The same entity in a thousand elements: no value is large, their sum is.
std::string spreadBlowup() {
    std::string text = "<!DOCTYPE config [<!ENTITY e \"" + std::string(100000, 'x') + "\">]><config>";
    for (int i = 0; i < 1000; ++i) text += "<pix v=\"&e;\"/>";
    return text + "</config>";
}

TEST_F(XmlDocumentTest, EntityBombsAreRefusedOrBounded) {
    struct Row {
        const char* what;
        std::string text;
        const char* xpath;    // what the document is asked for
        const char* refusal;  // what a bounded read says; null: refused at load
    };
    const Row rows[] = {
        {"billion laughs", billionLaughs(), "/config/filter[1]", nullptr},
        {"one value of 100 MB", quadraticBlowup(), "/config/filter[1]", "holds more than 16 MiB"},
        {"a thousand values of 100 kB", spreadBlowup(), "/config/pix", "beyond the 64 MiB"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        writeFile(path("bomb.xml"), row.text);
        XmlDocument document;
        const LoadOutcome outcome = loadSilently(document, path("bomb.xml"));
        EXPECT_EQ(outcome.console, "");
        XmlElementStream stream;
        const bool streamed = stream.read(path("bomb.xml"), "config", [](const XmlNodeInfo&) {});
        EXPECT_EQ(streamed, false);
        if (row.refusal == nullptr) {
            EXPECT_FALSE(outcome.loaded);
            continue;
        }
        ASSERT_TRUE(outcome.loaded);
        try {
            document.selectNodes(row.xpath);
            ADD_FAILURE() << "read without limit";
        } catch (const XmlLimitExceeded& limit) {
            EXPECT_NE(std::string(limit.what()).find(row.refusal), std::string::npos) << limit.what();
        }
        EXPECT_NE(stream.problem().find(row.refusal), std::string::npos) << stream.problem();
        EXPECT_EQ(stream.problem().rfind(path("bomb.xml") + ":1: <", 0), 0u) << stream.problem();
    }
}

TEST(XmlElementStream, VisitsTheChildrenAPlainNameStepSelects) {
    struct Row {
        const char* text;
        const char* root;     // as found
        const char* visited;  // "name=text[@attribute=value...]" of each visit, ";" after each
    };
    const Row rows[] = {
        {"<r><a x=\" 1 \">t<b>u</b></a><!--c-->text<?p i?><c/></r>", "r", "a=tu@x=1;c=;"},
        {"<!DOCTYPE r [<!ENTITY e \"xy\">]><r><a v=\"&e;\">&e;z</a></r>", "r", "a=xyz@v=xy;"},
        // namespaces: a plain name step selects neither the root nor the child
        {"<r xmlns=\"u\"><a/></r>", "r in namespace u", ""},
        {"<p:r xmlns:p=\"u\"><a/></p:r>", "p:r", ""},
        {"<r xmlns:p=\"u\"><p:a/><a xmlns=\"v\"/><b/></r>", "r", "b=;"},
        // another root: nothing visited, still well-formed
        {"<s><a/></s>", "s", ""},
    };
    TempFolder folder;
    for (const Row& row : rows) {
        writeFile(folder / "doc.xml", row.text);
        std::string visited;
        XmlElementStream stream;
        EXPECT_TRUE(stream.read(folder / "doc.xml", "r", [&](const XmlNodeInfo& node) {
            visited += node.name + "=" + node.text;
            for (const XmlAttribute& attribute : node.attributes)
                visited += "@" + attribute.name + "=" + attribute.value;
            visited += ";";
            EXPECT_EQ(node.xml, "");
        })) << row.text;
        EXPECT_EQ(visited, row.visited) << row.text;
        EXPECT_EQ(stream.rootName(), row.root) << row.text;
        EXPECT_EQ(stream.problem(), "") << row.text;
        XmlDocument document;
        ASSERT_TRUE(document.load(folder / "doc.xml"));
        EXPECT_EQ(document.rootName(), row.root) << row.text;
    }
}

TEST_F(XmlDocumentTest, FormerBugs) {
    // A comment inside an element once counted as its text.
    load("<a><!-- 7 -->8</a>");
    EXPECT_EQ(document_.selectNode("/a").text, "8");
}

}  // namespace
}  // namespace speckmend
