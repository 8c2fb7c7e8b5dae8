// The generic collection: finding, adding, removing, enumerating, arrays, and a walk from a
// worker thread while a single-threaded apartment fills it; data contexts around it: calls
// through the wrapper, wrapped results, refused puts, and placeholders that undo what a page
// added.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "dispatch/collection.h"
#include "dispatch/data_context.h"
#include "dispatch/disp_ex_object.h"
#include "interfaces/ids.h"
#include "platform/apartment.h"
#include "support/dispatch_results.h"
#include "support/script_doubles.h"
#include "support/variants.h"

namespace {

// An element interface other than IDispatch, to see Add refuse objects that lack it.
struct ITestItem : IDispatch {
    static constexpr IID kIid = brevanto_ids::Make(0xF1);
    static const InterfaceDesc& Describe();
    virtual HRESULT get_Name(BSTR* pVal) = 0;

  protected:
    ~ITestItem() = default;
};

const InterfaceDesc& ITestItem::Describe() {
    static const InterfaceDesc desc(u"ITestItem", kIid, nullptr,
                                    {Get<&ITestItem::get_Name>(u"Name", 1)});
    return desc;
}

class CTestItem : public ComObjectRoot<CTestItem, DispatchImpl<ITestItem>, IMarshal> {
  public:
    explicit CTestItem(std::u16string n) : name(std::move(n)) {}
    HRESULT get_Name(BSTR* value) override { return *value = SysAllocString(name.c_str()), S_OK; }
    std::u16string name;
};

IDispatch* Disp(const ComPtr<CTestItem>& item) {
    return static_cast<IDispatch*>(item.get());
}

CComVariant Value(const ComPtr<CTestItem>& item) {
    return CComVariant(Disp(item));
}

using ItemCollection = STLObjectCollection<ITestItem, IGenericCollection>;
using DispatchCollection = STLObjectCollection<IDispatch, IGenericCollection>;

class NotingNotifier : public CollectionNotifier {
  public:
    void OnAdd(const CollectionElement&) override { log += "add "; }
    void OnRemove(size_t position, const CollectionElement&) override {
        log += "remove " + std::to_string(position) + " ";
    }
    void OnClear() override { log += "clear"; }
    std::string log;
};

class CollectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char16_t* n : {u"one", u"two", u"Two"}) {
            items.push_back(New<CTestItem>(n));
            ASSERT_EQ(coll.Add(Value(items.back())), S_OK);
        }
    }
    CComVariant ItemAt(const VARIANT& index, HRESULT expected = S_OK) {
        CComVariant out;
        EXPECT_EQ(coll.get_Item(index, &out), expected);
        return out;
    }
    ItemCollection coll;
    std::vector<ComPtr<CTestItem>> items;
};

// I2 and UI1 count as positions, a double finds nothing; names compare case-sensitively.
TEST_F(CollectionTest, FindByPositionNameAndType) {
    CComVariant two_i2;
    two_i2.vt = VT_I2;
    two_i2.iVal = 2;
    // clang-format off
    const std::pair<CComVariant, int> lookups[] = {
        {I4(0), 0}, {I4(3), -1}, {I4(-1), -1}, {two_i2, 2}, {CComVariant(BYTE{1}), 1},
        {R8(1.0), -1}, {Str(u"Two"), 2}, {Str(u"two"), 1}, {Str(u"TWO"), -1}};
    // clang-format on
    for (const auto& [index, at] : lookups) {
        CComVariant item = ItemAt(index, at < 0 ? E_INVALIDARG : S_OK);
        if (at >= 0) {
            EXPECT_EQ(item.pdispVal, Disp(items[at])) << ShowVariant(index);
        }
    }
    EXPECT_EQ(coll.get_Item(I4(0), nullptr), E_POINTER);
    // Of two equal names the first is found.
    ASSERT_EQ(coll.Add(Value(New<CTestItem>(u"one"))), S_OK);
    EXPECT_EQ(ItemAt(Str(u"one")).pdispVal, Disp(items[0]));
}

