// Reading the data files: a streaming parse whose events go to a per-file handler. Two element
// vocabularies exist: the property bag (OB elements holding PROP elements; CXMLReader) and the
// object tree (root_object and its member elements; CDOMReader, which tells the two apart).
//
// Files come from the panel's data directory and are treated as untrusted: no network, no
// external entities, no document type declarations at all (which rules out entity expansion),
// and a bounded nesting depth. Every problem reaches the handler's error sink as a message with
// the line it was found on.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hresult.h"

// Receives the reader's messages about a file.
class CXMLErrorSink {
  public:
    virtual void OnXMLError(std::u16string_view message) = 0;

  protected:
    ~CXMLErrorSink() = default;
};

// Hands each message to the host's log through the current Global (nothing without one).
class CXMLLogSink : public CXMLErrorSink {
  public:
    void OnXMLError(std::u16string_view message) override;
};

// Base of every file's read handler. Keeps the kind of each open element.
class CXMLReadHelperBase {
  public:
    enum Kind : int { kObject = 0, kProperty = 1, kOther = 2 };

    CXMLReadHelperBase() = default;
    explicit CXMLReadHelperBase(CXMLErrorSink* sink) : error_sink(sink) {}
    CXMLReadHelperBase(const CXMLReadHelperBase&) = delete;
    CXMLReadHelperBase& operator=(const CXMLReadHelperBase&) = delete;
    virtual ~CXMLReadHelperBase() = default;

    // True for "array" and "object" (any case).
    virtual bool IsContainerType(std::u16string_view type);
    virtual void Begin();
    virtual void OnEnd();
    virtual bool OnObject(std::u16string_view name, std::u16string_view type);
    virtual bool OnProperty(std::u16string_view name, std::u16string_view value,
                            std::u16string_view type);
    virtual bool OnOther();

    CXMLErrorSink* error_sink = nullptr;  // may be null
    // The outcome of the last read: S_OK, S_FALSE for a missing file, or the failure.
    HRESULT Result = E_FAIL;

  protected:
    // The kind of the innermost open element; kOther when none is open.
    Kind TopKind() const { return kinds_.empty() ? kOther : kinds_.back(); }
    std::size_t Depth() const { return kinds_.size(); }
    // The kind just closed by OnEnd (kOther when nothing was open).
    Kind EndedKind() const { return ended_; }

  private:
    std::vector<Kind> kinds_;
    Kind ended_ = kOther;
};

// The status a malformed document leaves in Result: the parser's error number in an XML
// facility code, so that it reads as a failure and still tells the parser's reason.
HRESULT XmlParseError(int parser_code);
// Refusals of the reader's own.
inline constexpr HRESULT kXmlDocumentTypeRefused = static_cast<HRESULT>(0xC00CEF01);
inline constexpr HRESULT kXmlTooDeep = static_cast<HRESULT>(0xC00CEF02);

// The attributes of one element as the parser gave them (UTF-8).
class XmlAttributes {
  public:
    struct Attribute {
        std::string_view name;
        std::string value;
    };
    explicit XmlAttributes(std::vector<Attribute> list) : list_(std::move(list)) {}
    // The value of the attribute called exactly `name`; null when absent.
    const std::string* Find(std::string_view name) const;

  private:
    std::vector<Attribute> list_;
};

// The property-bag vocabulary: OB elements call OnObject(Name, Type or "Object"), PROP elements
// OnProperty(Name, Value, Type), any other element OnOther; every element end calls OnEnd.
class CXMLReader {
  public:
    // Documents nested deeper than this are refused (the data files are a few levels deep).
    static constexpr int kMaxDepth = 200;

    explicit CXMLReader(std::u16string data_directory)
        : data_directory_(std::move(data_directory)) {}
    CXMLReader(const CXMLReader&) = delete;
    CXMLReader& operator=(const CXMLReader&) = delete;
    virtual ~CXMLReader() = default;

    // Reads the file `name` of the data directory (see DataFilePath) into `handler`; the outcome
    // is left in handler->Result. A name that would leave the directory reads as a missing file.
    void Read(std::u16string_view name, CXMLReadHelperBase* handler);
    // The same for a document held in memory; `path` only names it in messages.
    void ReadBytes(std::string_view bytes, std::u16string_view path, CXMLReadHelperBase* handler);

    const std::u16string& data_directory() const { return data_directory_; }
    // The full path of the file being read, or last read.
    const std::u16string& path() const { return path_; }

  protected:
    friend class XmlParse;
    virtual void StartDocument() {}
    virtual void StartElement(std::string_view local_name, const XmlAttributes& attributes);
    virtual void EndElement(std::string_view local_name);
    virtual void Characters(std::string_view) {}

    // The handler of the read in progress; null outside Read.
    CXMLReadHelperBase* handler_ = nullptr;

  private:
    void Parse(CXMLReadHelperBase* handler, auto&& feed);

    std::u16string data_directory_;
    std::u16string path_;
};

// Tells the two vocabularies apart by the first OB or root_object element (elements before it
// produce no events) and understands the object tree too: container elements (IsContainerType)
// call OnObject, with the Index attribute in place of the name when present; other elements are
// values of type "Type" (default "string") whose text, without its leading white space, goes to
// OnProperty when the element ends.
class CDOMReader : public CXMLReader {
  public:
    using CXMLReader::CXMLReader;

  protected:
    void StartDocument() override;
    void StartElement(std::string_view local_name, const XmlAttributes& attributes) override;
    void EndElement(std::string_view local_name) override;
    void Characters(std::string_view text) override;

  private:
    std::string value_name_;
    std::string value_type_;
    std::string value_text_;
    std::string value_index_;
    bool has_index_ = false;
    bool vocabulary_known_ = false;
    bool property_bag_ = false;
    bool collecting_ = false;
    bool skipping_space_ = false;
};
