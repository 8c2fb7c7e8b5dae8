#include "persistence/xml_reader.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "persistence/data_file.h"
#include "platform/boundary.h"
#include "platform/bstr.h"
#include "platform/case_fold.h"
#include "runtime/current_global.h"

namespace {

constexpr std::size_t kMessageLimit = 1024;
constexpr std::size_t kChunkBytes = 64 * 1024;

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

bool SameText(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (FoldCase(a[i]) != FoldCase(b[i])) return false;
    return true;
}

std::string_view View(const xmlChar* text) {
    return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

void KeepFirstAttribute(void* user, const xmlChar*, const xmlChar*, const xmlChar*, int,
                        const xmlChar**, int count, int, const xmlChar** attributes) {
    if (count > 0)
        static_cast<std::string*>(user)->assign(
            reinterpret_cast<const char*>(attributes[3]),
            static_cast<std::size_t>(attributes[4] - attributes[3]));
}

// Without entity substitution some versions of the parser hand a '&' inside an attribute value
// on as "&#38;" (meant to be expanded later). Asked once, of the parser in use.
bool ParserEscapesAmpersands() {
    static const bool escapes = [] {
        xmlSAXHandler sax;
        std::memset(&sax, 0, sizeof sax);
        sax.initialized = XML_SAX2_MAGIC;
        sax.startElementNs = &KeepFirstAttribute;
        std::string value;
        static constexpr char kProbe[] = "<a b=\"&amp;\"/>";
        xmlParserCtxtPtr context = xmlCreatePushParserCtxt(&sax, &value, nullptr, 0, nullptr);
        if (!context) return false;
        xmlCtxtUseOptions(context, XML_PARSE_NONET);
        xmlParseChunk(context, kProbe, sizeof kProbe - 1, 1);
        xmlFreeParserCtxt(context);
        return value == "&#38;";
    }();
    return escapes;
}

// No other reference can be left in a value: documents with declarations are refused, and
// undeclared entities are errors.
std::string AttributeValue(const xmlChar* begin, const xmlChar* end) {
    std::string_view raw(reinterpret_cast<const char*>(begin),
                         static_cast<std::size_t>(end - begin));
    if (!ParserEscapesAmpersands()) return std::string(raw);
    std::string value;
    value.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw.compare(i, 5, "&#38;") == 0) {
            value.push_back('&');
            i += 4;
        } else {
            value.push_back(raw[i]);
        }
    }
    return value;
}

enum class Severity { kWarning, kError, kFatal };

}  // namespace

HRESULT XmlParseError(int parser_code) {
    return static_cast<HRESULT>(0xC00CE000u | (static_cast<unsigned>(parser_code) & 0xFFFu));
}

const std::string* XmlAttributes::Find(std::string_view name) const {
    for (const Attribute& attribute : list_)
        if (attribute.name == name) return &attribute.value;
    return nullptr;
}

void CXMLLogSink::OnXMLError(std::u16string_view message) {
    CurrentGlobal::Hold global = CurrentGlobal::Get();
    if (!global) return;
    CComBSTR text(std::u16string(message) + u"\r\n");
    if (text) global->Log(text);
}

// ---- CXMLReadHelperBase ----

bool CXMLReadHelperBase::IsContainerType(std::u16string_view type) {
    return SameText(type, u"array") || SameText(type, u"object");
}

void CXMLReadHelperBase::Begin() {
    kinds_.clear();
    kinds_.push_back(kOther);
}

void CXMLReadHelperBase::OnEnd() {
    ended_ = kOther;
    if (kinds_.empty()) return;
    ended_ = kinds_.back();
    kinds_.pop_back();
}

bool CXMLReadHelperBase::OnObject(std::u16string_view, std::u16string_view) {
    kinds_.push_back(kObject);
    return true;
}

bool CXMLReadHelperBase::OnProperty(std::u16string_view, std::u16string_view, std::u16string_view) {
    kinds_.push_back(kProperty);
    return true;
}

bool CXMLReadHelperBase::OnOther() {
    kinds_.push_back(kOther);
    return true;
}

// ---- The parse ----

