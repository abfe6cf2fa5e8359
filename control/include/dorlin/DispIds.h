// The automation contract of the link control: dispatch identifiers, the enumerations of its
// type library, error codes and the fixed registration identifiers. Hosts call the control
// late-bound with these numbers, so they never change.
#pragma once

namespace dorlin {

// Properties
enum DispId : int {
    DISPID_BaudRate = 1,
    DISPID_Handshaking = 2,
    DISPID_RTSEnable = 3,
    DISPID_Settings = 4,
    DISPID_DTREnable = 5,
    DISPID_TxQueue = 6,
    DISPID_RxQueue = 7,
    DISPID_EventMask = 8,
    DISPID_Break = 9,
    DISPID_CommPort = 10,
    DISPID_RnetTimeout = 11,
    DISPID_iPort = 12,
    DISPID_iAddress = 13,
    DISPID_ExtPort = 14,
    DISPID_RxCount = 15,
    DISPID_TxSpace = 16,
    DISPID_Text = 17,
    DISPID_Char = 18,
    DISPID_CTSHolding = 19,
    DISPID_DSRHolding = 20,
    DISPID_CommID = 21,
    DISPID_CommEvent = 22,
    DISPID_CommError = 23,
    DISPID_RLSDHolding = 24,
    DISPID_Busy = 25,
    DISPID_LastPassword = 26,
    DISPID_RINGHolding = 27,
    DISPID_ExtPortOpen = 28,
    DISPID_PortOpen = 29,
    DISPID_ReadyState = -525, // stock
    DISPID_Enabled = -514,    // stock

    // Methods
    DISPID_Cancel = 30,
    DISPID_PostFile = 31,
    DISPID_RecvFile = 32,
    DISPID_ClareTxBuffer = 33,
    DISPID_ClearRxBuffer = 34,
    DISPID_SendRnetCmd = 35,
    DISPID_Polling = 36,
    DISPID_SetID = 37,
    DISPID_Login = 38,
    DISPID_Logout = 39,
    DISPID_SetPassword = 40,
    DISPID_GetTime = 41,
    DISPID_GetVersion = 42,
    DISPID_Reset = 43,
    DISPID_GetRecord = 44,
    DISPID_EraseRecord = 45,
    DISPID_WriteRecord = 46,
    DISPID_GetRegister = 47,
    DISPID_SetRegister = 48,
    DISPID_Dial = 49,
    DISPID_SetTime = 50,
    DISPID_GetFileInfo = 51,
    DISPID_SendFileReq = 52,
    DISPID_RecvFileReq = 53,
    DISPID_DelFile = 54,
    DISPID_MkDir = 55,
    DISPID_DelDir = 56,
    DISPID_GetFileCount = 57,
    DISPID_LoginX = 58,
    DISPID_EnumCommPort = 59,
    DISPID_GetRecordCount = 60,
    DISPID_AboutBox = -552,
};

// Events (their own numbering, on the event interface)
enum EventDispId : int {
    DISPID_OnComm = 1,
    DISPID_OnTransfer = 2,
    DISPID_RnetMonitor = 3,
    DISPID_ReadyStateChange = -609, // stock
};

// COMPORT
enum COMPORT : short { Velbox = 0, COM1 = 1, COM2 = 2, COM3 = 3, COM4 = 4 };

// FLOWCTRL (bits may be combined)
enum FLOWCTRL : short {
    FC_None = 0,
    FC_XonXoff = 1,
    FC_RtsCts = 2,
    FC_Both = 3,
    FC_DtrDsr = 4,
    FC_RS485 = 8,
};

// MSKEVENT: line events
enum MSKEVENT : int {
    EVENT_RXCHAR = 1,
    EVENT_RXFLAG = 2,
    EVENT_TXEMPTY = 4,
    EVENT_CTS = 8,
    EVENT_DSR = 16,
    EVENT_RLSD = 32,
    EVENT_BREAK = 64,
    EVENT_ERR = 128,
    EVENT_RING = 256,
};

// COMERROR: communication-error bits
enum COMERROR : int {
    ERROR_RXOVER = 1,
    ERROR_OVERRUN = 2,
    ERROR_RXPARITY = 4,
    ERROR_FRAME = 8,
    ERROR_BREAK = 16,
    ERROR_TXFULL = 256,
    ERROR_PTO = 512,
    ERROR_IOE = 1024,
    ERROR_DNS = 2048,
    ERROR_OOP = 4096,
    ERROR_MODE = 32768,
};

// XMODEM_MSG: the codes OnTransfer reports
enum XMODEM_MSG : short {
    XMSG_TIMEOUT = 1,
    XMSG_CRCERR = 2,
    XMSG_RXFILE = 3,
    XMSG_TXFILE = 4,
    XMSG_RXPACK = 5,
    XMSG_TXPACK = 6,
    XMSG_CANCEL = 7,
    XMSG_EOT = 8,
};

// RNET_MONITOR: the Index of RnetMonitor
enum RNET_MONITOR : short { RNET_MSG_DRV = 0, RNET_MSG_APP = 1, RNET_MSG_DEV = 2 };

// FILE_PROTOCOL
enum FILE_PROTOCOL : short { RNET_FILE_XMODEM = 0, RNET_FILE_YMODEM = 1 };

// Errors the dispatch entry reports.
constexpr int CTL_E_INVALIDPROPERTYVALUE = 380; // a line setting the open port refused
constexpr int CTL_E_SETNOTSUPPORTED = 383;      // put on a read-only property
constexpr int CTL_E_GETNOTSUPPORTED = 394;      // get on a write-only member
constexpr int DISP_E_MEMBERNOTFOUND = int(0x80020003);
constexpr int DISP_E_TYPEMISMATCH = int(0x80020005);
constexpr int DISP_E_BADPARAMCOUNT = int(0x8002000E);

// Registration identifiers (fixed once chosen; the console is built against them).
constexpr const char* LIBID_DORLINLib = "{6C0B2E51-3A8D-4F17-9E42-1D5B7A90C3E1}";
constexpr const char* DORLINLib_Name = "DORLINLib8";
constexpr const char* DORLINLib_HelpFile = "Dorlin.hlp";
constexpr int DORLINLib_VersionMajor = 1;
constexpr int DORLINLib_VersionMinor = 0;
constexpr const char* CLSID_Dorlin = "{6C0B2E52-3A8D-4F17-9E42-1D5B7A90C3E1}";
constexpr const char* ProgID_Dorlin = "DORLIN.DorlinCtrl.9";
constexpr const char* TypeName_Dorlin = "Dorlin Control (MSR)";
constexpr const char* DIID__DDorlin = "{6C0B2E53-3A8D-4F17-9E42-1D5B7A90C3E1}";
constexpr const char* DIID__DDorlin_Doc = "Dispatch interface for Dorlin Control";
constexpr const char* DIID__DDorlinEvents = "{6C0B2E54-3A8D-4F17-9E42-1D5B7A90C3E1}";
constexpr const char* DIID__DDorlinEvents_Doc = "Event interface for Dorlin Control";
constexpr const char* CLSID_DorlinPropPage = "{6C0B2E55-3A8D-4F17-9E42-1D5B7A90C3E1}";
constexpr const char* ProgID_DorlinPropPage = "DORLIN.DorlinPropPage.9";
constexpr const char* TypeName_DorlinPropPage = "Dorlin Property Page (MSR)";
constexpr unsigned MiscStatus_Dorlin = 0x20191;

} // namespace dorlin
