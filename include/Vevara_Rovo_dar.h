/*
 * Velkor Control API: find, claim and service DROVA devices attached over USB.
 *
 * Every command export returns at once: 0 when the command was accepted and its
 * request sent, 1 when it was refused. The outcome, and the reason for every
 * refusal, arrives later as an event pair (a, b) delivered on a thread of the
 * library: to the callback given to _Initialize and, on Windows, as the window
 * message given there (wParam = a, lParam = b). One command is in flight at a
 * time.
 *
 * This header compiles as C and as C++. All exports use C linkage and cdecl.
 */
#ifndef VEVARA_ROVO_DAR_H
#define VEVARA_ROVO_DAR_H

#include <stdint.h>

#if defined(_WIN32)
#  define VELKOR_CALL __cdecl
#  if defined(VELKOR_BUILDING_LIBRARY)
#    define VELKOR_API __declspec(dllexport)
#  else
/* Imported: an entry point's address is then the DLL's own, not a thunk. */
#    define VELKOR_API __declspec(dllimport)
#  endif
typedef struct HWND__ *VelkorWindow;  /* a HWND */
typedef struct HINSTANCE__ *VelkorModule; /* an HMODULE */
#else
#  define VELKOR_CALL
#  if defined(VELKOR_BUILDING_LIBRARY)
#    define VELKOR_API __attribute__((visibility("default")))
#  else
#    define VELKOR_API
#  endif
typedef void *VelkorWindow;  /* no window system: never posted to */
typedef void *VelkorModule;  /* the handle returned by dlopen */
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t u8;
typedef uint32_t u32;
typedef uint64_t u64;
typedef uint8_t bool8; /* one byte, 0 or 1 */

/* Host callback: receives each event pair on the library's notification thread.
 * It runs with no library lock held and may call any export, _Close included.
 * It must never wait for a thread that may be calling _Close (for a lock that
 * thread holds, or for a window message sent to it with SendMessage): _Close
 * waits for a running callback to return, and the two would wait for each
 * other. To reach a window's thread, use the window message the library
 * posts, or PostMessage. */
typedef void (VELKOR_CALL *VelkorCallback)(int a, int b);

/* ---- Event pairs ------------------------------------------------------- */

/* a: the operation that finished (b = 0 success, 1 failure), or
 * VELKOR_EV_ERROR with b = one of the VELKOR_ERR_* codes below. */
enum {
    VELKOR_EV_ADDRESS = 0,
    VELKOR_EV_AUTOSTART = 1,
    VELKOR_EV_CHECKSUM = 2,
    VELKOR_EV_DOWNLOAD = 3,
    VELKOR_EV_ERASE = 4,
    VELKOR_EV_PRGDATA = 5,
    VELKOR_EV_PROGRAM = 6,
    VELKOR_EV_WRSN = 7,
    VELKOR_EV_APPINFO = 8,
    VELKOR_EV_CONNECT = 9,         /* b = 0 connected, 1 not connected */
    VELKOR_EV_DISCONNECT = 10,     /* b = 0 no longer connected, 1 still connected */
    VELKOR_EV_FLASHINFO = 11,
    VELKOR_EV_SEARCH = 12,         /* b = 0 devices found, 1 none */
    VELKOR_EV_READINFO = 13,
    VELKOR_EV_STARTAPP = 14,
    VELKOR_EV_ERROR = 15
};

/* Error codes: _GetErrorString(code) gives the text. */
enum {
    VELKOR_ERR_NOT_INITIALISED = 0,
    VELKOR_ERR_CANT_DISCONNECT = 1,
    VELKOR_ERR_OTHER_HOST = 2,
    VELKOR_ERR_SERIAL_FORMAT = 3,
    VELKOR_ERR_DISCONNECT_FIRST = 4,
    VELKOR_ERR_NOT_CONNECTED = 5,
    VELKOR_ERR_INVALID_ANSWER = 6,     /* never delivered as an event */
    VELKOR_ERR_NOT_RESPONDING = 7,
    VELKOR_ERR_BLOCK_SIZE = 8,
    VELKOR_ERR_LINK_LOST = 9,
    VELKOR_ERR_BUSY = 10,
    VELKOR_ERR_TIMER_DELAY = 11,       /* text only */
    VELKOR_ERR_NO_SUCH_DEVICE = 12,
    VELKOR_ERR_OTHER_SUBNET = 13,
    VELKOR_ERR_FOS_VERSION = 14,
    VELKOR_ERR_SOCKET = 15,            /* text only */
    VELKOR_ERR_ETHERNET_FIELD = 16,    /* text only */
    VELKOR_ERR_APPLICATION = 17        /* the device's reason for refusing a start */
};

