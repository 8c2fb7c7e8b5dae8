// Writing the data files in the object-tree vocabulary: a source (CXMLWriteHelperBase) walks what
// it stores and tells the element writer its objects and values; the writer builds the document
// (UTF-8, with an XML declaration, indented) and replaces the file atomically.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>

#include "platform/hresult.h"

class CXMLElementWriter;

// What a file is written from.
class CXMLWriteHelperBase {
  public:
    virtual ~CXMLWriteHelperBase() = default;
    // Writes the document: one root object (its name is replaced by root_object) and its members.
    virtual void WriteDocument(CXMLElementWriter& out) = 0;
};

// The elements of the document being built. A member whose name is a whole number (it converts
// to a 32-bit integer and back to the same text) or no element name ("Panel name") becomes an
// `item` element with that name as its Index; any other member an element of its own name.
// Characters XML cannot carry become U+FFFD, in names as in values. The Type attribute is
// written when the type text is not empty.
class CXMLElementWriter {
  public:
    CXMLElementWriter();
    ~CXMLElementWriter();
    CXMLElementWriter(const CXMLElementWriter&) = delete;
    CXMLElementWriter& operator=(const CXMLElementWriter&) = delete;

    // Opens an object: the first one is the document element root_object. False when the
    // document already failed; then no EndObject follows.
    bool BeginObject(std::u16string_view name, std::u16string_view type);
    void EndObject();
    // A value member: an element holding `text`. Characters XML cannot carry become U+FFFD.
    void Value(std::u16string_view name, std::u16string_view type, std::u16string_view text);

    // Ends the document; its bytes, or the failure that occurred while building it.
    HRESULT Finish(std::string* bytes);

  private:
    struct State;
    bool Open(std::u16string_view name, std::u16string_view type);
    std::unique_ptr<State> state_;
};

// True when `name` is the text of a 32-bit integer as it converts back ("7", "-1"; not "07").
bool IsWholeNumberName(std::u16string_view name);
// True when `name` can be an element name of its own: an XML name without a colon.
bool IsXmlElementName(std::u16string_view name);

class CXMLWriter {
  public:
    // Data files are readable by everyone; files holding secrets pass kOwnerOnly.
    static constexpr mode_t kShared = 0644;
    static constexpr mode_t kOwnerOnly = 0600;

    explicit CXMLWriter(std::u16string data_directory)
        : data_directory_(std::move(data_directory)) {}

    // Builds the document from `source` and replaces the file `name` of the data directory (see
    // DataFilePath). A failure at any step leaves the previous file as it was. S_OK, or the
    // failure: E_INVALIDARG for a name outside the directory. The new file gets `mode`.
    HRESULT Write(std::u16string_view name, CXMLWriteHelperBase& source, mode_t mode = kShared);
    // The document `source` gives, as bytes.
    static HRESULT Build(CXMLWriteHelperBase& source, std::string* bytes);

  private:
    std::u16string data_directory_;
};
