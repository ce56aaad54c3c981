// Control surface of the simulated platform, for tests.
//
// A test installs a Scenario (which adapters are present and how they
// behave), may make any call fail, runs program code, and then reads back
// the calls made, in order, what was printed, and what was left open.
// Without a Reset the platform presents one present, working adapter.
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// One adapter interface as WinUSB serves it.
struct UsbInterface {
    std::wstring path;
    std::vector<BYTE> descriptor;          // handed out by WinUsb_GetDescriptor, cut to the buffer
    bool hasDescriptor = true;             // false: the descriptor request fails
    ULONG writeReports = 16;               // bytes WinUsb_WritePipe moves, at most those given
    std::vector<std::vector<BYTE>> writes; // what reached each pipe, filled by the run
    std::vector<UCHAR> writePipes;
};

// One adapter interface as the adapter's own driver serves it: listed by
// SetupAPI under BrelvikInterfaceGuid, opened as a file, answering the
// driver's query request, with its pipe file <path>\PIPE03 below it.
struct DriverInterface {
    std::wstring path;
    // Member index at which SetupDiEnumDeviceInterfaces reports it; -1: its
    // place among the scenario's driver interfaces.
    int enumIndex = -1;
    // What the detail size query reports instead of the record's true size.
    std::optional<DWORD> detailSizeReport;
    // false: the detail record holds the path with no terminator inside it.
    bool pathTerminated = true;
    bool opens = true;        // false: CreateFileW on the path is denied
    bool answersQuery = true; // false: the query request fails
    std::vector<BYTE> reply;  // the driver's answer, cut to the output room
    bool pipeOpens = true;    // false: the pipe file is not found
    bool pipeWriteSucceeds = true;
    DWORD pipeWriteReports = 16; // bytes a successful pipe write moves, at most those given
    // Filled by the run: what each write to the pipe file delivered, and
    // anything written to the interface itself.
    std::vector<std::vector<BYTE>> pipeWrites;
    std::vector<std::vector<BYTE>> interfaceWrites;
};

// One Win32_USBHub instance as WMI hands it out.
struct UsbHub {
    std::wstring deviceId;
    VARTYPE type = VT_BSTR;  // VT_NULL or VT_I4: DeviceID reads as something other than text
    bool hasDeviceId = true; // false: Get("DeviceID") fails with WBEM_E_NOT_FOUND
};

struct Scenario {
    std::vector<UsbInterface> usbInterfaces;
    // How many times the interface list grows between the size query and
    // the fetch. Each growth adds an interface at the end of the list.
    int listGrowths = 0;
    // When set, the exact list the configuration manager hands out for the
    // adapter's class instead of one built from usbInterfaces: any wide
    // characters, terminated or not. The size query reports
    // rawInterfaceListLength, or else the list's own length; the fetch
    // copies the list cut to the buffer length and succeeds, except that
    // each of listGrowths makes it report CR_BUFFER_SMALL once.
    std::optional<std::wstring> rawInterfaceList;
    std::optional<ULONG> rawInterfaceListLength;

    // The legacy driver's side: interfaces in SetupAPI order, each with its
    // open, query request and pipe file.
    std::vector<DriverInterface> driverInterfaces;

    // WMI: the instances the Win32_USBHub query returns, in this order.
    std::vector<UsbHub> usbHubs;
};

// The adapter the platform presents when no scenario is set.
UsbInterface DefaultUsbInterface();
DriverInterface DefaultDriverInterface();
std::vector<BYTE> DeviceDescriptor(USHORT vendorId, USHORT productId, USHORT bcdUsb);
// The adapter's hub as WMI lists it: USB\VID_xxxx&PID_xxxx\<instance>.
UsbHub AdapterHub(const wchar_t* instance);
Scenario DefaultScenario();

// Installs a scenario and forgets every earlier call, fault, handle, block
// and output.
void Reset(const Scenario& scenario = Scenario());
Scenario& Current();

// What a failing call does instead of succeeding. `result` is what calls
// that return a code give back (CONFIGRET, HRESULT); calls that return
// BOOL, a handle or a pointer return their failure value. `lastError` is
// set in every case but HeapAlloc's, which Windows documents as failing
// without setting it. A call that releases something (CloseHandle,
// HeapFree, LocalFree, WinUsb_Free, SetupDiDestroyDeviceInfoList,
// VariantClear) releases it all the same and only reports the failure, as
// Windows does; calls without a result (Release, SysFreeString,
// VariantInit, CoUninitialize) cannot fail.
struct Fault {
    long result = 0;
    DWORD lastError = 0;
};