/* ---- Device information block ------------------------------------------ */

#if defined(_MSC_VER)
#  pragma pack(push, 1)
#  define VELKOR_PACKED
#else
#  define VELKOR_PACKED __attribute__((packed))
#endif

/* 348 bytes. Versions are packed A.B.C.D words (A in the top byte);
 * 0xFFFEFDFC is the wildcard "Don't care". */
typedef struct VELKOR_PACKED TDROVAInfo {
    u32 fosIfcVersion;
    char deviceName[64];
    u32 status;          /* 2 = FOS interface version not compatible */
    u32 serialNumber;    /* low 24 bits */
    u32 hwVersion;
    u32 autostartAppId;  /* 0xFFFFFFFF = none */
    u32 reserved;
    char devicePath[260];
} TDROVAInfo;

#if defined(_MSC_VER)
#  pragma pack(pop)
#endif
#undef VELKOR_PACKED

/* ---- Session ------------------------------------------------------------- */

/* Starts the session: 0 on success, 1 on failure (the reason is shown in a
 * message box on Windows, on standard error elsewhere). A second call without
 * _Close in between is refused with 1 and changes nothing. */
VELKOR_API int VELKOR_CALL _Initialize(VelkorCallback callback, VelkorWindow window, unsigned message);
/* Ends the session; always 0. Called from any thread but the notification
 * thread, it waits for a callback that is running to return, so that once it
 * returns no callback runs or starts (see VelkorCallback for what a callback
 * must therefore never wait for). Called from a TStrings callback, which runs
 * while the library holds its exchange, it cannot wait: a callback that calls
 * an export is waiting for that very exchange. It then returns at once and a
 * running callback returns on its own; none starts after it. */
VELKOR_API int VELKOR_CALL _Close(void);
VELKOR_API int VELKOR_CALL _IsConnected(void);
VELKOR_API int VELKOR_CALL _GetRandomId(void);
/* The connected-device record: same address for the life of the process. */
VELKOR_API TDROVAInfo *VELKOR_CALL _GetConnectInfo(void);
VELKOR_API bool8 VELKOR_CALL _IsInSubnet(const TDROVAInfo *info);
VELKOR_API void VELKOR_CALL _SetUdpPortToRegistry(void);
VELKOR_API int VELKOR_CALL _GetUdpPortFromRegistry(void);

/* ---- Errors -------------------------------------------------------------- */

/* Never null. The text for codes 0 to 17 stays valid; the "Unknown error #"
 * text for other codes (negative ones included) until the next call. */
VELKOR_API const char *VELKOR_CALL _GetErrorString(int code);
/* Four words the device sent with its last refused connect or disconnect. */
VELKOR_API u32 *VELKOR_CALL _GetConnectErrorInfo(void);

/* ==== Connect, search, addressing ========================================== */

/* A host string list: the repeated search clears it once and then adds one
 * line per search that found devices. The callbacks run on a library thread. */
typedef struct TStrings {
    void *context;
    void (VELKOR_CALL *clear)(void *context);
    void (VELKOR_CALL *add)(void *context, const char *line);
} TStrings;

/* An area-qualified address: 5 bytes, passed by value. */
#if defined(_MSC_VER)
#  pragma pack(push, 1)
typedef struct TAddress {
    u32 address; /* host order */
    u8 area;
} TAddress;
#  pragma pack(pop)
#else
typedef struct __attribute__((packed)) TAddress {
    u32 address; /* host order */
    u8 area;
} TAddress;
#endif

/* Claims the found device whose serialNumber is serialNumber: (9,0) or (9,1).
 * The mode byte is passed to the device. listIndex has no other use than
 * naming a found-list entry; an index outside the list is never read. */
VELKOR_API int VELKOR_CALL _Connect(int serialNumber, int listIndex, u8 mode);
/* Releases the device: (10,0), or (10,1) when it stays connected. */
VELKOR_API int VELKOR_CALL _Disconnect(void);
/* Searches the present interfaces; the search ends 2 x unitMs later with
 * (12,0) or (12,1) (a negative unit counts as 0). Unless connectAfterSearch
 * is -1, then connects to the last device found. Returns 1 when refused or
 * when no interface is present (the search still ends with (12,1)). */
VELKOR_API int VELKOR_CALL _FindDROVAs(int connectAfterSearch, int ignored, int unitMs);
/* Copies the found-device list of the last finished search (host order, the
 * entries _Connect picks from) into dst, at most max entries, and returns how
 * many the list holds; call with max 0 to ask the count. 0 without a session
 * and while a search runs. An addition for C hosts, which cannot read the
 * library's own list in slot 37 of the export table. */
