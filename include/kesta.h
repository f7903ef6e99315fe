/* KESTA Net2000 driver: the records the host exchanges with the driver through KviMain.
 * Plain C structs in the host's field order. Only KviMain is exported; everything the driver keeps
 * beyond these records is its own. */
#ifndef KESTA_H
#define KESTA_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define KVI_CALL   __cdecl
#define KVI_EXPORT __declspec(dllexport)
#else
#define KVI_CALL
#define KVI_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

struct StationEntry; /* the stack's station record; a connection handle points at one */

/* Function codes of KviMain. */
enum KviFunction {
    KVI_COLD_START = 1,
    KVI_WARM_START = 2,
    KVI_SINGLE_ADDRESS_PARSER = 3,
    KVI_BLOCK_ADDRESS_PARSER = 4,
    KVI_SINGLE_READ = 5,
    KVI_BLOCK_READ = 6,
    KVI_SINGLE_WRITE = 7,
    KVI_BLOCK_WRITE = 10,
    KVI_END = 11,
    KVI_CLOSE_COM = 12,
    KVI_REOPEN_COM = 13,
    KVI_GET_INFO = 14,
    KVI_CHANGE_PARAMS = 15
};

/* Results at the host boundary. */
enum KviResult { KVI_OK = 0, KVI_REFUSED = 1, KVI_FAILED = 2 };

/* Baud rate, data bits, stop bits (0 one, 1 one and a half, 2 two), parity (0 none, 1 odd, 2 even,
 * 3 mark, 4 space). */
typedef struct LineParams {
    uint16_t baudRate;
    uint16_t dataBits;
    uint16_t stopBits;
    uint16_t parity;
} LineParams;

struct DriverInstance;

typedef struct DriverCall {
    struct DriverInstance *instance; /* the host's instance block */
    uint32_t functionCode;           /* 1..16 */
    uint32_t driverNumber;           /* names the mutex and the init file */
    uint32_t unused;                 /* never read */
    void *argRecord;                 /* the operation's record */
} DriverCall;

typedef uintptr_t KestaHandle; /* an OS handle (port, mutex); 0 means none */

/* The host-allocated instance block. Packed: on the 32-bit target it is exactly 1087 bytes, the size
 * GetKviInfo reports. Fields are read and written by member access only, never through a pointer to
 * a member (most of them are not aligned). */
#pragma pack(push, 1)
typedef struct DriverInstance {
    uint32_t lineTimeout;                   /* port read time-out, units of 10 ms; mutex wait is 30 ms a unit */
    uint32_t portOpen;                      /* 1 while the line may be used */
    uint8_t masterAddress;                  /* the driver's own Net2000 station address */
    KestaHandle portHandle;                 /* open serial port, 0 when none */
    char portName[12];                      /* kept port record: name */
    LineParams lineParams;                  /* kept port record: line parameters */
    uint16_t portFlags;                     /* kept port record: DTR/RTS selection word */
    struct StationEntry *StationTable[256]; /* connection handle per station address, 0 = none */
    void *ObjectList;                       /* head of the object registry */
    void *UsedAreaList;                     /* head of the used-area list */
    uint32_t dsfOpen;                       /* 1 while the protocol stack is open */
    KestaHandle mutex;                      /* named mutex "SEMKESTA%02u", 0 when closed */
    uint32_t ending;                        /* 1 from EndKvi on */
    uint32_t sampleCount;                   /* EWT records read since cold start */
    uint32_t ewtDelay;                      /* ms between EWT records; 0 = one record per read */
} DriverInstance;
#pragma pack(pop)

typedef struct PortConfig {
    char portName[12];
    uint32_t usePort;
    uint32_t timeout; /* becomes lineTimeout */
    LineParams lineParams;
} PortConfig;

typedef struct ParamChange {
    char portName[12];
    int32_t timeout; /* 0 and -1 keep lineTimeout */
    LineParams lineParams;
} ParamChange;

typedef struct DriverInfo {
    uint32_t info0;           /* 70 */
    const char *protocolName; /* "B&R Net2000" */
    const char *banner;       /* 191-byte code page 437 box */
    uint32_t instanceSize;    /* sizeof(DriverInstance) */
    uint32_t info4;           /* 4 */
    LineParams defaultLine;   /* 57600, 8, 0, 1 */
    uint32_t info6;           /* 1 */
} DriverInfo;

/* GateAddress as handed to the parsers (codes 3 and 4). */
typedef struct GateAddressParse {
    const char *addressString; /* NUL-terminated, at most 255 characters */
    uint32_t hostField1;
    uint32_t gateType;    /* host type code */
    uint32_t blockLength; /* elements of a block gate */
    uint32_t station;     /* filled */
    uint32_t typeCode;    /* filled: PLC data type or EWT code */
    int32_t offset;       /* filled: element offset, or the sample structure's handle */
    int32_t toggleHandle; /* filled: ".toggle" handle of a sample gate, else -1 */
    uint32_t elementBits; /* filled: bits of one element */
} GateAddressParse;

/* GateAddress as handed to reads and writes (codes 5, 6, 7). */
typedef struct GateAddressRW {
    const char *addressString;
    uint32_t hostField1;
    uint32_t station;
    uint32_t typeCode;
    int32_t offset;
    int32_t toggleHandle;
    uint32_t elementBits;
    uint32_t hostField7;
    uint32_t elementCount; /* elements to transfer */
    uint32_t hostField9;
    void *valueCell; /* the host's value storage */
} GateAddressRW;

/* Host gate type codes. */
enum HostGateType {
    GATE_UNSIGNED16 = 0,
    GATE_SIGNED16 = 1,
    GATE_FLOAT = 3,
    GATE_SIGNED32 = 4,
    GATE_UNSIGNED32 = 5,
    GATE_DIGITAL = 6,
    GATE_STRING = 7
};

/* EWT type codes: four ASCII letters, the first most significant. */
#define KESTA_EWT_CODE(a, b, c, d)                                                                                     \
    (((uint32_t)(a) << 24) | ((uint32_t)(b) << 16) | ((uint32_t)(c) << 8) | (uint32_t)(d))
#define EWTM KESTA_EWT_CODE('E', 'W', 'T', 'M') /* sample gate, message records */
#define EWTV KESTA_EWT_CODE('E', 'W', 'T', 'V') /* sample gate, measurement records */
#define EWTm KESTA_EWT_CODE('E', 'W', 'T', 'm') /* time-stamp gate of a message record */
#define EWTv KESTA_EWT_CODE('E', 'W', 'T', 'v') /* time-stamp gate of a measurement record */

KVI_EXPORT uint32_t KVI_CALL KviMain(DriverCall *call);

#ifdef __cplusplus
}
#endif

#if defined(_WIN32) && !defined(_WIN64)
#ifdef __cplusplus
static_assert(sizeof(DriverInstance) == 1087, "the host allocates 1087 bytes");
#else
_Static_assert(sizeof(DriverInstance) == 1087, "the host allocates 1087 bytes");
#endif
#endif

#endif /* KESTA_H */