// Makes the occurrence-th call (1-based) of `call` fail; occurrence 0
// makes every call of it fail.
void FailCall(const std::string& call, int occurrence, const Fault& fault);

// Makes a DLL lack one of its functions, as an older Windows does:
// GetProcAddress of it fails with ERROR_PROC_NOT_FOUND.
void WithoutExport(const std::string& dll, const std::string& function);

// Makes System32 lack a DLL, as a cut-down Windows image may: loading it
// fails with ERROR_MOD_NOT_FOUND.
void WithoutDll(const std::string& dll);

// Runs `report` when the program ends the process (TerminateProcess,
// ExitProcess), just before it ends: a death test's child can say there
// what it called.
void AtProcessEnd(void (*report)());

// The oddest data a call may hand back while it succeeds. Each kind is
// honoured by the calls named with it and ignored by the others.
enum class Odd {
    // Size queries: CM_Get_Device_Interface_List_SizeW (characters) and
    // SetupDiGetDeviceInterfaceDetailW (the size it reports).
    SizeZero,
    SizeHuge, // 0xFFFFFFFF
    // CM_Get_Device_Interface_ListW: only the closing terminator, or the
    // whole buffer filled with path characters and no terminator at all.
    ListEmpty,
    ListUnterminated,
    // SetupDiGetDeviceInterfaceDetailW filling the record: a path of no
    // characters, or one that runs to the end of the record unterminated.
    PathEmpty,
    PathUnterminated,
    // Byte counts of WinUsb_GetDescriptor, WinUsb_WritePipe, WriteFile and
    // DeviceIoControl: 0, or one more than the buffer holds (the data
    // itself is what the call would have moved).
    CountZero,
    CountBeyondBuffer,
    // IEnumWbemClassObject::Next: S_OK with a count of 1 and no object,
    // or S_OK with a count of 0.
    NextNoObject,
    NextCountZero,
    // IWbemClassObject::Get of DeviceID: a VT_I4, an empty BSTR, or a
    // VT_BSTR holding a null pointer (which COM reads as empty).
    ValueNotString,
    ValueEmptyString,
    ValueNullString,
};
const char* OddName(Odd kind);

// Makes the occurrence-th call (1-based) of `call` succeed with odd data;
// occurrence 0 makes every call of it do so.
void OddData(const std::string& call, int occurrence, Odd kind);
// How many times a call has handed out planned odd data since the Reset.
int OddDataHandedOut();

struct CallRecord {
    std::string name;
    std::string args;
    std::string Text() const { return args.empty() ? name : name + "(" + args + ")"; }
};
const std::vector<CallRecord>& Calls();
// The calls as "Name(args)" texts, or only their names.
std::vector<std::string> CallTexts();
std::vector<std::string> CallNames();
size_t CallCount(const std::string& call);

// Output the program printed, as the bytes a console would show.
const std::string& Stdout();
const std::string& Stderr();
// Whether standard output is also written to the real stream (it is unless
// a test turns it off; standard error always is, for death tests).
void EchoStdout(bool echo);

// What is still open or allocated, described one entry a line.
std::vector<std::string> OpenHandles();
// Pipe file handles are left open by design until the process ends; these
// tell them apart from the rest.
std::vector<std::string> OpenPipeHandles();
std::vector<std::string> OpenHandlesOtherThanPipes();
std::vector<std::string> LiveBlocks();
// COM objects with references left ("IWbemLocator with 1 reference"),
// BSTRs not freed (their text) and variants that still hold a value.
std::vector<std::string> LiveComObjects();
std::vector<std::string> LiveBstrs();
std::vector<std::string> LiveVariants();
// CoInitializeEx calls that succeeded, less CoUninitialize calls.
int ComInitDepth();

// Misuse seen by the platform: a handle closed twice, a block freed that
// was never allocated, a call on a handle that is not open.
const std::vector<std::string>& Problems();

// ASCII rendering of a wide text, for call records and messages.
std::string Narrow(const WCHAR* text);
std::string Narrow(const std::wstring& text);
std::string Hex(unsigned long long value);
std::string HexBytes(const void* data, size_t size);

} // namespace sim