TEST_F(CollectionTest, RemoveByObjectAndByPosition) {
    ref<NotingNotifier> notifier(new NotingNotifier);
    coll.SetNotifier(notifier);
    ASSERT_EQ(coll.Remove(Value(items[1])), S_OK);
    EXPECT_EQ(coll.Remove(Value(items[1])), E_INVALIDARG);
    EXPECT_EQ(ItemAt(I4(1)).pdispVal, Disp(items[2]));
    ASSERT_EQ(coll.Remove(I4(0)), S_OK);
    EXPECT_EQ(ItemAt(I4(0)).pdispVal, Disp(items[2]));
    coll.ClearAll();
    EXPECT_EQ(coll.Size(), 0u);
    EXPECT_EQ(notifier->log, "remove 1 remove 0 clear");
}

TEST_F(CollectionTest, PutItemReplacesInPlaceAndWrongTypesAreRefused) {
    auto fresh = New<CTestItem>(u"fresh");
    CComVariant value = Value(fresh);
    ASSERT_EQ(coll.put_Item(CComVariant(u"two"), &value), S_OK);
    EXPECT_EQ(ItemAt(CComVariant(LONG{1})).pdispVal, Disp(fresh));
    EXPECT_EQ(coll.put_Item(CComVariant(LONG{7}), &value), E_INVALIDARG);
    CComVariant wrong(LONG{5});
    EXPECT_EQ(coll.put_Item(CComVariant(LONG{0}), &wrong), E_INVALIDARG);
    auto other = New<CDispExObject>();
    EXPECT_EQ(coll.Add(CComVariant(static_cast<IDispatch*>(other.get()))), E_FAIL);
    EXPECT_EQ(coll.Add(CComVariant(u"text")), E_FAIL);
    EXPECT_EQ(Got(&coll, IdOf(&coll, u"Count")) + ", " + Got(&coll, IdOf(&coll, u"length")),
              "I4 3, I4 3");
}

TEST_F(CollectionTest, SafeArrayOfUnknowns) {
    CComVariant array;
    ASSERT_EQ(coll.GetSafeArray(VT_UNKNOWN, &array), S_OK);
    ASSERT_EQ(array.vt, VT_ARRAY | VT_UNKNOWN);
    ASSERT_EQ(array.parray->rgsabound[0].cElements, 3u);
    EXPECT_EQ(static_cast<IUnknown**>(array.parray->pvData)[2], items[2]->GetUnknown());
    EXPECT_EQ(coll.GetSafeArray(VT_BSTR, &array), E_INVALIDARG);
    EXPECT_EQ(coll.GetSafeArray(VT_DISPATCH, nullptr), E_POINTER);
}

TEST_F(CollectionTest, EnumeratorWorksOnASnapshot) {
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(coll._NewEnum(unknown.put()), S_OK);
    ComPtr<IEnumVARIANT> e = unknown.As<IEnumVARIANT>();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->Skip(1), S_OK);
    coll.ClearAll();  // the enumerator still walks what was there
    CComVariant slots[5];
    ULONG fetched = 0;
    EXPECT_EQ(e->Next(5, slots, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(slots[0].pdispVal, Disp(items[1]));
    EXPECT_EQ(slots[1].pdispVal, Disp(items[2]));
    EXPECT_EQ(e->Next(1, slots + 2, nullptr), S_FALSE);
    EXPECT_EQ(e->Next(1, nullptr, nullptr), E_POINTER);
    ASSERT_EQ(e->Reset(), S_OK);
    ComPtr<IEnumVARIANT> copy;
    ASSERT_EQ(e->Skip(2), S_OK);
    ASSERT_EQ(e->Clone(copy.put()), S_OK);
    EXPECT_EQ(copy->Next(1, slots + 3, &fetched), S_OK);
    EXPECT_EQ(slots[3].pdispVal, Disp(items[2]));
    EXPECT_EQ(e->Skip(10), S_FALSE);
}

TEST(CollectionThreads, WorkerWalksWhileApartmentAdds) {
    constexpr int kElements = 20;
    DispatchCollection coll;
    std::atomic<bool> added_all{false}, walked{false};
    std::atomic<int> names_read{0}, bad_names{0};

    std::thread apartment([&] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        for (int i = 0; i < kElements; ++i) {
            auto bag = New<CDispExObject>();
            std::u16string name = u"n" + Utf8ToUtf16(std::to_string(i));
            bag->members().SetValue(u"Name", CComVariant(name.c_str()));
            ASSERT_EQ(coll.Add(CComVariant(static_cast<IDispatch*>(bag.get()))), S_OK);
            CoPumpPendingMessages();
        }
        added_all = true;
        while (!walked)
            CoPumpMessages(5);
        coll.ClearAll();
        CoUninitialize();
    });

    std::thread worker([&] {
        bool last = false;
        while (!last) {
            last = added_all.load();
            ComPtr<IUnknown> unknown;
            ASSERT_EQ(coll._NewEnum(unknown.put()), S_OK);
            ComPtr<IEnumVARIANT> e = unknown.As<IEnumVARIANT>();
            int seen = 0;
            VARIANT slot;
            while (e->Next(1, &slot, nullptr) == S_OK) {
                CComVariant name;
                if (SUCCEEDED(ReadScriptProperty(slot.pdispVal, u"Name", &name)) &&
                    name.vt == VT_BSTR && CComBSTR(name.bstrVal).view().starts_with(u"n"))
                    ++seen;
                else
                    ++bad_names;
                VariantClear(&slot);
            }
            if (last) names_read = seen;
        }
        walked = true;
    });
    worker.join();
    apartment.join();
    EXPECT_EQ(names_read, kElements);
    EXPECT_EQ(bad_names, 0);
}