VELKOR_API int VELKOR_CALL _GetFoundDevices(TDROVAInfo *dst, int max);
/* Searches again and again (up to 65536 times) and adds to list a line such
 * as "2 HW Devices found on UDP port 17" for each search that found devices.
 * The list must stay valid until the series ends. A null list is refused (1). */
VELKOR_API int VELKOR_CALL _StartNetworkScanning(TStrings *list);
VELKOR_API int VELKOR_CALL _StopNetworkScanning(void);
/* Sets the device's address: (0,0) or (0,1). */
VELKOR_API int VELKOR_CALL _Address(TAddress address);
/* Keep-alive; three failures in a row end the connection with (15,9), (10,0). */
VELKOR_API int VELKOR_CALL _CommRefresh(void);
/* Forgets the connection without telling the device: (10,0). A command in
 * flight ends without its outcome, a download with it (nothing of it is left
 * to stop or to report later). */
VELKOR_API void VELKOR_CALL _DeviceClose(void);
/* The path of the interface last opened, in a new 260-byte block that the
 * caller frees with free(). */
VELKOR_API char *VELKOR_CALL _GetDeviceName(void);

/* ==== Device maintenance ================================================== */

/* ---- Information queries ------------------------------------------------- */

/* Reads the connected device's information block again into the record of
 * _GetConnectInfo(): (13,0), or (13,1) with the record unchanged. The record
 * is kept in host order like a found-list entry, and keeps the path of the
 * interface the device is reached through. */
VELKOR_API int VELKOR_CALL _ReadInfo(void);
/* Reads the flash sector table, one information block per sector: (11,0) or
 * (11,1). A failed read keeps the sectors that arrived. */
VELKOR_API int VELKOR_CALL _FlashInfo(void);
/* Reads the information block of application id: (8,0), or (8,1) (also when
 * the device has no such application). */
VELKOR_API int VELKOR_CALL _AppInfo(u32 id);
/* Copies the flash sector table that _FlashInfo read into dst, at most max
 * blocks of VELKOR_INFO_BLOCK_SIZE (168) bytes, byte for byte as the device
 * sent them (big-endian words at the VELKOR_INFO_* offsets); dst has room for
 * max * 168 bytes. Returns how many blocks the table holds; call with max 0
 * to ask the count. 0 without a session and while a _FlashInfo runs. An
 * addition for C hosts, which cannot read the library's own list in slot 36
 * of the export table. */
VELKOR_API int VELKOR_CALL _GetFlashSectors(void *dst, int max);
/* 1 when the last _FlashInfo for the connected device received every sector
 * the device announced (the table a _Download needs), else 0. An addition. */
VELKOR_API int VELKOR_CALL _IsFlashTableComplete(void);

/* ---- Flash programming --------------------------------------------------- */

/* A block of data for the device; Data holds Length bytes. */
typedef struct BinBlock {
    u32 Address;
    u32 Length;
    u8 *Data;
} BinBlock;

/* A list of blocks built with the three helpers below. */
typedef struct TBinList TBinList;
/* A new empty list, or null when out of memory. */
VELKOR_API TBinList *VELKOR_CALL _BinListCreate(void);
/* Appends a copy of block: 0, or 1 when list or block is null, Data is null
 * with a Length above 0, or memory runs out. */
VELKOR_API int VELKOR_CALL _BinListAdd(TBinList *list, const BinBlock *block);
VELKOR_API void VELKOR_CALL _BinListFree(TBinList *list);

/* Erases a flash sector: (4,0) or (4,1). */
VELKOR_API int VELKOR_CALL _Erase(u8 sector);
/* Writes the blocks into area target through the staging area N, the sector
 * count of the connected device. Per record: (0,0), (5,0), (2,0), and (6,0),
 * (2,0) when target is not N; then (3,0). A failed step posts its own failure
 * pair and (3,1), and ends the download. Returns 1 without an event when
 * blocks is null or empty, when target is outside 0 to 255 (an area number
 * is one byte), or unless the last _FlashInfo received the whole
 * sector table of the device now connected (the table belongs to one device:
 * connecting another one drops it, reconnecting the same one keeps it).
 * The blocks are copied: the list may be freed once the call returns. A device
 * that answers at once is driven through the whole download on the calling
 * thread, which returns when the last events are queued: to stop it, call
 * _StopDownload from another thread or from the callback. */
VELKOR_API int VELKOR_CALL _Download(int target, TBinList *blocks);
/* Stops the download that runs: the step in flight ends as usual (its own
 * pair; a data step stopped between two chunks ends with (5,1)), no further
 * step is sent, and the download ends with (3,1). Returns 0; 1 without
 * posting anything when no download runs. May be called from any thread,
 * the callback included. An addition, for a Cancel button or Ctrl-C. */
