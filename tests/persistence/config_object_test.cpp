// The configuration object: loading either vocabulary (only the settings directly inside the
// document element, exact type texts), saving and loading back, and the native reads.
#include <gtest/gtest.h>

#include "persistence/config_object.h"
#include "platform/safearray.h"
#include "support/data_directory.h"
#include "support/script_objects.h"

namespace {

ComPtr<CConfigOb> NewConfig(const DataDirectory& dir) {
    ComPtr<CConfigOb> config;
    EXPECT_EQ(MakeComObject(&config), S_OK);
    config->SetDataDirectory(dir.Path());
    return config;
}

IDispatch* Script(CConfigOb* config) {
    return static_cast<IConfig*>(config);
}

// Every member as "name=text:vt", in the order the members were added.
std::string Members(CConfigOb* config) {
    CComVariant names;
    EXPECT_EQ(config->GetMemberNames(&names), S_OK);
    std::string all;
    LONG high = -1;
    SafeArrayGetUBound(names.parray, 1, &high);
    for (LONG i = 0; i <= high; ++i) {
        CComBSTR name;
        SafeArrayGetElement(names.parray, &i, &name);
        CComVariant value = Get(Script(config), name), text;
        VariantChangeType(&text, &value, VARIANT_ALPHABOOL, VT_BSTR);
        all += (all.empty() ? "" : "|") + name.utf8() + "=" +
               Utf16ToUtf8({text.bstrVal, SysStringLen(text.bstrVal)}) + ":" +
               std::to_string(value.vt);
    }
    return all;
}

// A setting made before the load ("Kept") stays whatever the file holds.
TEST(ConfigObjectTest, LoadTakesTheSettingsDirectlyInsideTheDocumentElement) {
    const struct {
        const char* what;
        const char* xml;  // null: no file
        const char* members;
    } cases[] = {
        {"no file", nullptr, "Kept=yes:8"},
        {"property bag",
         R"(<OB><PROP Name="PacketDelay" Value="20" Type="Integer"/>
              <OB><PROP Name="Nested" Value="1"/></OB>
              <PROP Name="StartPage" Value="main.htm"/>
              <PROP Name="Lower" Value="20" Type="integer"/>
              <PROP Name="On" Value="True" Type="Bool"/>
              <PROP Name="Fade" Value="4000000000" Type="UInteger"/>
              <PROP Name="Ratio" Value="0.5" Type="Number"/>
              <PROP Name="Bad" Value="x" Type="Integer"/>
              <PROP Name="On" Value="False" Type="Bool"/></OB>)",
         // added in name order (code units: upper case first)
         "Kept=yes:8|Bad=x:8|Fade=4000000000:19|Lower=20:8|On=False:11|PacketDelay=20:3|"
         "Ratio=0.5:14|StartPage=main.htm:8"},
        {"object tree",
         R"(<root_object Type="Object"><PacketDelay Type="Integer">20</PacketDelay>
              <Inner Type="Object"><Deep Type="Integer">1</Deep></Inner>
              <item Index="3">three</item></root_object>)",
         "Kept=yes:8|3=three:8|PacketDelay=20:3"},
        {"a broken file keeps what came before the break",
         R"(<OB><PROP Name="PacketDelay" Value="20" Type="Integer"/><PROP Name=)",
         "Kept=yes:8|PacketDelay=20:3"},
    };
    for (const auto& c : cases) {
        DataDirectory dir;
        if (c.xml) dir.Put("Config.xml", c.xml);
        ComPtr<CConfigOb> config = NewConfig(dir);
        Set(Script(config.get()), u"Kept", CComVariant(u"yes"));
        EXPECT_EQ(config->Load(), S_OK) << c.what;
        EXPECT_EQ(Members(config.get()), c.members) << c.what;
    }
}

TEST(ConfigObjectTest, SavedSettingsLoadBackWithTheirTypesForScriptAndNativeReads) {
    DataDirectory dir;
    ComPtr<CConfigOb> config = NewConfig(dir);
    IDispatch* script = Script(config.get());
    Set(script, u"Title", CComVariant(u"<Lights> & \"shades\" 'é' 😀"));
    Set(script, u"PacketDelay", CComVariant(LONG{20}));
    Set(script, u"Enabled", CComVariant(true));
    Set(script, u"Off", CComVariant(false));
    Set(script, u"Delay", CComVariant(u"120"));
    Set(script, u"Word", CComVariant(u"x"));
    Set(script, u"Ratio", CComVariant(2.25));
    CComVariant fade(LONG{3000});
    ASSERT_EQ(VariantChangeType(&fade, &fade, 0, VT_UI4), S_OK);
    Set(script, u"DefaultLogicalFade", fade);
    ASSERT_EQ(CallName(script, u"Save", DISPATCH_METHOD, {}), S_OK);

    ComPtr<CConfigOb> loaded = NewConfig(dir);
    ASSERT_EQ(CallName(Script(loaded.get()), u"Load", DISPATCH_METHOD, {}), S_OK);
    // Floating point comes back as decimal, members in name order.
    EXPECT_EQ(Members(loaded.get()),
              "DefaultLogicalFade=3000:19|Delay=120:8|Enabled=True:11|Off=False:11|"
              "PacketDelay=20:3|Ratio=2.25:14|Title=<Lights> & \"shades\" 'é' 😀:8|Word=x:8");

    // The native reads convert, or give nothing.
    const struct {
        const char16_t* name;
        VARTYPE wanted;
        VARTYPE got;
        bool unsigned_read;  // GetUnsigned finds a number
    } cases[] = {
        {u"Delay", VT_I4, VT_I4, true},        {u"delay", VT_BSTR, VT_BSTR, true},
        {u"Delay", VT_VARIANT, VT_BSTR, true}, {u"Word", VT_I4, VT_EMPTY, false},
        {u"Absent", VT_BSTR, VT_EMPTY, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(loaded->GetValue(c.name, c.wanted).vt, c.got) << Utf16ToUtf8(c.name);
        ULONG value = 7;
        EXPECT_EQ(loaded->GetUnsigned(c.name, &value), c.unsigned_read) << Utf16ToUtf8(c.name);
        EXPECT_EQ(value, c.unsigned_read ? 120u : 7u) << Utf16ToUtf8(c.name);
    }
}

}  // namespace
