// Reading and writing the data files: the file-name rule, both vocabularies, refusal of hostile
// or broken documents with a located message, and atomic replacement on writing.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <iterator>
#include <string>
#include <vector>

#include "persistence/data_file.h"
#include "persistence/xml_reader.h"
#include "persistence/xml_writer.h"
#include "platform/bstr.h"
#include "support/data_directory.h"

namespace {

// Records every event of a read as text, "|" between them, and its messages.
class RecordingHandler : public CXMLReadHelperBase, public CXMLErrorSink {
  public:
    RecordingHandler() : CXMLReadHelperBase(static_cast<CXMLErrorSink*>(this)) {}

    std::string events;
    std::vector<std::string> messages;

    bool OnObject(std::u16string_view name, std::u16string_view type) override {
        Note("obj " + Utf16ToUtf8(name) + ":" + Utf16ToUtf8(type));
        return CXMLReadHelperBase::OnObject(name, type);
    }
    bool OnProperty(std::u16string_view name, std::u16string_view value,
                    std::u16string_view type) override {
        Note("prop " + Utf16ToUtf8(name) + "=" + Utf16ToUtf8(value) + ":" + Utf16ToUtf8(type));
        return CXMLReadHelperBase::OnProperty(name, value, type);
    }
    bool OnOther() override { return Note("other"), CXMLReadHelperBase::OnOther(); }
    void OnEnd() override { Note("end"), CXMLReadHelperBase::OnEnd(); }
    void OnXMLError(std::u16string_view message) override {
        messages.push_back(Utf16ToUtf8(message));
    }

  private:
    void Note(const std::string& event) { events += (events.empty() ? "" : "|") + event; }
};

TEST(DataFileTest, NamesGetTheSuffixOnceAndNeverLeaveTheDirectory) {
    // clang-format off
    const std::pair<std::u16string, std::string> accepted[] = {
        {u"Schedules", "/d/Schedules.xml"}, {u"Config.xml", "/d/Config.xml"}, {u"NZ", "/d/NZ.xml"},
        {u"a.XML", "/d/a.XML.xml"},         {u"xml", "/d/xml.xml"},           {u"a..b", "/d/a..b.xml"}};
    // clang-format on
    for (const auto& [name, path] : accepted) {
        EXPECT_EQ(DataFilePath(u"/d", name), path) << Utf16ToUtf8(name);
        EXPECT_EQ(DataFilePath(u"/d/", name), path) << Utf16ToUtf8(name);
    }
    using namespace std::literals;
    for (std::u16string_view refused :
         {u""sv, u".."sv, u"."sv, u"../x"sv, u"/etc/passwd"sv, u"sub\\x"sv, u"a\0b"sv}) {
        EXPECT_EQ(DataFilePath(u"/d", refused), "") << Utf16ToUtf8(refused);
        EXPECT_EQ(DataFilePath(u"/d/", refused), "") << Utf16ToUtf8(refused);
    }
    EXPECT_EQ(DataFilePath(u"", u"Users"), "");  // no data directory: not the working one
}

struct Document {
    const char* what;
    const char* xml;
    const char* bag_events;   // through CXMLReader
    const char* tree_events;  // through CDOMReader; null: the same
};

const Document kDocuments[] = {
    {"property bag", R"(<OB Name="n"><PROP Name="city" Value="Wellington" Type="t"/><x/></OB>)",
     "obj n:Object|prop city=Wellington:t|end|other|end|end", nullptr},
    {"absent attributes and any case", R"(<ob><prop/></ob>)", "obj :Object|prop =:|end|end",
     nullptr},
    {"escaped text in attributes",
     R"(<OB><PROP Name="a" Value="1 &amp; &lt;2&gt; &#38; &quot;é"/></OB>)",
     "obj :Object|prop a=1 & <2> & \"é:|end|end", nullptr},
    {"elements before the vocabulary",
     R"(<w><x/><root_object Type="Object"><a>  12</a></root_object></w>)",
     "other|other|end|other|other|end|end|end",
     "obj root_object:Object|prop a=12:string|end|end|end"},
    {"object tree", R"(<root_object Type="Object">
  <n Type="Integer">5</n>
  <list Type="Array"><length Type="Integer">1</length><item Index="0">x &amp; &lt;y&gt;</item></list>
  <o Type="object"><item Index="7" Type="Bool">True</item></o>
</root_object>)",
     "other|other|end|other|other|end|other|end|end|other|other|end|end|end",
     "obj root_object:Object|prop n=5:Integer|end|obj list:Array|prop length=1:Integer|end|"
     "prop 0=x & <y>:string|end|end|obj o:object|prop 7=True:Bool|end|end|end"},
};