VELKOR_API int VELKOR_CALL _StopDownload(void);
/* The steps of a download, also for use one at a time. Addresses are
 * area-qualified: the area number in bits 32 to 39 above a 32-bit address;
 * area is OR-ed into bits 32 to 63. _PrgData: (5,0) or (5,1); a null block,
 * or null Data with a Length above 0, is refused (1) without an event. */
VELKOR_API int VELKOR_CALL _PrgData(BinBlock *block);
/* (6,0) or (6,1). */
VELKOR_API int VELKOR_CALL _Program(u64 address, int area);
/* (2,0) when the device finds checksum over length bytes there, else (2,1). */
VELKOR_API int VELKOR_CALL _CheckSum(u64 address, u32 length, u8 checksum, int area);

/* ---- The download stream and its checksums ---------------------------------
 *
 * _Download writes its blocks as one stream of records, record after record
 * from offset 0; each record goes to the same offset of the staging area and,
 * when target is not the staging area, of the target area:
 *
 *   per block, in list order:  u32 Address, u32 Length (big-endian), then the
 *                              Length bytes of Data: 8 + Length bytes;
 *   then, unless target is 1:  the end record, 8 zero bytes (address 0,
 *                              length 0).
 *
 * A record's checksum is the 8-bit one's complement of its bytes (header and
 * data) added with end-around carry:
 *
 *   unsigned sum = 0;
 *   for (each byte b of the record) { sum += b; sum = (sum & 0xFF) + (sum >> 8); }
 *   checksum = (u8)~sum;      (0xFF for a record of zero bytes only)
 *
 * The download asks the device for each record's checksum where it put it.
 * To verify later that area target holds an image, ask the same for every
 * record of the stream that image makes, the end record included:
 * _CheckSum((u64)target << 32 | offset, 8 + Length, checksum, target).
 * (2,0): the record is there; (2,1) with no error pair before it: the device
 * found another checksum, the bytes there differ. */

/* ---- Application control ------------------------------------------------- */

/* Starts application id: (14,0), then (10,0) for application 10, which ends
 * the connection. A refusal posts (15,17) (its reason is _GetErrorString(17))
 * and (14,1). */
VELKOR_API int VELKOR_CALL _StartApp(u32 id);
/* Makes application id the one the device starts by itself: (1,0) or (1,1). */
VELKOR_API int VELKOR_CALL _AutoStart(u32 id);
/* Resets the device without waiting for it and ends the connection: (10,0),
 * 0. The reset goes out only while this host holds the device (connected or
 * disconnecting). A download that runs ends with it: no further step goes
 * out, the step in flight posts its failure pair and the download (3,1). Any
 * other command in flight ends as usual. Without a session: 1. */
VELKOR_API int VELKOR_CALL _Reset(void);

/* ---- Serial number --------------------------------------------------------- */

/* Writes the 24-bit serial number sn: (7,0) or (7,1). A value of 0x1000000
 * or above is refused with (15,3). */
VELKOR_API int VELKOR_CALL _Wrsn(u32 sn);

/* ==== Device information model and compatibility ========================= */

/* ---- 168-byte information block ------------------------------------------ */

/* One flash sector or firmware application, byte for byte as the device sent
 * it: its words are big-endian. Byte offsets of the fields: */
enum {
    VELKOR_INFO_BLOCK_SIZE = 168,
    VELKOR_INFO_ID = 0,          /* 0xFFFFFFFF empty sector; 0, 1, 2 system kinds; else an application id */
    VELKOR_INFO_NAME = 4,        /* 64 bytes of text */
    VELKOR_INFO_VERSION_A = 72,  /* offered by a kind-0 block */
    VELKOR_INFO_VERSION_B = 76,  /* offered by a kind-0 block, required of applications */
    VELKOR_INFO_FW_VERSION = 88, /* the application's own version */
    VELKOR_INFO_VERSION_C = 92,  /* offered by a kind-2 block, required of applications */
    VELKOR_INFO_VERSION_D = 96   /* required by a kind-2 block of the kind-0 versionA */
};

/* ---- Compatibility ------------------------------------------------------- */

/* The PC-FOS interface version this library speaks: 0x01010000 (1.1.0.0). */
VELKOR_API u32 VELKOR_CALL _GetCompatibleFOSVersions(void);
/* 1 when the library can serve a device of this FOS interface version (its
 * own, or the wildcard 0xFFFEFDFC), else 0. Whole words: no range. */
