// Script objects as object-tree files: CJavascriptXMLWriter writes an object and everything it
// holds, CJScriptReadHelper builds the objects of a file again: plain objects and arrays through
// the page's script engine, native objects through their class names.
//
// Type texts: "Integer" (signed integers), "UInteger" (unsigned), "Float" (floating point and
// decimal; "Number" is read the same way), "Bool" (True/False), "Array" (an object with a
// length member), "Object" (any other object) or the class name of a native object; texts
// carry no type. A type text names an object when it is "array" or "object" in any case, or
// contains a dot (class names do, as "brevanto.schedule").
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "persistence/xml_reader.h"
#include "persistence/xml_writer.h"
#include "platform/comptr.h"
#include "platform/unknown.h"
#include "platform/variant.h"

namespace type_text {
inline constexpr std::u16string_view kInteger = u"Integer";
inline constexpr std::u16string_view kUInteger = u"UInteger";
inline constexpr std::u16string_view kFloat = u"Float";
inline constexpr std::u16string_view kNumber = u"Number";
inline constexpr std::u16string_view kBool = u"Bool";
inline constexpr std::u16string_view kArray = u"Array";
inline constexpr std::u16string_view kObject = u"Object";
}  // namespace type_text

bool IsContainerTypeText(std::u16string_view type);

// The type text a value is written with (empty for texts and anything else).
std::u16string TypeTextOf(const VARIANT& value);

// `text` read as the value type its type text names; a text that does not convert, or an
// unknown type, gives the text itself. `exact_case`: the type texts must match in case too.
CComVariant ValueFromTypedText(std::u16string_view text, std::u16string_view type, bool exact_case);

// Writes one root object: the document element root_object with the object's type text, then
// its members, objects among them as nested elements.
class CJavascriptXMLWriter : public CXMLWriteHelperBase {
  public:
    explicit CJavascriptXMLWriter(IDispatch* root) : root_(root) {}
    void WriteDocument(CXMLElementWriter& out) override;

  protected:
    struct Member {
        std::u16string name;
        DISPID dispid;
    };
    // The members written for `object`: its parameterless property gets and variables from its
    // type information, then the names it reports as added by scripts; an object with neither
    // (a script engine's own object) is enumerated through IDispatchEx.
    virtual std::vector<Member> MemberList(IDispatch* object);

  private:
    void WriteMembers(IDispatch* object, CXMLElementWriter& out);

    ComPtr<IDispatch> root_;
    std::vector<IUnknown*> path_;  // the objects being written, to leave out cycles
};

// Builds objects from a CDOMReader's events. After the read, Root() is the document's object.
class CJScriptReadHelper : public CXMLReadHelperBase {
  public:
    // `script_context`: an object of the page's engine whose eval("new Object()", "unsafe")
    // makes plain script objects (and "new Array()" arrays); null: none can be made.
    explicit CJScriptReadHelper(IDispatch* script_context, CXMLErrorSink* sink = nullptr)
        : CXMLReadHelperBase(sink), context_(script_context) {}

    bool IsContainerType(std::u16string_view type) override;
    void Begin() override;
    void OnEnd() override;
    bool OnObject(std::u16string_view name, std::u16string_view type) override;
    bool OnProperty(std::u16string_view name, std::u16string_view value,
                    std::u16string_view type) override;

    IDispatch* Root() const { return root_.get(); }

  protected:
    // A new object for an element of `type` at `depth` (1 for the document element's
    // children); null when none can be made.
    virtual ComPtr<IDispatch> CreateObject(std::size_t depth, std::u16string_view type);

  private:
    // The objects being filled; a null entry stands for an element whose object could not be
    // made, so that its values go nowhere.
    std::vector<ComPtr<IDispatch>> stack_;
    ComPtr<IDispatch> root_;
    ComPtr<IDispatch> context_;
};

// Assigns `value` to the member `name` of `object`, creating the member when the object allows
// it. False when the object has no such member and makes none.
bool AssignMember(IDispatch* object, std::u16string_view name, const VARIANT& value);