TEST(XmlReaderTest, EachVocabularyGivesItsEvents) {
    DataDirectory dir;
    for (const Document& d : kDocuments) {
        dir.Put("doc.xml", d.xml);
        RecordingHandler bag, tree;
        CXMLReader(dir.Path()).Read(u"doc", &bag);
        CDOMReader(dir.Path()).Read(u"doc", &tree);
        EXPECT_EQ(bag.Result, S_OK) << d.what;
        EXPECT_EQ(tree.Result, S_OK) << d.what;
        EXPECT_EQ(bag.events, d.bag_events) << d.what;
        EXPECT_EQ(tree.events, d.tree_events ? d.tree_events : d.bag_events) << d.what;
        EXPECT_TRUE(bag.messages.empty()) << d.what;
    }
}

TEST(XmlReaderTest, MissingFilesAndNamesOutsideTheDirectoryReadAsMissing) {
    DataDirectory dir;
    std::ofstream(dir / "../x.xml") << "<OB><PROP Name='a' Value='1'/></OB>";
    // A pipe or a directory in a data file's place is refused at once, never waited on.
    ASSERT_EQ(mkfifo((dir / "Pipe.xml").c_str(), 0600), 0);
    std::filesystem::create_directory(dir / "Folder.xml");
    const std::pair<std::u16string, HRESULT> cases[] = {
        {u"Absent", S_FALSE}, {u"../x", S_FALSE}, {u"..", S_FALSE},   {u"/etc/hostname", S_FALSE},
        {u"", E_FAIL},        {u"Pipe", E_FAIL},  {u"Folder", E_FAIL}};
    for (const auto& [name, result] : cases) {
        RecordingHandler handler;
        CDOMReader(dir.Path()).Read(name, &handler);
        EXPECT_EQ(handler.Result, result) << Utf16ToUtf8(name);
        EXPECT_TRUE(handler.events.empty()) << Utf16ToUtf8(name);
        // Only a file in the way is worth a message.
        EXPECT_EQ(handler.messages.empty(), result == S_FALSE || name.empty()) << Utf16ToUtf8(name);
    }
}

std::string Nested(int depth) {
    std::string xml;
    for (int i = 0; i < depth; ++i)
        xml += "<OB>";
    return xml;  // left open: the refusal must come before the end is needed
}

std::string Laughs() {
    std::string xml = "<?xml version=\"1.0\"?>\n<!DOCTYPE OB [\n<!ENTITY l0 \"ha\">\n";
    for (int i = 1; i < 12; ++i) {
        xml += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j)
            xml += "&l" + std::to_string(i - 1) + ";";
        xml += "\">\n";
    }
    return xml + "]>\n<OB><PROP Name=\"a\" Value=\"&l11;\"/>&l11;</OB>";
}

TEST(XmlReaderTest, HostileAndBrokenDocumentsAreRefusedWithALocatedMessage) {
    struct Case {
        const char* what;
        std::string xml;
        const char* message;  // part of the first message
    } cases[] = {
        {"external entity",
         "<?xml version=\"1.0\"?>\n<!DOCTYPE OB [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>\n"
         "<OB><PROP Name=\"a\" Value=\"&x;\"/></OB>",
         "FatalError: C00CEF01 Document type declarations are not accepted - Line 2"},
        {"billion laughs", Laughs(), "FatalError: C00CEF01"},
        {"deep nesting", "\n" + Nested(100000), "FatalError: C00CEF02"},
        {"invalid UTF-8", "<OB>\n<PROP Name=\"\xff\xfe\"/></OB>", "FatalError: C00CE009"},
        {"truncated", "<OB>\n<PROP Name=\"a\" Val", "FatalError: C00CE"},
        {"undeclared entity", "<OB>\n\n&boom;</OB>", "- Line 3"},
        // The parser quotes the long name: the message is shortened, its line kept.
        {"long message", "<OB>\n<" + std::string(3000, 'x') + "\x01/></OB>", " - Line 2"},
    };
    DataDirectory dir;
    for (const Case& c : cases) {
        dir.Put("bad.xml", c.xml);
        RecordingHandler handler;
        CDOMReader(dir.Path()).Read(u"bad", &handler);
        EXPECT_TRUE(FAILED(handler.Result)) << c.what;
        ASSERT_FALSE(handler.messages.empty()) << c.what;
        EXPECT_NE(handler.messages[0].find(c.message), std::string::npos)
            << c.what << ": " << handler.messages[0];
        EXPECT_TRUE(handler.messages[0].starts_with((dir / "bad.xml").string() + " ")) << c.what;
        EXPECT_EQ(handler.events.find("haha"), std::string::npos) << c.what;
    }
}