// One parse: the parser context, its callbacks and what they found.
class XmlParse {
  public:
    XmlParse(CXMLReader& reader, CXMLReadHelperBase& handler) : reader_(reader), handler_(handler) {
        xmlInitParser();
        xmlSAXHandler sax;
        std::memset(&sax, 0, sizeof sax);
        sax.initialized = XML_SAX2_MAGIC;
        sax.startDocument = &XmlParse::OnStartDocument;
        sax.startElementNs = &XmlParse::OnStartElement;
        sax.endElementNs = &XmlParse::OnEndElement;
        sax.characters = &XmlParse::OnCharacters;
        sax.cdataBlock = &XmlParse::OnCharacters;
        sax.internalSubset = &XmlParse::OnDocumentType;
        sax.serror = &XmlParse::OnError;
        // The few messages the parser prints without a context (encoding conversion) would
        // reach standard error; the structured handler above reports the failure itself.
        saved_generic_ = xmlGenericError;
        saved_generic_context_ = xmlGenericErrorContext;
        xmlSetGenericErrorFunc(nullptr, &XmlParse::Quiet);
        const std::string path = Utf16ToUtf8(reader.path());
        context_ = xmlCreatePushParserCtxt(&sax, this, nullptr, 0, path.c_str());
        if (!context_) return;
        // Never XML_PARSE_NOENT, XML_PARSE_DTDLOAD or XML_PARSE_HUGE: no entity is expanded,
        // nothing outside the document is loaded and the parser's own limits stay in place.
        xmlCtxtUseOptions(context_, XML_PARSE_NONET | XML_PARSE_NOCDATA);
    }
    ~XmlParse() {
        if (context_) xmlFreeParserCtxt(context_);
        xmlSetGenericErrorFunc(saved_generic_context_, saved_generic_);
    }
    XmlParse(const XmlParse&) = delete;
    XmlParse& operator=(const XmlParse&) = delete;

    bool ready() const { return context_ != nullptr; }

    // Feeds a piece of the document; false once the parse has ended in failure.
    bool Feed(std::string_view bytes, bool last) {
        if (stopped_) return false;
        xmlParseChunk(context_, bytes.data(), static_cast<int>(bytes.size()), last ? 1 : 0);
        return !stopped_ && context_->wellFormed;
    }

    HRESULT Outcome() const {
        if (failure_ != S_OK) return failure_;
        if (!context_->wellFormed) return XmlParseError(context_->errNo);
        return S_OK;
    }

    // A message about the document, at the parser's current line.
    void Report(Severity severity, HRESULT code, std::string_view text, int line) {
        if (severity != Severity::kWarning && failure_ == S_OK) failure_ = code;
        if (!handler_.error_sink) return;
        static constexpr const char* kWhat[] = {"Warning", "Error", "FatalError"};
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.remove_suffix(1);
        char code_text[16];
        std::snprintf(code_text, sizeof code_text, "%8.8X", static_cast<unsigned>(code));
        std::string head = Utf16ToUtf8(reader_.path()) + " " + kWhat[static_cast<int>(severity)] +
                           ": " + code_text + " ";
        const std::string tail = " - Line " + std::to_string(line);
        // A long parser text is shortened (at a character boundary), never the line.
        std::size_t room = kMessageLimit - 1 > head.size() + tail.size()
                               ? kMessageLimit - 1 - head.size() - tail.size()
                               : 0;
        if (text.size() > room) {
            while (room > 0 && (static_cast<unsigned char>(text[room]) & 0xC0) == 0x80)
                --room;
            text = text.substr(0, room);
        }
        const std::string message = head.append(text).append(tail);
        handler_.error_sink->OnXMLError(Utf8ToUtf16(message));
    }

  private:
    static XmlParse& Self(void* user) { return *static_cast<XmlParse*>(user); }
    static void Quiet(void*, const char*, ...) {}

    // Ends the parse with a refusal of the reader's own.
    void Refuse(HRESULT code, std::string_view text) {
        Report(Severity::kFatal, code, text, xmlSAX2GetLineNumber(context_));
        Stop(code);
    }
    void Stop(HRESULT code) {
        if (failure_ == S_OK) failure_ = code;
        stopped_ = true;
        xmlStopParser(context_);
    }
    // Runs a callback's work; no exception may cross the parser, so a failure (running out of
    // memory while copying names and values) ends the parse with its status.
    template <class F>
    void Guarded(F&& work) {
        if (stopped_) return;
        HRESULT hr = StatusOf(std::forward<F>(work));
        if (FAILED(hr)) Stop(hr);
    }

