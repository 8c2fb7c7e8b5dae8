// Data contexts: calls through the wrapper, wrapped results, refused puts, and placeholders that
// undo what a page added.
#include <gtest/gtest.h>

#include "dispatch/collection.h"
#include "dispatch/data_context.h"
#include "dispatch/disp_ex_object.h"
#include "support/dispatch_results.h"
#include "support/script_doubles.h"

namespace {

using Collection = STLObjectCollection<IDispatch, IGenericCollection>;

ComPtr<IDataContext> ContextAround(IDispatch* target) {
    ComPtr<IDataContext> context;
    EXPECT_EQ(CDataContext::Create(target, context.put()), S_OK);
    return context;
}

// The placeholder the collection holds at a position.
ComPtr<IPlaceHolder> PlaceHolderAt(Collection& coll, size_t i) {
    ComPtr<IUnknown> element;
    (*coll.Items())[i]->CopyTo(element.put());
    return element.As<IPlaceHolder>();
}

TEST(DataContext, AddsThroughItAreUndoneAndItsResultsAreWrappedInItAndRefusePuts) {
    Collection coll;
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
    EXPECT_EQ(coll.Size(), 2u);
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