// A source that writes a fixed tree.
class TreeSource : public CXMLWriteHelperBase {
  public:
    std::u16string text = u"a < b & \"c\" 'd' > é 😀\r\n";
    int extra_values = 0;
    void WriteDocument(CXMLElementWriter& out) override {
        out.BeginObject(u"ignored", u"Object");
        out.Value(u"Text", u"", text);
        out.Value(u"7", u"Integer", u"8");
        // Names no element can carry go in an item's Index.
        out.Value(u"07", u"", u"x");
        out.Value(u"bad name", u"", u"y");
        if (out.BeginObject(u"List", u"Array")) {
            out.Value(u"length", u"Integer", u"1");
            out.Value(u"0", u"Bool", u"True");
            out.EndObject();
        }
        for (int i = 0; i < extra_values; ++i)
            out.Value(u"Padding", u"", std::u16string(100, u'x'));
        out.EndObject();
    }
};

TEST(XmlWriterTest, WritesAReadableDocumentOnlyInsideTheDirectoryAndWholeOrNotAtAll) {
    DataDirectory dir;
    TreeSource source;
    for (std::u16string name : {u"../x", u"..", u"/tmp/x", u""})
        EXPECT_EQ(CXMLWriter(dir.Path()).Write(name, source), E_INVALIDARG) << Utf16ToUtf8(name);
    EXPECT_FALSE(std::filesystem::exists(dir / "../x.xml"));
    ASSERT_EQ(CXMLWriter(dir.Path()).Write(u"Tree", source), S_OK);
    const std::string bytes = dir.Get("Tree.xml");
    EXPECT_TRUE(bytes.starts_with(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root_object Type=\"Object\">\n  <Text>"))
        << bytes;
    EXPECT_NE(bytes.find("\n  <item Index=\"7\" Type=\"Integer\">8</item>\n"), std::string::npos);

    RecordingHandler handler;
    CDOMReader(dir.Path()).Read(u"Tree", &handler);
    EXPECT_EQ(handler.Result, S_OK);
    EXPECT_EQ(handler.events, "obj root_object:Object|prop Text=" + Utf16ToUtf8(source.text) +
                                  ":string|end|prop 7=8:Integer|end|prop 07=x:string|end|prop "
                                  "bad name=y:string|end|obj List:Array|prop length=1:Integer|"
                                  "end|prop 0=True:Bool|end|end|end");
    // The names that are whole numbers: those that convert back unchanged.
    for (std::u16string yes : {u"0", u"7", u"-1", u"2147483647", u"-2147483648"})
        EXPECT_TRUE(IsWholeNumberName(yes)) << Utf16ToUtf8(yes);
    for (std::u16string no : {u"", u"07", u"+1", u"1.0", u" 1", u"2147483648", u"-0", u"x"})
        EXPECT_FALSE(IsWholeNumberName(no)) << Utf16ToUtf8(no);

    // The file-size limit makes a longer write fail part-way through, as a full disk would: the
    // previous file stays whole.
    source.extra_values = 200;  // about 25 kB
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limit = saved;
    limit.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    HRESULT hr = CXMLWriter(dir.Path()).Write(u"Tree", source);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_EQ(dir.Get("Tree.xml"), bytes);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / ""), {}), 1);  // no temporary
}

}  // namespace
