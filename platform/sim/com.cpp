// Simulated COM: apartment initialisation, process security, object
// creation, proxy blankets, reference counts, BSTRs and variants.
#include "platform/sim/com_object.h"

#include <cstring>
#include <cwchar>

using namespace sim;
using namespace sim::detail;

const IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {

std::string Signed(LONG value)
{
    return std::to_string(value);
}

std::string VtName(VARTYPE vt)
{
    switch (vt) {
    case VT_EMPTY:
        return "VT_EMPTY";
    case VT_NULL:
        return "VT_NULL";
    case VT_I4:
        return "VT_I4";
    case VT_BSTR:
        return "VT_BSTR";
    default:
        return Hex(vt);
    }
}

uintptr_t BstrBase(const WCHAR* text)
{
    return reinterpret_cast<uintptr_t>(text) - sizeof(DWORD);
}

} // namespace

namespace sim::detail {

ComObjectEntry* LiveComObject(const void* object, const char* call)
{
    auto it = S().comObjects.find(object);
    if (it == S().comObjects.end()) {
        Problem(std::string(call) + " on something that is not a COM object");
        return nullptr;
    }
    if (it->second.refs == 0) {
        Problem(std::string(call) + " on an " + it->second.kind + " already released");
        return nullptr;
    }
    if (S().comInitDepth <= 0)
        Problem(std::string(call) + " while COM is not initialised");
    return &it->second;
}

std::string ComKind(const void* object)
{
    if (object == nullptr)
        return "null";
    auto it = S().comObjects.find(object);
    return it == S().comObjects.end() ? "ptr" : it->second.kind;
}

ULONG ComAddRef(const IUnknown* object, const std::string& kind)
{
    const std::string call = kind + "::AddRef";
    Enter(call.c_str(), "");
    ComObjectEntry* entry = LiveComObject(object, call.c_str());
    return entry == nullptr ? 0 : ++entry->refs;
}

ULONG ComRelease(const IUnknown* object, const std::string& kind)
{
    const std::string call = kind + "::Release";
    Enter(call.c_str(), "");
    ComObjectEntry* entry = LiveComObject(object, call.c_str());
    return entry == nullptr ? 0 : --entry->refs;
}

HRESULT ComQueryInterface(IUnknown* object, const std::string& kind, const IID& own, REFIID riid,
                          void** ppvObject)
{
    const std::string call = kind + "::QueryInterface";
    const Fault* fault = Enter(call.c_str(), GuidText(&riid));
    if (ppvObject == nullptr)
        return E_POINTER;
    *ppvObject = nullptr;
    if (fault != nullptr)
        return static_cast<HRESULT>(fault->result);
    ComObjectEntry* entry = LiveComObject(object, call.c_str());
    if (entry == nullptr)
        return E_FAIL;
    if (riid != own && riid != IID_IUnknown)
        return E_NOINTERFACE;
    ++entry->refs;
    *ppvObject = object;
    return S_OK;
}

BSTR NewBstr(const std::wstring& text)
{
    const DWORD byteLength = static_cast<DWORD>(text.size() * sizeof(WCHAR));
    BYTE* block =
        static_cast<BYTE*>(NewBlock("bstr", sizeof(DWORD) + byteLength + sizeof(WCHAR), false));
    if (block == nullptr)
        return nullptr;
    std::memcpy(block, &byteLength, sizeof(DWORD));
    BSTR bstr = reinterpret_cast<BSTR>(block + sizeof(DWORD));
    std::wmemcpy(bstr, text.c_str(), text.size() + 1);
    return bstr;
}

bool IsLiveBstr(const WCHAR* text)
{
    auto it = S().blocks.find(reinterpret_cast<const void*>(BstrBase(text)));
    return text != nullptr && it != S().blocks.end() && it->second.kind == "bstr";
}

bool DropBstr(const WCHAR* bstr, const char* call)
{
    return DropBlock("bstr", reinterpret_cast<const void*>(BstrBase(bstr)), call);
}

std::string BstrArg(const WCHAR* text, const std::string& call)
{
    if (text == nullptr)
        return "null";
    if (!IsLiveBstr(text)) {
        // Not one of ours: it must still carry a byte count that matches
        // its text, as a BSTR laid out by hand does.
        DWORD byteLength = 0;
        std::memcpy(&byteLength, reinterpret_cast<const void*>(BstrBase(text)), sizeof(DWORD));
        if (byteLength != std::wcslen(text) * sizeof(WCHAR))
            Problem(call + " given a string that is not a BSTR");
    }
    return Narrow(text);
}

} // namespace sim::detail

HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit)
{
    const Fault* fault = Enter("CoInitializeEx", Ptr(pvReserved) + ", " + Hex(dwCoInit));
    if (fault != nullptr)
        return static_cast<HRESULT>(fault->result);
    if (pvReserved != nullptr)
        return E_INVALIDARG;
    // Every success, S_FALSE included, must be matched by CoUninitialize.
    return S().comInitDepth++ == 0 ? S_OK : S_FALSE;
}

void WINAPI CoUninitialize()
{
    Enter("CoUninitialize", "");
    if (S().comInitDepth <= 0) {
        Problem("CoUninitialize without a matching CoInitializeEx");
        return;
    }
    --S().comInitDepth;
}

