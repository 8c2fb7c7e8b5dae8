// The IDispatch part of a test double that stands in for a script function or callback: no type
// information and no named members, only Invoke, which the double supplies. An entry for
// ComObjectRoot:
//
//   class Recorder : public ComObjectRoot<Recorder, NamelessDispatch, IMarshal> {
//     public:
//       HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
//                      UINT*) override;
//   };
#pragma once

#include "platform/unknown.h"

class NamelessDispatch : public IDispatch {
  public:
    using Interface = IDispatch;

    HRESULT GetTypeInfoCount(UINT* count) override { return NoTypeInfoCount(count); }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override { return NoTypeInfo(info); }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return DISP_E_UNKNOWNNAME;
    }

  protected:
    ~NamelessDispatch() = default;
};