ComPtr<IDataContext> ContextAround(IDispatch* target) {
    ComPtr<IDataContext> context;
    EXPECT_EQ(CDataContext::Create(target, context.put()), S_OK);
    return context;
}

// The placeholder the collection holds at a position.
ComPtr<IPlaceHolder> PlaceHolderAt(DispatchCollection& coll, size_t i) {
    ComPtr<IUnknown> element;
    (*coll.Items())[i]->CopyTo(element.put());
    return element.As<IPlaceHolder>();
}

TEST(DataContext, AddsThroughItAreUndoneAndItsResultsAreWrappedInItAndRefusePuts) {
    DispatchCollection coll;
    auto element = New<CDispExObject>();
    ASSERT_EQ(coll.Add(CComVariant(static_cast<IDispatch*>(element.get()))), S_OK);
    auto context = ContextAround(static_cast<IGenericCollection*>(&coll));
    auto a = New<CDispExObject>(), b = New<CDispExObject>();
    for (const auto& bag : {a, b})
        ASSERT_EQ(CallName(context.get(), u"Add", DISPATCH_METHOD, {AsVariant(bag->GetUnknown())}),
                  S_OK);
    ASSERT_EQ(coll.Size(), 3u);
    auto pa = PlaceHolderAt(coll, 1);
    ASSERT_TRUE(pa);
    ComPtr<IDataContext> held;
    ASSERT_EQ(pa->get_Context(held.put()), S_OK);
    EXPECT_EQ(held.get(), context.get());
    // Item gives the object the placeholder stands for, also by identity.
    CComVariant got;
    ASSERT_EQ(coll.get_Item(CComVariant(LONG{1}), &got), S_OK);
    EXPECT_EQ(got.pdispVal, static_cast<IDispatch*>(a.get()));
    // Lookup by object sees the placeholder itself, not the object it stands for.
    CComVariant none;
    EXPECT_EQ(coll.get_Item(CComVariant(static_cast<IDispatch*>(a.get())), &none), E_INVALIDARG);

    // Remove one dependant now; destroying them all later removes the other one only.
    ASSERT_EQ(context->RemoveDependantObject(pa), S_OK);
    CComVariant gone;
    EXPECT_EQ(Answer(pa->get_Dependant(&gone), gone), "EMPTY");
    ASSERT_EQ(context->DestroyDependantObjects(), S_OK);
    ASSERT_EQ(coll.Size(), 1u);
    ASSERT_EQ(coll.get_Item(CComVariant(LONG{0}), &got), S_OK);
    EXPECT_EQ(got.pdispVal, static_cast<IDispatch*>(element.get()));
    ASSERT_EQ(pa->get_Context(held.put()), S_OK);
    EXPECT_FALSE(held);

    // An add of the wrong type through a context is refused like a direct one.
    STLObjectCollection<IDataContext, IGenericCollection> contexts;
    auto around = ContextAround(static_cast<IGenericCollection*>(&contexts));
    EXPECT_EQ(CallName(around.get(), u"Add", DISPATCH_METHOD, {AsVariant(a->GetUnknown())}),
              E_FAIL);
    EXPECT_EQ(contexts.Size(), 0u);

    // What the context hands out.
    UINT count = 9;
    EXPECT_EQ(context->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 0u);
    ComPtr<IDispatch> out;
    ASSERT_EQ(context->_Breakout(out.put()), S_OK);
    EXPECT_EQ(out.get(), static_cast<IDispatch*>(static_cast<IGenericCollection*>(&coll)));
    CComVariant wrapped;
    ASSERT_EQ(Call(context.get(), 0, DISPATCH_PROPERTYGET, {CComVariant(LONG{0})}, &wrapped), S_OK);
    ASSERT_EQ(wrapped.vt, VT_DISPATCH);
    EXPECT_NE(wrapped.pdispVal, static_cast<IDispatch*>(element.get()));
    // The wrapped element, having no ReadOnlyTest, refuses puts; reads, and a put-by-reference
    // alone, pass.
    DISPID id = IdOf(wrapped.pdispVal, u"x");
    EXPECT_EQ(Call(wrapped.pdispVal, id, DISPATCH_PROPERTYPUT, {CComVariant(LONG{1})}),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Got(wrapped.pdispVal, id), "EMPTY");
    EXPECT_EQ(Call(wrapped.pdispVal, id, DISPATCH_PROPERTYPUTREF, {CComVariant(LONG{4})}), S_OK);
    EXPECT_EQ(Got(wrapped.pdispVal, id), "I4 4");
    EXPECT_EQ(element->members().Count(), 1u);
    // An enumerator through the context is handed back unwrapped.
    CComVariant e;
    ASSERT_EQ(Call(context.get(), DISPID_NEWENUM, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, &e),
              S_OK);
    EXPECT_TRUE(ComPtr<IUnknown>(e.punkVal).As<IEnumVARIANT>());
    // After Destroy the context reaches nothing.
    ASSERT_EQ(context.As<IDestroy>()->Destroy(), S_OK);
    EXPECT_EQ(Got(context.get(), 0, {CComVariant(LONG{0})}), Failed(E_FAIL));
    LPOLESTR name = const_cast<LPOLESTR>(u"count");
    EXPECT_EQ(context->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id), E_FAIL);
    EXPECT_EQ(context->_Breakout(out.put()), E_FAIL);
}

