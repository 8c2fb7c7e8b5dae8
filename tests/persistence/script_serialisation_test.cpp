// Script objects written as object trees and built again: type texts both ways, the member
// walk, nested objects and arrays, whole-number names, native objects by class name.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "persistence/script_serialisation.h"
#include "support/script_doubles.h"
#include "support/script_objects.h"

namespace {

CComVariant Typed(VARTYPE vt, LONG number) {
    CComVariant value(number);
    EXPECT_EQ(VariantChangeType(&value, &value, 0, vt), S_OK);
    return value;
}

TEST(TypeTextTest, ValuesAreWrittenWithTheTypeTextOfTheirKindAndReadBackByIt) {
    StoredClassRegistration registration;
    ComPtr<IDispatch> stored = registration.New();
    // Each type text and the values written with it.
    const std::pair<std::u16string, std::vector<CComVariant>> cases[] = {
        {u"Integer", {Typed(VT_I1, -1), Typed(VT_I2, 2), Typed(VT_I4, 3)}},
        {u"UInteger", {Typed(VT_UI1, 4), Typed(VT_UI2, 5), Typed(VT_UI4, 6)}},
        {u"Float", {Typed(VT_R4, 7), CComVariant(3.5), Typed(VT_DECIMAL, 8)}},
        {u"Bool", {CComVariant(true)}},
        {u"", {CComVariant(u"text"), Typed(VT_DATE, 9)}},
        {u"Array", {CComVariant(EngineObject::Make(true).get())}},
        {u"Object", {CComVariant(EngineObject::Make().get())}},
        {u"test.stored", {CComVariant(stored.get())}},
    };
    for (const auto& [type, values] : cases)
        for (const CComVariant& value : values)
            EXPECT_EQ(TypeTextOf(value), type) << "vt " << value.vt;

    // Texts read back by their type text.
    // clang-format off
    const struct {
        const char16_t* text;
        const char16_t* type;
        bool exact_case;
        VARTYPE vt;
        const char16_t* as_text;  // the value converted back to text
    } texts[] = {
        {u"12", u"Integer", true, VT_I4, u"12"}, {u"12", u"integer", true, VT_BSTR, u"12"},
        {u"12", u"integer", false, VT_I4, u"12"},
        {u"4000000000", u"UInteger", false, VT_UI4, u"4000000000"},
        {u"3.5", u"Float", false, VT_DECIMAL, u"3.5"},
        {u"3.5", u"Number", true, VT_DECIMAL, u"3.5"}, {u"True", u"bool", false, VT_BOOL, u"-1"},
        {u"False", u"Bool", true, VT_BOOL, u"0"}, {u"twelve", u"Integer", true, VT_BSTR, u"twelve"},
        {u"12", u"string", false, VT_BSTR, u"12"}, {u"12", u"", false, VT_BSTR, u"12"},
    };
    // clang-format on
    for (const auto& c : texts) {
        CComVariant value = ValueFromTypedText(c.text, c.type, c.exact_case);
        EXPECT_EQ(value.vt, c.vt) << Utf16ToUtf8(c.type) << " " << Utf16ToUtf8(c.text);
        CComVariant text;
        ASSERT_EQ(VariantChangeType(&text, &value, 0, VT_BSTR), S_OK);
        EXPECT_EQ(std::u16string_view(text.bstrVal), c.as_text);
    }
    for (std::u16string type : {u"array", u"OBJECT", u"brevanto.schedule", u"x.y"})
        EXPECT_TRUE(IsContainerTypeText(type)) << Utf16ToUtf8(type);
    for (std::u16string type : {u"Integer", u"", u"string", u"arrays"})
        EXPECT_FALSE(IsContainerTypeText(type)) << Utf16ToUtf8(type);
}

std::string Written(IDispatch* root) {
    CJavascriptXMLWriter source(root);
    std::string bytes;
    EXPECT_EQ(CXMLWriter::Build(source, &bytes), S_OK);
    return bytes;
}

ComPtr<IDispatch> ReadBack(const std::string& bytes, IDispatch* context) {
    CJScriptReadHelper helper(context);
    CDOMReader(u"").ReadBytes(bytes, u"tree.xml", &helper);
    EXPECT_EQ(helper.Result, S_OK);
    return helper.Root();
}

TEST(ScriptSerialisationTest, AnObjectTreeComesBackAsItWasWritten) {
    StoredClassRegistration registration;
    auto script = New<HiddenScript>();

    ComPtr<IDispatch> root = EngineObject::Make();
    Set(root.get(), u"Text", CComVariant(u"<a & \"b\"> é"));
    Set(root.get(), u"Count", CComVariant(LONG{5}));
    Set(root.get(), u"On", CComVariant(true));
    Set(root.get(), u"Ratio", CComVariant(3.5));
    ComPtr<IDispatch> list = EngineObject::Make(true);
    Set(list.get(), u"length", CComVariant(LONG{2}));
    Set(list.get(), u"0", CComVariant(u"first"));
    Set(list.get(), u"1", Typed(VT_UI4, 7));
    Set(root.get(), u"List", CComVariant(list.get()));
    ComPtr<IDispatch> nested = EngineObject::Make();
    Set(nested.get(), u"7", CComVariant(u"seven"));
    Set(nested.get(), u"Self", CComVariant(nested.get()));  // a cycle: left out
    Set(root.get(), u"Nested", CComVariant(nested.get()));
    ComPtr<IDispatch> stored = registration.New();
    Set(stored.get(), u"Colour", CComVariant(u"red"));
    Set(root.get(), u"Stored", CComVariant(stored.get()));

    const std::string first = Written(root.get());
    EXPECT_NE(first.find("<item Index=\"7\">seven</item>"), std::string::npos) << first;
    EXPECT_NE(first.find("<Stored Type=\"test.stored\">"), std::string::npos) << first;
    EXPECT_NE(first.find("<On Type=\"Bool\">True</On>"), std::string::npos) << first;
    EXPECT_EQ(first.find("Self"), std::string::npos) << first;

    ComPtr<IDispatch> copy = ReadBack(first, script.get());
    ASSERT_TRUE(copy);
    // Written again, the copy gives the same bytes: every value with its type text, the native
    // object of its class with its members. Floating point comes back as decimal.
    EXPECT_EQ(Written(copy.get()), first);
    EXPECT_EQ(Get(copy.get(), u"Ratio").vt, VT_DECIMAL);
    Set(nested.get(), u"Self", CComVariant());  // breaks the cycle
}

// Elements outside any object assign nothing; the deepest value the reader takes is written.
TEST(ScriptSerialisationTest, OnlyValuesInsideAnObjectAreReadDownToTheReadersLimit) {
    auto script = New<HiddenScript>();
    const std::pair<const char*, IDispatch*> cases[] = {
        {"<root_object><a>1</a></root_object>", script.get()},  // values outside any object
        {"<root_object Type='no.such.class'><a>1</a></root_object>", script.get()},
        {"<root_object Type='Object'><a>1</a></root_object>", nullptr},  // no script context
    };
    for (const auto& [xml, context] : cases) {
        SCOPED_TRACE(xml);
        EXPECT_FALSE(ReadBack(xml, context));
    }
    EXPECT_EQ(script->evaluated, 0);

    // Objects down to one level above the reader's limit; the value lies at the limit.
    std::vector<ComPtr<IDispatch>> chain{EngineObject::Make()};
    while (chain.size() + 1 < static_cast<std::size_t>(CXMLReader::kMaxDepth)) {
        chain.push_back(EngineObject::Make());
        Set(chain[chain.size() - 2].get(), u"o", CComVariant(chain.back().get()));
    }
    Set(chain.back().get(), u"v", CComVariant(u"deep"));
    const std::string written = Written(chain.front().get());
    EXPECT_NE(written.find("<v>deep</v>"), std::string::npos);
    EXPECT_TRUE(ReadBack(written, script.get()));
}

}  // namespace
