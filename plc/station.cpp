// Station services: the three requests address parsing needs (open the stack, connect a station,
// describe one named object). Each runs one exchange through the transport and logs its own failure;
// none retries (the parsers do).
#include "plc/station.h"

#include <stdio.h>
#include <string.h>

#include "dsf/dsf_request.h"
#include "platform/talrun.h"
#include "serial/transport.h"

namespace {

// Request records and reply buffers of the station services.
enum { REQUEST_SIZE = 2000, REPLY_SIZE = 4000 };
// Reply frames: 14-byte connect reply and 26-byte one-name lookup reply, each behind the 8 bytes of
// frame overhead and the 2-byte length prefix.
enum { CONNECT_REPLY_FRAME = 24, LOOKUP_REPLY_FRAME = 36 };
} // namespace

uint32_t Net2000_Open(uint8_t masterAddress) {
    char parameters[48];
    snprintf(parameters, sizeof parameters, "/SA=%u/RC=3/TT=200/TE=200/TQ=200", static_cast<unsigned>(masterAddress));
    const int32_t rc = dsf_ra_open(parameters);
    if (rc == 0) {
        return 0;
    }
    err(LOG_ERROR, "KESTA> Net2000_Open failed ErrorCode: %u", static_cast<unsigned>(rc & 0xFF));
    return 2;
}

StationEntry *Net2000_Connect(PortHandle line, uint8_t stationAddress, int32_t *result) {
    uint8_t request[REQUEST_SIZE];
    uint8_t reply[REPLY_SIZE];
    DsfRequestBuilder connect = dsf_request_begin(request, sizeof request, DSF_SVC_CONNECT_STATION);
    dsf_request_put_station(&connect, stationAddress);
    dsf_request_end(&connect); // a station address always fits the record

    StationEntry *handle = nullptr;
    uint32_t replyLength = REPLY_SIZE;
    const int32_t rc = RunExchange(line, CONNECT_REPLY_FRAME, &handle, request, REQUEST_SIZE, reply, &replyLength);
    if (result != nullptr) {
        *result = rc;
    }
    // Any nonzero code is a failure, also one whose low byte happens to be 0 (a station error number
    // of 256, say): only the low byte is shown.
    if (rc != 0) {
        err(LOG_ERROR, "KESTA> Net2000_Connect failed ErrorCode: %u", static_cast<unsigned>(rc & 0xFF));
        return nullptr;
    }
    return handle;
}

int Net2000_getOV(PortHandle line, void *handleSlot, const char *name, ObjectDescriptor *descriptor, int32_t *result) {
    int32_t ignored = 0;
    int32_t &rc = result != nullptr ? *result : ignored;
    rc = DSF_ERR_REPLY_BUFFER;
    uint8_t request[REQUEST_SIZE];
    uint8_t reply[REPLY_SIZE];
    // Expected length 0: the object's length is not checked. The name and its NUL must fit the record.
    DsfRequestBuilder lookup = dsf_request_begin(request, sizeof request, DSF_SVC_LOOKUP_OBJECTS);
    dsf_request_put_name(&lookup, name, 0);
    if (dsf_request_end(&lookup) == 0) {
        err(LOG_ERROR, "KESTA> Net2000_getOV failed, object name of %u characters too long",
            static_cast<unsigned>(strlen(name)));
        return 1;
    }

    uint32_t replyLength = REPLY_SIZE;
    rc = RunExchange(line, LOOKUP_REPLY_FRAME, handleSlot, request, REQUEST_SIZE, reply, &replyLength);
    if (rc != 0) {
        err(LOG_ERROR, "KESTA> Net2000_getOV failed ErrorCode: %u", static_cast<unsigned>(rc & 0xFF));
        return 1;
    }
    DsfReplyReader answer = dsf_reply_reader(request, sizeof request, reply, replyLength);
    const uint16_t listStatus = dsf_reply_list_status(&answer);
    LookupObjectRecord object;
    if (!dsf_reply_next_object(&answer, &object)) {
        // The stack always delivers a whole record for one name; anything shorter is not a description.
        err(LOG_ERROR, "KESTA> Net2000_getOV failed ErrorCode: %u", static_cast<unsigned>(DSF_ERR_REPLY_LENGTH & 0xFF));
        rc = DSF_ERR_REPLY_LENGTH;
        return 1;
    }
    *descriptor = {listStatus,      object.status, object.handle,        object.kind,  object.length,
                   object.dataType, object.aux,    object.elementLength, object.access};
    return 0;
}