TEST(PlaceHolders, EventAndScriptPlaceHoldersWithoutGlobalOnlyReleaseTheContext) {
    ASSERT_FALSE(CurrentGlobal::Get());
    auto bag = New<CDispExObject>();
    auto context = ContextAround(bag.get());
    auto event = New<EventPlaceHolder>();
    auto script = New<ScriptPlaceHolder>();
    ASSERT_EQ(event->put_Context(context), S_OK);
    ASSERT_EQ(script->put_Context(context), S_OK);
    ASSERT_EQ(event->put_Dependant(CComVariant(LONG{12})), S_OK);
    ASSERT_EQ(script->put_Dependant(CComVariant(u"menu")), S_OK);
    ASSERT_EQ(event->Register(nullptr), S_OK);
    ASSERT_EQ(script->Register(nullptr), S_OK);
    auto* data_context = static_cast<CDataContext*>(context.get());
    EXPECT_EQ(data_context->DependantCount(), 2u);
    ASSERT_EQ(context->DestroyDependantObjects(), S_OK);
    EXPECT_EQ(data_context->DependantCount(), 0u);
    ComPtr<IDataContext> held;
    ASSERT_EQ(event->get_Context(held.put()), S_OK);
    EXPECT_FALSE(held);
    CComVariant id;
    EXPECT_EQ(Answer(script->get_Dependant(&id), id), "BSTR menu");
}

}  // namespace