    static void OnStartDocument(void* user) {
        XmlParse& self = Self(user);
        self.Guarded([&] { self.reader_.StartDocument(); });
    }

    static void OnDocumentType(void* user, const xmlChar*, const xmlChar*, const xmlChar*) {
        XmlParse& self = Self(user);
        self.Guarded([&] {
            self.Refuse(kXmlDocumentTypeRefused, "Document type declarations are not accepted");
        });
    }

    static void OnStartElement(void* user, const xmlChar* local_name, const xmlChar*,
                               const xmlChar*, int, const xmlChar**, int attribute_count, int,
                               const xmlChar** attributes) {
        XmlParse& self = Self(user);
        self.Guarded([&] {
            if (++self.depth_ > CXMLReader::kMaxDepth) {
                self.Refuse(kXmlTooDeep, "Elements nested more than " +
                                             std::to_string(CXMLReader::kMaxDepth) + " deep");
                return;
            }
            std::vector<XmlAttributes::Attribute> list;
            list.reserve(static_cast<std::size_t>(attribute_count));
            for (int i = 0; i < attribute_count; ++i) {
                const xmlChar** a = attributes + 5 * i;
                list.push_back({View(a[0]), AttributeValue(a[3], a[4])});
            }
            self.reader_.StartElement(View(local_name), XmlAttributes(std::move(list)));
        });
    }

    static void OnEndElement(void* user, const xmlChar* local_name, const xmlChar*,
                             const xmlChar*) {
        XmlParse& self = Self(user);
        self.Guarded([&] {
            --self.depth_;
            self.reader_.EndElement(View(local_name));
        });
    }

    static void OnCharacters(void* user, const xmlChar* text, int length) {
        XmlParse& self = Self(user);
        self.Guarded([&] {
            self.reader_.Characters(std::string_view(reinterpret_cast<const char*>(text),
                                                     static_cast<std::size_t>(length)));
        });
    }

    static void OnError(void* user, xmlErrorPtr error) {
        if (!error) return;
        XmlParse& self = Self(user);
        if (self.stopped_) return;  // the parse already ended with its reason
        Severity severity = error->level == XML_ERR_WARNING ? Severity::kWarning
                            : error->level == XML_ERR_ERROR ? Severity::kError
                                                            : Severity::kFatal;
        self.Guarded([&] {
            self.Report(severity, XmlParseError(error->code),
                        View(reinterpret_cast<xmlChar*>(error->message)), error->line);
        });
    }

    CXMLReader& reader_;
    CXMLReadHelperBase& handler_;
    xmlGenericErrorFunc saved_generic_ = nullptr;
    void* saved_generic_context_ = nullptr;
    xmlParserCtxtPtr context_ = nullptr;
    int depth_ = 0;
    bool stopped_ = false;
    HRESULT failure_ = S_OK;
};

// ---- CXMLReader ----

void CXMLReader::Parse(CXMLReadHelperBase* handler, auto&& feed) {
    handler_ = handler;
    handler->Begin();
    handler->Result = E_FAIL;
    {
        XmlParse parse(*this, *handler);
        if (parse.ready()) handler->Result = StatusOf([&] { return feed(parse); });
    }
    handler_ = nullptr;
}