HRESULT WINAPI CoInitializeSecurity(PSECURITY_DESCRIPTOR pSecDesc, LONG cAuthSvc,
                                    SOLE_AUTHENTICATION_SERVICE* asAuthSvc, void* pReserved1,
                                    DWORD dwAuthnLevel, DWORD dwImpLevel, void* pAuthList,
                                    DWORD dwCapabilities, void* pReserved3)
{
    const Fault* fault = Enter("CoInitializeSecurity",
                               Ptr(pSecDesc) + ", " + Signed(cAuthSvc) + ", " + Ptr(asAuthSvc) +
                                   ", " + Ptr(pReserved1) + ", " + std::to_string(dwAuthnLevel) +
                                   ", " + std::to_string(dwImpLevel) + ", " + Ptr(pAuthList) +
                                   ", " + Hex(dwCapabilities) + ", " + Ptr(pReserved3));
    if (fault != nullptr)
        return static_cast<HRESULT>(fault->result);
    if (S().comInitDepth <= 0)
        return CO_E_NOTINITIALIZED;
    // Once per process.
    if (S().comSecuritySet)
        return RPC_E_TOO_LATE;
    S().comSecuritySet = true;
    return S_OK;
}

HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                REFIID riid, LPVOID* ppv)
{
    const Fault* fault =
        Enter("CoCreateInstance", GuidText(&rclsid) + ", " + Ptr(pUnkOuter) + ", " +
                                      Hex(dwClsContext) + ", " + GuidText(&riid));
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (fault != nullptr)
        return static_cast<HRESULT>(fault->result);
    if (S().comInitDepth <= 0)
        return CO_E_NOTINITIALIZED;
    if (pUnkOuter != nullptr)
        return CLASS_E_NOAGGREGATION;
    if (rclsid != CLSID_WbemLocator || (dwClsContext & CLSCTX_INPROC_SERVER) == 0)
        return REGDB_E_CLASSNOTREG;
    if (riid != IID_IWbemLocator && riid != IID_IUnknown)
        return E_NOINTERFACE;
    *ppv = NewWbemLocator();
    return S_OK;
}

HRESULT WINAPI CoSetProxyBlanket(IUnknown* pProxy, DWORD dwAuthnSvc, DWORD dwAuthzSvc,
                                 OLECHAR* pServerPrincName, DWORD dwAuthnLevel, DWORD dwImpLevel,
                                 RPC_AUTH_IDENTITY_HANDLE pAuthInfo, DWORD dwCapabilities)
{
    const Fault* fault = Enter(
        "CoSetProxyBlanket", ComKind(pProxy) + ", " + std::to_string(dwAuthnSvc) + ", " +
                                 std::to_string(dwAuthzSvc) + ", " + Ptr(pServerPrincName) + ", " +
                                 std::to_string(dwAuthnLevel) + ", " + std::to_string(dwImpLevel) +
                                 ", " + Ptr(pAuthInfo) + ", " + Hex(dwCapabilities));
    if (fault != nullptr)
        return static_cast<HRESULT>(fault->result);
    if (pProxy == nullptr)
        return E_INVALIDARG;
    if (LiveComObject(pProxy, "CoSetProxyBlanket") == nullptr)
        return E_INVALIDARG;
    return S_OK;
}

BSTR WINAPI SysAllocString(const OLECHAR* psz)
{
    const Fault* fault = Enter("SysAllocString", Narrow(psz));
    if (fault != nullptr || psz == nullptr)
        return nullptr;
    return NewBstr(psz);
}

void WINAPI SysFreeString(BSTR bstrString)
{
    const bool live = IsLiveBstr(bstrString);
    Enter("SysFreeString", live || bstrString == nullptr ? Narrow(bstrString) : "not a BSTR");
    if (bstrString == nullptr)
        return;
    DropBstr(bstrString, "SysFreeString");
}

void WINAPI VariantInit(VARIANTARG* pvarg)
{
    Enter("VariantInit", "");
    if (S().filledVariants.count(pvarg) != 0)
        Problem("VariantInit over a variant that still holds a value");
    pvarg->vt = VT_EMPTY;
    pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
}

HRESULT WINAPI VariantClear(VARIANTARG* pvarg)
{
    const Fault* fault = Enter("VariantClear", VtName(pvarg->vt));
    if (pvarg->vt == VT_BSTR && pvarg->bstrVal != nullptr)
        DropBstr(pvarg->bstrVal, "VariantClear");
    pvarg->vt = VT_EMPTY;
    S().filledVariants.erase(pvarg);
    return fault != nullptr ? static_cast<HRESULT>(fault->result) : S_OK;
}

namespace sim {

std::vector<std::string> LiveComObjects()
{
    std::vector<std::string> live;
    for (const auto& entry : S().comObjects)
        if (entry.second.refs != 0)
            live.push_back(entry.second.kind + " with " + std::to_string(entry.second.refs) +
                           (entry.second.refs == 1 ? " reference" : " references"));
    return live;
}

std::vector<std::string> LiveBstrs()
{
    std::vector<std::string> live;
    for (const auto& entry : S().blocks)
        if (entry.second.kind == "bstr")
            live.push_back(Narrow(reinterpret_cast<const WCHAR*>(
                static_cast<const BYTE*>(entry.first) + sizeof(DWORD))));
    return live;
}

std::vector<std::string> LiveVariants()
{
    std::vector<std::string> live;
    for (const auto& entry : S().filledVariants)
        live.push_back("variant holding " + VtName(entry.second));
    return live;
}

int ComInitDepth()
{
    return S().comInitDepth;
}

} // namespace sim
