// Reference counting shared by the simulated platform's COM objects. Each
// object is registered when it is made and kept until the next Reset, so a
// call on an object already released is reported instead of crashing.
#pragma once

#include "platform/sim/state.h"

#include <memory>
#include <string>
#include <utility>

namespace sim::detail {

// The entry of an object that still has references, or null with a
// problem noted.
ComObjectEntry* LiveComObject(const void* object, const char* call);
// The interface an object was handed out as, for call records.
std::string ComKind(const void* object);

// What the platform's COM can create (wmi.cpp).
IWbemLocator* NewWbemLocator();

// A string argument that has to be a BSTR, for call records: the text,
// with a problem noted when it is not laid out as a BSTR.
std::string BstrArg(const WCHAR* text, const std::string& call);

ULONG ComAddRef(const IUnknown* object, const std::string& kind);
ULONG ComRelease(const IUnknown* object, const std::string& kind);
HRESULT ComQueryInterface(IUnknown* object, const std::string& kind, const IID& own, REFIID riid,
                          void** ppvObject);

template <class Interface> class ComObject : public Interface {
public:
    ComObject(const char* kind, const IID& iid) : m_kind(kind), m_iid(iid) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override
    {
        return ComQueryInterface(this, m_kind, m_iid, riid, ppvObject);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ComAddRef(this, m_kind); }
    ULONG STDMETHODCALLTYPE Release() override { return ComRelease(this, m_kind); }

    const std::string& Kind() const { return m_kind; }

protected:
    // Whether a method may run: the object must still be referenced.
    bool Alive(const char* call) const { return LiveComObject(this, call) != nullptr; }
    std::string Call(const char* method) const { return m_kind + "::" + method; }

private:
    std::string m_kind;
    IID m_iid;
};

// Makes an object with one reference, owned by the platform's state.
template <class T, class... Args> T* NewComObject(Args&&... args)
{
    std::shared_ptr<T> object = std::make_shared<T>(std::forward<Args>(args)...);
    T* raw = object.get();
    const IUnknown* key = raw;
    // cppcheck-suppress nullPointer ; make_shared never yields null
    S().comObjects[key] = ComObjectEntry{raw->Kind(), 1, std::move(object)};
    return raw;
}

} // namespace sim::detail
