// Simulated WMI client: the locator, a connection to ROOT\CIMV2, and a
// forward-only enumerator over the scenario's Win32_USBHub instances that
// the query matches. The one query form the programs may send is read as
// WMI reads it; anything else is refused as WMI refuses a query it cannot
// parse.
#include "platform/sim/com_object.h"

#include <cwctype>
#include <optional>
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

wint_t Upper(WCHAR ch)
{
    return std::towupper(static_cast<wint_t>(ch));
}

// The instance's relative path as WMI forms it from the key: the key's
// value is a quoted string in which backslash and quotation mark are
// escaped with a backslash.
std::wstring RelativePath(const UsbHub& hub)
{
    std::wstring path = L"Win32_USBHub.DeviceID=\"";
    for (const WCHAR ch : hub.deviceId) {
        if (ch == L'\\' || ch == L'"')
            path += L'\\';
        path += ch;
    }
    return path + L'"';
}

// One element of a LIKE pattern other than "%" against ch: "_" any
// character, "[a-f]" or "[abc]" one of a range or set, "[^...]" one
// outside it, anything else that character; letters compare without case.
// *next is where the following element starts.
bool MatchOne(WCHAR ch, const WCHAR* pattern, const WCHAR** next)
{
    if (*pattern != L'[') {
        *next = pattern + 1;
        return *pattern == L'_' || Upper(ch) == Upper(*pattern);
    }
    ++pattern;
    const bool negated = *pattern == L'^';
    if (negated)
        ++pattern;
    bool inSet = false;
    for (; *pattern != L']'; ++pattern) {
        const wint_t low = Upper(*pattern);
        wint_t high = low;
        if (pattern[1] == L'-' && pattern[2] != L']' && pattern[2] != L'\0') {
            high = Upper(pattern[2]);
            pattern += 2;
        }
        inSet = inSet || (Upper(ch) >= low && Upper(ch) <= high);
    }
    *next = pattern + 1;
    return inSet != negated;
}

// WMI refuses a pattern with a "[" that has no "]".
bool SetsClosed(const WCHAR* pattern)
{
    for (; *pattern != L'\0'; ++pattern) {
        if (*pattern != L'[')
            continue;
        do {
            if (*++pattern == L'\0')
                return false;
        } while (*pattern != L']');
    }
    return true;
}

// WQL's LIKE, "%" standing for any run of characters; the pattern's sets
// are closed. On a mismatch after a "%", that "%" takes one character more.
bool Like(const WCHAR* text, const WCHAR* pattern)
{
    const WCHAR* afterPercent = nullptr;
    const WCHAR* percentText = nullptr;
    while (*text != L'\0') {
        const WCHAR* next = nullptr;
        if (*pattern == L'%') {
            afterPercent = ++pattern;
            percentText = text;
        } else if (*pattern != L'\0' && MatchOne(*text, pattern, &next)) {
            pattern = next;
            ++text;
        } else if (afterPercent != nullptr) {
            pattern = afterPercent;
            text = ++percentText;
        } else {
            return false;
        }
    }
    while (*pattern == L'%')
        ++pattern;
    return *pattern == L'\0';
}

// Splits a query into names (letters, digits, "_"), quoted strings (kept
// without their quotes; a backslash takes the next character as it is) and
// single other characters. False for a string without its closing quote.
bool Tokens(const WCHAR* query, std::vector<std::wstring>* tokens, std::vector<bool>* quoted)
{
    auto isName = [](WCHAR ch) { return std::iswalnum(static_cast<wint_t>(ch)) || ch == L'_'; };
    while (*query != L'\0') {
        if (std::iswspace(static_cast<wint_t>(*query))) {
            ++query;
            continue;
        }
        std::wstring token;
        const bool isString = *query == L'"' || *query == L'\'';
        if (isString) {
            const WCHAR quote = *query++;
            for (; *query != quote; ++query) {
                if (*query == L'\\' && query[1] != L'\0')
                    ++query;
                if (*query == L'\0')
                    return false;
                token += *query;
            }
            ++query;
        } else if (isName(*query)) {
            while (isName(*query))
                token += *query++;
        } else {
            token += *query++;
        }
        tokens->push_back(token);
        quoted->push_back(isString);
    }
    return true;
}

// The LIKE pattern of "SELECT __RELPATH FROM Win32_USBHub WHERE __RELPATH
// LIKE <string>", the only form read here; nothing for any other query.
std::optional<std::wstring> HubQueryPattern(const WCHAR* query)
{
    static const WCHAR* const kWords[] = {L"SELECT", L"__RELPATH", L"FROM", L"Win32_USBHub",
                                          L"WHERE",  L"__RELPATH", L"LIKE"};
    constexpr size_t kWordCount = sizeof(kWords) / sizeof(kWords[0]);
    std::vector<std::wstring> tokens;
    std::vector<bool> quoted;
    if (!Tokens(query, &tokens, &quoted) || tokens.size() != kWordCount + 1 || !quoted[kWordCount])
        return std::nullopt;
    for (size_t i = 0; i < kWordCount; ++i)
        if (quoted[i] || !SameName(tokens[i].c_str(), kWords[i]))
            return std::nullopt;
    if (!SetsClosed(tokens[kWordCount].c_str()))
        return std::nullopt;
    return tokens[kWordCount];
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
        const std::optional<std::wstring> pattern = HubQueryPattern(strQuery);
        if (!pattern)
            return WBEM_E_INVALID_QUERY;
        std::vector<UsbHub> matching;
        for (const UsbHub& hub : S().scenario.usbHubs)
            if (Like(RelativePath(hub).c_str(), pattern->c_str()))
                matching.push_back(hub);
        *ppEnum = NewComObject<SimEnumerator>(matching);
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
