// Simulated WMI client: the locator, a connection to ROOT\CIMV2, and a
// forward-only enumerator over the scenario's Win32_USBHub instances,
// which stand for whatever the query matches.
#include "platform/sim/com_object.h"

#include <cwctype>
#include <utility>

using namespace sim;
using namespace sim::detail;

const CLSID CLSID_WbemLocator = {
    0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
const IID IID_IWbemLocator = {
    0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
const IID IID_IWbemServices = {
    0x9556DC99, 0x828C, 0x11CF, {0xA3, 0x7E, 0x00, 0xAA, 0x00, 0x32, 0x40, 0xC7}};
const IID IID_IEnumWbemClassObject = {
    0x027947E1, 0xD731, 0x11CE, {0xA3, 0x57, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};
const IID IID_IWbemClassObject = {
    0xDC12A681, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};

namespace {

// WMI names compare without regard to case.
bool SameName(const WCHAR* text, const WCHAR* name)
{
    if (text == nullptr)
        return false;
    for (; *text != L'\0' && *name != L'\0'; ++text, ++name)
        if (std::towupper(static_cast<wint_t>(*text)) != std::towupper(static_cast<wint_t>(*name)))
            return false;
    return *text == *name;
}

class SimClassObject final : public ComObject<IWbemClassObject> {
public:
    explicit SimClassObject(UsbHub hub)
        : ComObject("IWbemClassObject", IID_IWbemClassObject), m_hub(std::move(hub))
    {
    }

    HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType,
                                  LONG* plFlavor) override
    {
        const std::string call = Call("Get");
        const Fault* fault =
            Enter(call.c_str(), Narrow(wszName) + ", " + Hex(static_cast<ULONG>(lFlags)) + ", " +
                                    Ptr(pVal) + ", " + Ptr(pType) + ", " + Ptr(plFlavor));
        if (fault != nullptr)
            return static_cast<HRESULT>(fault->result);
        if (!Alive(call.c_str()))
            return WBEM_E_FAILED;
        if (wszName == nullptr)
            return WBEM_E_INVALID_PARAMETER;
        if (!SameName(wszName, L"DeviceID") || !m_hub.hasDeviceId)
            return WBEM_E_NOT_FOUND;
        if (pVal != nullptr) {
            // Get overwrites; what the variant held would be lost.
            if (pVal->vt != VT_EMPTY && pVal->vt != VT_NULL)
                Problem(call + " into a variant that holds a value or was never initialised");
            VARTYPE type = m_hub.type;
            std::wstring deviceId = m_hub.deviceId;
            if (OddHere(call.c_str(), sim::Odd::ValueNotString))
                type = VT_I4;
            if (OddHere(call.c_str(), sim::Odd::ValueEmptyString))
                deviceId.clear();
            pVal->vt = type;
            if (OddHere(call.c_str(), sim::Odd::ValueNullString)) {
                pVal->vt = VT_BSTR;
                pVal->bstrVal = nullptr;
            } else if (type == VT_BSTR) {
                pVal->bstrVal = NewBstr(deviceId);
                if (pVal->bstrVal == nullptr) {
                    pVal->vt = VT_EMPTY;
                    return WBEM_E_OUT_OF_MEMORY;
                }
            } else {
                pVal->lVal = 0x483;
            }
            if (pVal->vt != VT_EMPTY && pVal->vt != VT_NULL)
                S().filledVariants[pVal] = pVal->vt;
        }
        if (pType != nullptr)
            *pType = 8; // CIM_STRING
        if (plFlavor != nullptr)
            *plFlavor = 0;
        return WBEM_S_NO_ERROR;
    }

private:
    UsbHub m_hub;
};

class SimEnumerator final : public ComObject<IEnumWbemClassObject> {
public:
    explicit SimEnumerator(std::vector<UsbHub> hubs)
        : ComObject("IEnumWbemClassObject", IID_IEnumWbemClassObject), m_hubs(std::move(hubs))
    {
    }

    HRESULT STDMETHODCALLTYPE Next(LONG lTimeout, ULONG uCount, IWbemClassObject** apObjects,
                                   ULONG* puReturned) override
    {
        const std::string call = Call("Next");
        const Fault* fault =
            Enter(call.c_str(), Hex(static_cast<ULONG>(lTimeout)) + ", " + std::to_string(uCount));
        if (puReturned == nullptr || apObjects == nullptr)
            return WBEM_E_INVALID_PARAMETER;
        *puReturned = 0;
        if (fault != nullptr)
            return static_cast<HRESULT>(fault->result);
        if (!Alive(call.c_str()))
            return WBEM_E_FAILED;
        if (OddHere(call.c_str(), sim::Odd::NextNoObject)) {
            for (ULONG i = 0; i < uCount; ++i)
                apObjects[i] = nullptr;
            *puReturned = uCount;
            return WBEM_S_NO_ERROR;
        }
        if (OddHere(call.c_str(), sim::Odd::NextCountZero))
            return WBEM_S_NO_ERROR;
        ULONG count = 0;
        for (; count < uCount && m_next < m_hubs.size(); ++count)
            apObjects[count] = NewComObject<SimClassObject>(m_hubs[m_next++]);
        *puReturned = count;
        return count == uCount ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
    }

private:
    std::vector<UsbHub> m_hubs;
    size_t m_next = 0;
};

class SimServices final : public ComObject<IWbemServices> {
public:
    SimServices() : ComObject("IWbemServices", IID_IWbemServices) {}

    HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery,
                                        LONG lFlags, IWbemContext* pCtx,
                                        IEnumWbemClassObject** ppEnum) override
    {
        const std::string call = Call("ExecQuery");
        const Fault* fault =
            Enter(call.c_str(), BstrArg(strQueryLanguage, call) + ", " + BstrArg(strQuery, call) +
                                    ", " + Hex(static_cast<ULONG>(lFlags)) + ", " + Ptr(pCtx));
        if (ppEnum == nullptr)
            return WBEM_E_INVALID_PARAMETER;
        *ppEnum = nullptr;
        if (fault != nullptr)
            return static_cast<HRESULT>(fault->result);
        if (!Alive(call.c_str()))
            return WBEM_E_FAILED;
        if (!SameName(strQueryLanguage, L"WQL"))
            return WBEM_E_INVALID_QUERY_TYPE;
        if (strQuery == nullptr)
            return WBEM_E_INVALID_PARAMETER;
        *ppEnum = NewComObject<SimEnumerator>(S().scenario.usbHubs);
        return WBEM_S_NO_ERROR;
    }
};

class SimLocator final : public ComObject<IWbemLocator> {
public:
    SimLocator() : ComObject("IWbemLocator", IID_IWbemLocator) {}

    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR strNetworkResource, const BSTR strUser,
                                            const BSTR strPassword, const BSTR strLocale,
                                            LONG lSecurityFlags, const BSTR strAuthority,
                                            IWbemContext* pCtx,
                                            IWbemServices** ppNamespace) override
    {
        const std::string call = Call("ConnectServer");
        const Fault* fault = Enter(
            call.c_str(), BstrArg(strNetworkResource, call) + ", " + BstrArg(strUser, call) + ", " +
                              BstrArg(strPassword, call) + ", " + BstrArg(strLocale, call) + ", " +
                              Hex(static_cast<ULONG>(lSecurityFlags)) + ", " +
                              BstrArg(strAuthority, call) + ", " + Ptr(pCtx));
        if (ppNamespace == nullptr)
            return WBEM_E_INVALID_PARAMETER;
        *ppNamespace = nullptr;
        if (fault != nullptr)
            return static_cast<HRESULT>(fault->result);
        if (!Alive(call.c_str()))
            return WBEM_E_FAILED;
        if (!SameName(strNetworkResource, L"ROOT\\CIMV2"))
            return WBEM_E_INVALID_NAMESPACE;
        *ppNamespace = NewComObject<SimServices>();
        return WBEM_S_NO_ERROR;
    }
};

} // namespace

namespace sim::detail {

IWbemLocator* NewWbemLocator()
{
    return NewComObject<SimLocator>();
}

} // namespace sim::detail
