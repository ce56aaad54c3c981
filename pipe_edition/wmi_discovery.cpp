#include "pipe_edition/wmi_discovery.h"

#include "pipe_edition/device_id.h"
#include "pipe_edition/target_list.h"
#include "platform/console.h"

#include <cstddef>

namespace {

// ConnectServer takes the namespace as a BSTR, which carries its byte
// count in the 32 bits before the characters. A constant laid out that way
// is a valid BSTR that needs no allocation.
struct NamespaceBstr {
    DWORD byteLength;
    WCHAR text[11];
};
static_assert(offsetof(NamespaceBstr, text) == sizeof(DWORD), "count right before the text");
NamespaceBstr g_cimv2Namespace = {sizeof(NamespaceBstr::text) - sizeof(WCHAR), L"ROOT\\CIMV2"};

const WCHAR kQueryLanguage[] = L"WQL";

void ReportSetupFailure(const char* text, HRESULT hr)
{
    ConsoleOut("%s%x\n", text, static_cast<unsigned int>(hr));
}

// Holds the DeviceID read from each result; clears it whatever way the
// loop is left.
struct ValueHolder {
    VARIANT value;
    ValueHolder() { VariantInit(&value); }
    ~ValueHolder() { VariantClear(&value); }
    ValueHolder(const ValueHolder&) = delete;
    ValueHolder& operator=(const ValueHolder&) = delete;
};

HRESULT PushResultTargets(IEnumWbemClassObject* results)
{
    HRESULT hr = S_OK;
    ValueHolder holder;
    for (;;) {
        IWbemClassObject* result = nullptr;
        ULONG returned = 0;
        hr = results->Next(WBEM_INFINITE, 1, &result, &returned);
        if (returned == 0 || result == nullptr)
            break;

        // A result without a readable DeviceID text of three components
        // names no target; it is passed over.
        DWORD targetId = 0;
        const bool named =
            SUCCEEDED(result->Get(L"DeviceID", 0, &holder.value, nullptr, nullptr)) &&
            holder.value.vt == VT_BSTR && TargetIdFromDeviceId(holder.value.bstrVal, &targetId);
        const bool stored = !named || PushTarget(targetId);

        VariantClear(&holder.value);
        result->Release();
        if (!stored) {
            hr = E_OUTOFMEMORY;
            break;
        }
    }
    return hr;
}

HRESULT QueryHubs(IWbemServices* services)
{
    BSTR language = SysAllocString(kQueryLanguage);
    BSTR query = SysAllocString(kHubQuery.text);
    IEnumWbemClassObject* results = nullptr;
    HRESULT hr = E_OUTOFMEMORY;
    // Forward-only and without WBEM_FLAG_RETURN_IMMEDIATELY: the call
    // returns once WMI has the whole answer.
    if (language != nullptr && query != nullptr)
        hr = services->ExecQuery(language, query, WBEM_FLAG_FORWARD_ONLY, nullptr, &results);
    SysFreeString(language);
    SysFreeString(query);
    if (FAILED(hr))
        return hr;

    hr = PushResultTargets(results);
    results->Release();
    return hr;
}

HRESULT ConnectAndQuery(IWbemLocator* locator)
{
    IWbemServices* services = nullptr;
    HRESULT hr = locator->ConnectServer(g_cimv2Namespace.text, nullptr, nullptr, nullptr, 0,
                                        nullptr, nullptr, &services);
    if (FAILED(hr)) {
        ReportSetupFailure("Could not connect. Error code = 0x", hr);
        return hr;
    }

    hr = CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                           RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    if (FAILED(hr))
        ReportSetupFailure("Could not set proxy blanket. Error code = 0x", hr);
    else
        hr = QueryHubs(services);

    services->Release();
    return hr;
}

HRESULT LocateAndQuery()
{
    IWbemLocator* locator = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IWbemLocator, reinterpret_cast<LPVOID*>(&locator));
    if (FAILED(hr)) {
        ReportSetupFailure("Failed to create IWbemLocator object. Error code = 0x", hr);
        return hr;
    }

    hr = ConnectAndQuery(locator);
    locator->Release();
    return hr;
}

} // namespace

HRESULT DiscoverHubTargets()
{
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        ReportSetupFailure("Failed to initialize COM library. Error code = 0x", hr);
        return hr;
    }

    hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                              RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    if (FAILED(hr))
        ReportSetupFailure("Failed to initialize security. Error code = 0x", hr);
    else
        hr = LocateAndQuery();

    CoUninitialize();
    return hr;
}