VELKOR_API int VELKOR_CALL _IsCompatibleFOSIfcVersion(u32 version);
/* 1 when connected and the flash sectors last read by _FlashInfo hold
 * application appId in exactly this version, else 0. */
VELKOR_API bool8 VELKOR_CALL _HasCompatibleFWVersion(u32 version, u32 appId);
/* 1 when the application last started by _StartApp supports the feature
 * (0 to 18), else 0; 0 for every feature until a start has succeeded. */
VELKOR_API int VELKOR_CALL _IsSupportedFwFeature(int feature);

/* ---- Serial number text ---------------------------------------------------- */

/* The text form of a serial number (e.g. KV47D00291) into text, cut to
 * max - 1 characters and a zero byte: 0. A value without text form gives
 * "SN_INVALID": 1. Nothing is written when text is null or max < 1. */
VELKOR_API int VELKOR_CALL _SnConvertUint2Agt(u32 value, char *text, int max);

/* ---- Device description ---------------------------------------------------- */

/* The lines and looks of _GetHintAboutDROVA. */
enum {
    VELKOR_HINT_NAME = 0x2,
    VELKOR_HINT_SERIAL_NUMBER = 0x4,
    VELKOR_HINT_HW_VERSION = 0x8,
    VELKOR_HINT_FOS_IFC_VERSION = 0x10,
    VELKOR_HINT_AUTOSTART = 0x20,        /* connected device only */
    VELKOR_HINT_ETHERNET = 0x100,
    VELKOR_HINT_UDP_IP = 0x200,
    VELKOR_HINT_CONFIGURED_BY = 0x400,
    VELKOR_HINT_FIRMWARE_APPS = 0x800,   /* connected device only */
    VELKOR_HINT_FLASH_SECTORS = 0x1000,  /* connected device only */
    VELKOR_HINT_INDENT = 0x2000,         /* sub-lines indented by two spaces */
    VELKOR_HINT_BOLD = 0x4000            /* labels between <b> and </b> */
};

/* A multi-line description of a device block (host order: a found-list entry
 * or _GetConnectInfo()) into dst, cut to max - 1 characters and a zero byte.
 * The connected-device-only parts appear when info is _GetConnectInfo().
 * A null info gives the empty text; nothing is written when dst is null or
 * max < 1. */
VELKOR_API void VELKOR_CALL _GetHintAboutDROVA(int flags, const TDROVAInfo *info, char *dst, int max);

/* ---- Consistency check ---------------------------------------------------- */

/* A host tree control, seen through opaque node handles. Every operation gets
 * the tree's context back. All six must be set. */
typedef struct TDCTreeNode TDCTreeNode;
typedef struct TDCTree {
    void *context;
    TDCTreeNode *(VELKOR_CALL *getFirstNode)(void *context);                      /* or null */
    TDCTreeNode *(VELKOR_CALL *getFirstChild)(void *context, TDCTreeNode *node);  /* or null */
    TDCTreeNode *(VELKOR_CALL *getNextSibling)(void *context, TDCTreeNode *node); /* or null */
    TDCTreeNode *(VELKOR_CALL *getParent)(void *context, TDCTreeNode *node);      /* null at the top */
    void *(VELKOR_CALL *getData)(void *context, TDCTreeNode *node);
    void (VELKOR_CALL *setStateIndex)(void *context, TDCTreeNode *node, int stateIndex);
} TDCTree;

/* Checks the firmware entry `node` against the other top-level nodes and sets
 * stateIndex on the nodes of conflicting fields and their ancestors (never
 * clears one). Tree shape: a top-level node's data points at a record whose
 * first field is the entry's block pointer (a flash sector record of the
 * library, or a host struct); its children are groups, whose children are
 * field nodes whose data is a VELKOR_INFO_* offset cast to a pointer. */
VELKOR_API void VELKOR_CALL _ConsistencyCheck(TDCTree *tree, TDCTreeNode *node, int stateIndex);

/* ==== Export table check ================================================== */

/* Looks up every entry point in a loaded copy of the library (an HMODULE, or
 * the handle of dlopen) and returns a table of 40 pointers: the entry points
 * in a fixed slot order, slots 36 and 37 the session's flash sector list and
 * found-device list while a session runs (null otherwise). When a name is
 * missing: null, and "Unable to locate <name> method in doduzerez.eza." cut to
 * max - 1 characters in dst (nothing is written for a null dst or max < 1). */
VELKOR_API void **VELKOR_CALL _Test_Version_Compatibility(VelkorModule module, char *dst, int max);

#ifdef __cplusplus
}
#endif

#endif /* VEVARA_ROVO_DAR_H */
