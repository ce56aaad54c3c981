// The WMI client interfaces of the simulated platform. Each interface
// declares the methods the programs call, with the SDK's parameter lists.
#pragma once

#include "platform/sim/include/com.h"

#define WBEM_S_NO_ERROR (static_cast<HRESULT>(0))
#define WBEM_S_FALSE (static_cast<HRESULT>(1))
#define WBEM_E_FAILED (static_cast<HRESULT>(0x80041001))
#define WBEM_E_NOT_FOUND (static_cast<HRESULT>(0x80041002))
#define WBEM_E_OUT_OF_MEMORY (static_cast<HRESULT>(0x80041006))
#define WBEM_E_INVALID_PARAMETER (static_cast<HRESULT>(0x80041008))
#define WBEM_E_INVALID_NAMESPACE (static_cast<HRESULT>(0x8004100E))
#define WBEM_E_INVALID_QUERY_TYPE (static_cast<HRESULT>(0x80041018))
#define WBEM_E_INVALID_QUERY (static_cast<HRESULT>(0x80041017))

enum WBEM_GENERIC_FLAG_TYPE {
    WBEM_FLAG_RETURN_IMMEDIATELY = 0x10,
    WBEM_FLAG_FORWARD_ONLY = 0x20,
};

enum WBEM_TIMEOUT_TYPE {
    WBEM_NO_WAIT = 0,
    WBEM_INFINITE = 0xFFFFFFFF,
};

typedef LONG CIMTYPE;

struct IWbemContext;
struct IWbemServices;

struct IWbemClassObject : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal,
                                          CIMTYPE* pType, LONG* plFlavor) = 0;
};

struct IEnumWbemClassObject : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(LONG lTimeout, ULONG uCount,
                                           IWbemClassObject** apObjects, ULONG* puReturned) = 0;
};

// The SDK declares these parameters const BSTR; the stand-in keeps its signatures.
// NOLINTBEGIN(readability-avoid-const-params-in-decls)
struct IWbemServices : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery,
                                                LONG lFlags, IWbemContext* pCtx,
                                                IEnumWbemClassObject** ppEnum) = 0;
};

struct IWbemLocator : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR strNetworkResource,
                                                    const BSTR strUser, const BSTR strPassword,
                                                    const BSTR strLocale, LONG lSecurityFlags,
                                                    const BSTR strAuthority, IWbemContext* pCtx,
                                                    IWbemServices** ppNamespace) = 0;
};
// NOLINTEND(readability-avoid-const-params-in-decls)

extern const CLSID CLSID_WbemLocator;
extern const IID IID_IWbemLocator;
extern const IID IID_IWbemServices;
extern const IID IID_IEnumWbemClassObject;
extern const IID IID_IWbemClassObject;
