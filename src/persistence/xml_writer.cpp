#include "persistence/xml_writer.h"

#include <libxml/tree.h>
#include <libxml/xmlwriter.h>

#include <cerrno>
#include <charconv>

#include "persistence/data_file.h"
#include "platform/atomic_file.h"
#include "platform/bstr.h"

namespace {

const xmlChar* X(const std::string& text) {
    return reinterpret_cast<const xmlChar*>(text.c_str());
}

// XML 1.0 carries tab, line feed, carriage return and the characters from U+0020 up, except
// the surrogates (which UTF-8 conversion already replaced) and U+FFFE, U+FFFF.
std::string XmlText(std::u16string_view text) {
    std::u16string clean(text);
    for (char16_t& c : clean) {
        bool allowed = c == u'\t' || c == u'\n' || c == u'\r' || (c >= 0x20 && c < 0xFFFE);
        if (!allowed) c = 0xFFFD;
    }
    return Utf16ToUtf8(clean);
}

bool IsXmlName(const std::string& name) {
    return !name.empty() && xmlValidateName(X(name), 0) == 0 && name.find(':') == std::string::npos;
}

}  // namespace

bool IsWholeNumberName(std::u16string_view name) {
    if (name.empty() || name.size() > 11) return false;
    std::string ascii;
    for (char16_t c : name) {
        if (c > 0x7F) return false;
        ascii.push_back(static_cast<char>(c));
    }
    int value = 0;
    auto [end, error] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
    if (error != std::errc() || end != ascii.data() + ascii.size()) return false;
    return std::to_string(value) == ascii;
}

bool IsXmlElementName(std::u16string_view name) {
    return IsXmlName(Utf16ToUtf8(name));
}

struct CXMLElementWriter::State {
    xmlBufferPtr buffer = nullptr;
    xmlTextWriterPtr writer = nullptr;
    bool started = false;
    bool failed = false;

    void Check(int rc) {
        if (rc < 0) failed = true;
    }
};

CXMLElementWriter::CXMLElementWriter() : state_(std::make_unique<State>()) {
    state_->buffer = xmlBufferCreate();
    if (state_->buffer) state_->writer = xmlNewTextWriterMemory(state_->buffer, 0);
    if (!state_->writer) {
        state_->failed = true;
        return;
    }
    state_->Check(xmlTextWriterSetIndent(state_->writer, 1));
    state_->Check(xmlTextWriterSetIndentString(state_->writer, BAD_CAST "  "));
    state_->Check(xmlTextWriterStartDocument(state_->writer, "1.0", "UTF-8", nullptr));
}

CXMLElementWriter::~CXMLElementWriter() {
    if (state_->writer) xmlFreeTextWriter(state_->writer);
    if (state_->buffer) xmlBufferFree(state_->buffer);
}

bool CXMLElementWriter::Open(std::u16string_view name, std::u16string_view type) {
    if (state_->failed) return false;
    std::string element = "root_object";
    bool indexed = false;
    if (state_->started) {
        // Whole numbers, and names that no element can carry ("Panel name", "2nd"), go in the
        // "Index" of an "item" element, which the reader takes as the name: nothing is dropped.
        element = Utf16ToUtf8(name);
        indexed = IsWholeNumberName(name) || !IsXmlName(element);
        if (indexed) element = "item";
    }
    state_->started = true;
    state_->Check(xmlTextWriterStartElement(state_->writer, X(element)));
    if (indexed)
        state_->Check(
            xmlTextWriterWriteAttribute(state_->writer, BAD_CAST "Index", X(XmlText(name))));
    if (!type.empty())
        state_->Check(
            xmlTextWriterWriteAttribute(state_->writer, BAD_CAST "Type", X(XmlText(type))));
    return !state_->failed;
}

bool CXMLElementWriter::BeginObject(std::u16string_view name, std::u16string_view type) {
    return Open(name, type);
}

void CXMLElementWriter::EndObject() {
    if (!state_->failed) state_->Check(xmlTextWriterEndElement(state_->writer));
}

void CXMLElementWriter::Value(std::u16string_view name, std::u16string_view type,
                              std::u16string_view text) {
    if (!Open(name, type)) return;
    state_->Check(xmlTextWriterWriteString(state_->writer, X(XmlText(text))));
    state_->Check(xmlTextWriterEndElement(state_->writer));
}

HRESULT CXMLElementWriter::Finish(std::string* bytes) {
    if (!state_->failed) state_->Check(xmlTextWriterEndDocument(state_->writer));
    if (!state_->failed) state_->Check(xmlTextWriterFlush(state_->writer));
    if (state_->failed) return E_FAIL;
    bytes->assign(reinterpret_cast<const char*>(xmlBufferContent(state_->buffer)),
                  static_cast<std::size_t>(xmlBufferLength(state_->buffer)));
    return S_OK;
}

HRESULT CXMLWriter::Build(CXMLWriteHelperBase& source, std::string* bytes) {
    CXMLElementWriter out;
    source.WriteDocument(out);
    return out.Finish(bytes);
}

HRESULT CXMLWriter::Write(std::u16string_view name, CXMLWriteHelperBase& source, mode_t mode) {
    const std::string path = DataFilePath(data_directory_, name);
    if (path.empty()) return E_INVALIDARG;
    std::string bytes;
    HRESULT hr = Build(source, &bytes);
    if (FAILED(hr)) return hr;
    int error = brevanto::WriteFileAtomically(path, bytes, mode);
    if (error == 0) return S_OK;
    return error == EACCES ? E_ACCESSDENIED : E_FAIL;
}
