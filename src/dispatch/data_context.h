// Data contexts: a page works through a wrapper around the objects it reaches, so that what it
// registers can be undone when the page goes away. Calls through a wrapper may be rewritten by
// the target (IReadOnlyTest), objects it returns are wrapped in turn, and property puts to
// targets that do not take part are refused.
#pragma once

#include <vector>

#include "interfaces/dispatch.h"
#include "platform/com_object.h"

// The wrapper's state and its call path, shared by the wrappers of returned objects and by the
// data context itself.
class ContextWrapper {
  public:
    // Takes references to both, releasing the old ones.
    void SetTargetAndContext(IDispatch* target, IDataContext* context);

  protected:
    ContextWrapper() = default;
    virtual ~ContextWrapper() = default;

    // The context this wrapper belongs to (not counted by the caller).
    virtual IDataContext* WrapperContext() { return context_.get(); }
    // A new wrapper of `object` in `context`, with one reference.
    virtual HRESULT MakeWrapper(IDispatch* object, IDataContext* context, IDispatch** out) = 0;

    HRESULT WrapperGetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                 DISPID* dispids);
    HRESULT WrapperInvoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                          VARIANT* result, EXCEPINFO* excepinfo, UINT* argerr);
    void ReleaseTargetAndContext();

    ComPtr<IDispatch> target_;
    ComPtr<IDataContext> context_;
};

// IDispatch of a wrapper; ReadOnlyObject is the class that wraps returned objects.
template <class ReadOnlyObject>
class CContextObjectImpl : public IDispatch, public ContextWrapper {
  public:
    using Interface = IDispatch;

    HRESULT GetTypeInfoCount(UINT* count) override { return NoTypeInfoCount(count); }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override { return NoTypeInfo(info); }
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                          DISPID* dispids) override {
        return WrapperGetIDsOfNames(riid, names, count, lcid, dispids);
    }
    HRESULT Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excepinfo, UINT* argerr) override {
        return WrapperInvoke(dispid, riid, lcid, flags, params, result, excepinfo, argerr);
    }

  protected:
    ~CContextObjectImpl() = default;
    HRESULT MakeWrapper(IDispatch* object, IDataContext* context, IDispatch** out) override {
        return ReadOnlyObject::Create(object, context, out);
    }
};

// The wrapper of an object returned through a context.
class CReadOnlyObject
    : public ComObjectRoot<CReadOnlyObject, CContextObjectImpl<CReadOnlyObject>, IDestroy> {
  public:
    static HRESULT Create(IDispatch* target, IDataContext* context, IDispatch** out);
    HRESULT Destroy() override;
};

// The data context of a page: the wrapper around the root object, whose context is itself, and
// the list of placeholders registered through it.
class CDataContext : public ComObjectRoot<CDataContext, IDataContext, IDestroy>,
                     public ContextWrapper {
  public:
    // A new context around `target`, with one reference.
    static HRESULT Create(IDispatch* target, IDataContext** out);

    HRESULT GetTypeInfoCount(UINT* count) override;
    HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                          DISPID* dispids) override;
    HRESULT Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excepinfo, UINT* argerr) override;

    HRESULT DestroyDependantObjects() override;
    HRESULT AddDependantObject(IPlaceHolder* placeholder) override;
    HRESULT RemoveDependantObject(IPlaceHolder* placeholder) override;
    HRESULT _Breakout(IDispatch** object) override;
    HRESULT Destroy() override;

    size_t DependantCount();

  protected:
    // The context is the object itself, not counted: holding a count on itself would keep a
    // context alive after its page let go of it.
    IDataContext* WrapperContext() override { return target_ ? this : nullptr; }
    HRESULT MakeWrapper(IDispatch* object, IDataContext* context, IDispatch** out) override;

  private:
    std::vector<ComPtr<IPlaceHolder>> dependants_;
};