void CXMLReader::Read(std::u16string_view name, CXMLReadHelperBase* handler) {
    if (!handler) return;
    path_ = Utf8ToUtf16(DataFilePath(data_directory_, name));
    if (name.empty()) {
        handler->Begin();
        handler->Result = E_FAIL;
        return;
    }
    Parse(handler, [&](XmlParse& parse) -> HRESULT {
        if (path_.empty()) return S_FALSE;  // a name outside the directory names no file here
        const std::string path = Utf16ToUtf8(path_);
        // Opened without blocking, so that a pipe put in the file's place cannot hold the
        // reader; only a regular file is read.
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            if (errno == ENOENT || errno == ENOTDIR) return S_FALSE;
            HRESULT code = errno == EACCES ? E_ACCESSDENIED : E_FAIL;
            parse.Report(Severity::kError, code, std::strerror(errno), 0);
            return code;
        }
        struct stat status {};
        if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
            ::close(fd);
            parse.Report(Severity::kError, E_FAIL, "not a regular file", 0);
            return E_FAIL;
        }
        std::unique_ptr<char[]> buffer(new char[kChunkBytes]);
        HRESULT read_failure = S_OK;
        for (;;) {
            ssize_t n = ::read(fd, buffer.get(), kChunkBytes);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                read_failure = E_FAIL;
                parse.Report(Severity::kError, E_FAIL, std::strerror(errno), 0);
                break;
            }
            if (!parse.Feed({buffer.get(), static_cast<std::size_t>(n)}, n == 0) || n == 0) break;
        }
        ::close(fd);
        return read_failure != S_OK ? read_failure : parse.Outcome();
    });
}

void CXMLReader::ReadBytes(std::string_view bytes, std::u16string_view path,
                           CXMLReadHelperBase* handler) {
    if (!handler) return;
    path_.assign(path);
    Parse(handler, [&](XmlParse& parse) -> HRESULT {
        while (bytes.size() > kChunkBytes) {
            if (!parse.Feed(bytes.substr(0, kChunkBytes), false)) return parse.Outcome();
            bytes.remove_prefix(kChunkBytes);
        }
        parse.Feed(bytes, true);
        return parse.Outcome();
    });
}

void CXMLReader::StartElement(std::string_view local_name, const XmlAttributes& attributes) {
    auto text = [&](std::string_view name, std::u16string_view absent) {
        const std::string* value = attributes.Find(name);
        return value ? Utf8ToUtf16(*value) : std::u16string(absent);
    };
    if (SameName(local_name, "OB")) {
        handler_->OnObject(text("Name", u""), text("Type", u"Object"));
    } else if (SameName(local_name, "PROP")) {
        handler_->OnProperty(text("Name", u""), text("Value", u""), text("Type", u""));
    } else {
        handler_->OnOther();
    }
}

void CXMLReader::EndElement(std::string_view) {
    handler_->OnEnd();
}

// ---- CDOMReader ----

void CDOMReader::StartDocument() {
    vocabulary_known_ = false;
    property_bag_ = false;
    collecting_ = false;
}

void CDOMReader::StartElement(std::string_view local_name, const XmlAttributes& attributes) {
    if (!vocabulary_known_) {
        if (SameName(local_name, "ob")) {
            vocabulary_known_ = property_bag_ = true;
        } else if (SameName(local_name, "root_object")) {
            vocabulary_known_ = true;
        } else {
            return;  // before the document's first OB or root_object: no events
        }
    }
    if (property_bag_) {
        CXMLReader::StartElement(local_name, attributes);
        return;
    }
    const std::string* type = attributes.Find("Type");
    const std::string* index = attributes.Find("Index");
    std::u16string type_text = type ? Utf8ToUtf16(*type) : std::u16string(u"string");
    if (handler_->IsContainerType(type_text)) {
        handler_->OnObject(Utf8ToUtf16(index ? *index : local_name), type_text);
        return;
    }
    value_name_.assign(local_name);
    value_type_ = type ? *type : "string";
    has_index_ = index != nullptr;
    value_index_ = index ? *index : std::string();
    value_text_.clear();
    collecting_ = true;
    skipping_space_ = true;
}

void CDOMReader::EndElement(std::string_view local_name) {
    if (!vocabulary_known_) return;
    if (property_bag_) {
        CXMLReader::EndElement(local_name);
        return;
    }
    if (collecting_ && SameName(local_name, value_name_)) {
        collecting_ = false;
        handler_->OnProperty(Utf8ToUtf16(has_index_ ? value_index_ : value_name_),
                             Utf8ToUtf16(value_text_), Utf8ToUtf16(value_type_));
    }
    handler_->OnEnd();
}

void CDOMReader::Characters(std::string_view text) {
    if (!collecting_) return;
    if (skipping_space_) {
        std::size_t first = text.find_first_not_of(" \t\r\n");
        if (first == std::string_view::npos) return;
        text.remove_prefix(first);
        skipping_space_ = false;
    }
    value_text_.append(text);
}
