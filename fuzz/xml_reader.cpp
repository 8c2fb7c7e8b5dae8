// Arbitrary bytes as a data file, through the reader that detects the vocabulary.
//
// Checked for every input: the read ends (the sanitizers and libFuzzer's limits catch crashes,
// hangs and runaway memory); a document that fails to parse reports at least one message, each
// naming the file and a line, and the outcome is S_OK or a failure code (never S_FALSE, which
// means a missing file).
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "persistence/xml_reader.h"
#include "platform/bstr.h"

namespace {

constexpr std::u16string_view kPath = u"fuzz/input.xml";

class CheckingHandler : public CXMLReadHelperBase, public CXMLErrorSink {
  public:
    CheckingHandler() : CXMLReadHelperBase(static_cast<CXMLErrorSink*>(this)) {}

    int messages = 0;
    bool trace = std::getenv("FUZZ_TRACE") != nullptr;

    bool OnObject(std::u16string_view name, std::u16string_view type) override {
        Trace("object", name, type);
        return CXMLReadHelperBase::OnObject(name, type);
    }
    bool OnProperty(std::u16string_view name, std::u16string_view value,
                    std::u16string_view type) override {
        Trace("property", name, value);
        return CXMLReadHelperBase::OnProperty(name, value, type);
    }
    bool OnOther() override { return CXMLReadHelperBase::OnOther(); }
    void OnEnd() override { CXMLReadHelperBase::OnEnd(); }
    void OnXMLError(std::u16string_view message) override {
        ++messages;
        const std::string text = Utf16ToUtf8(message);
        if (trace) std::fprintf(stderr, "message %s\n", text.c_str());
        FUZZ_CHECK(text.rfind(Utf16ToUtf8(kPath) + " ", 0) == 0);
        FUZZ_CHECK(text.find(" - Line ") != std::string::npos);
    }

  private:
    void Trace(const char* what, std::u16string_view a, std::u16string_view b) {
        if (trace)
            std::fprintf(stderr, "%s %s %s\n", what, Utf16ToUtf8(a).c_str(),
                         Utf16ToUtf8(b).c_str());
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckingHandler handler;
    CDOMReader reader(u"fuzz");
    reader.ReadBytes(std::string_view(reinterpret_cast<const char*>(data), size), kPath, &handler);
    FUZZ_CHECK(handler.Result == S_OK || FAILED(handler.Result));
    if (FAILED(handler.Result)) FUZZ_CHECK(handler.messages > 0);
    return 0;
}
