// The scheduler's files in the data directory: the locale file (a property bag naming the place
// and zone), and the holiday and schedule files (object trees of the two collections, written by
// IScheduler.Save and read once at start-up).
#pragma once

#include <string>
#include <vector>

#include "persistence/script_serialisation.h"
#include "persistence/xml_reader.h"
#include "platform/comptr.h"

// The place a locale file describes. Numbers are read with a decimal point.
struct LocaleRecord {
    std::u16string city;
    std::u16string country;
    std::u16string timezone;
    float lat = 0;
    float lng = 0;
    bool use_daylight_saving = false;
};

// Takes the six properties of a locale file from the PROP elements directly inside the
// outermost OB.
class CLocaleReader : public CXMLReadHelperBase {
  public:
    using CXMLReadHelperBase::CXMLReadHelperBase;

    void Begin() override;
    void OnEnd() override;
    bool OnObject(std::u16string_view name, std::u16string_view type) override;
    bool OnProperty(std::u16string_view name, std::u16string_view value,
                    std::u16string_view type) override;

    const LocaleRecord& record() const { return record_; }

  private:
    int depth_ = 0;
    LocaleRecord record_;
};

// Reads a collection file: every object directly under the document element is created as the
// reader's class, whatever its Type says; Objects() lists them in file order. An array document
// element is read without a script context too.
class CCollectionFileReader : public CJScriptReadHelper {
  public:
    std::vector<ComPtr<IDispatch>>& Objects() { return objects_; }

  protected:
    using CJScriptReadHelper::CJScriptReadHelper;
    void Begin() override;
    ComPtr<IDispatch> CreateObject(std::size_t depth, std::u16string_view type) override;
    // A new object of the collection's element class.
    virtual ComPtr<IDispatch> CreateElement() = 0;

  private:
    std::vector<ComPtr<IDispatch>> objects_;
};

class CScheduleReader : public CCollectionFileReader {
  public:
    using CCollectionFileReader::CCollectionFileReader;

  protected:
    ComPtr<IDispatch> CreateElement() override;
};

// The holiday file's document element must be an array, or nothing is loaded.
class CPublicHolidayReader : public CCollectionFileReader {
  public:
    using CCollectionFileReader::CCollectionFileReader;

  protected:
    ComPtr<IDispatch> CreateObject(std::size_t depth, std::u16string_view type) override;
    ComPtr<IDispatch> CreateElement() override;
};

// Writes a collection (schedules or holidays): its length, then each element by index.
class CScheduleWriter : public CXMLWriteHelperBase {
  public:
    explicit CScheduleWriter(IDispatch* collection) : collection_(collection) {}
    void WriteDocument(CXMLElementWriter& out) override;

  private:
    ComPtr<IDispatch> collection_;
};
