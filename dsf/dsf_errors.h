// Result codes of the Net2000 stack and its transport. 16-bit values unless noted; callers outside the
// stack look only at the low 8 bits (shown in brackets).
#pragma once

enum DsfError {
    DSF_OK = 0,
    DSF_ERR_INSTANCE = -173,          // 0xFFFFFF53 the record fails its self check
    DSF_ERR_NO_REPLY = 65290,         // 0xFF0A [10] no reply after retryLimit retransmissions
    DSF_ERR_LINK_ADDRESS = 65291,     // 0xFF0B [11] received header addressed to another station
    DSF_ERR_LINK_HEADER = 65292,      // 0xFF0C [12] received header checksum wrong
    DSF_ERR_LINK_SEQUENCE = 65293,    // 0xFF0D [13] received sequence number differs
    DSF_ERR_LINK_DATA = 65294,        // 0xFF0E [14] received data checksum wrong
    DSF_ERR_RESIZE = 65300,           // 0xFF14 [20] reassembly/pending buffer could not grow
    DSF_ERR_REPLY_TOO_LONG = 65301,   // 0xFF15 [21] long reply larger than maxReassembly
    DSF_ERR_SEGMENT = 65302,          // 0xFF16 [22] length prefix or frame type wrong while segmenting
    DSF_ERR_FRAME_TOO_LONG = 65309,   // 0xFF1D [29] frame with more than 510 data bytes asked for
    DSF_ERR_NOT_CONNECTED = 65320,    // 0xFF28 [40] station entry not connected
    DSF_ERR_RESIZE_REQUEST = 65321,   // 0xFF29 [41] request buffer could not grow
    DSF_ERR_MESSAGE_TOO_LONG = 65322, // 0xFF2A [42] request message exceeds the station's maxMessage
    DSF_ERR_REPLY_COUNTER = 65323,    // 0xFF2B [43] reply counter differs from the request's
    DSF_ERR_REPLY_CODE = 65324,       // 0xFF2C [44] reply code is not the request's
    DSF_ERR_REPLY_LENGTH = 65325,     // 0xFF2D [45] reply length breaks its code's rule
    DSF_ERR_NO_STATION = 65326,       // 0xFF2E [46] no free station entry
    DSF_ERR_REPLY_BUFFER = 65340,     // 0xFF3C [60] reply record does not fit the caller's buffer, or the
                                      //             request record is shorter than its items/names/text
    DSF_ERR_SERVICE = 65341,          // 0xFF3D [61] unknown service
    DSF_ERR_NO_MEMORY = 65360,        // 0xFF50 [80] record or station table not allocated
    DSF_ERR_BUFFER = 65361,           // 0xFF51 [81] message buffer not allocated (configure, or gone
                                      //             after a failed growth: only closing the stack helps)
    DSF_ERR_STATION_COUNT = 65362,    // 0xFF52 [82] station count 0 or above 255
    DSF_ERR_SEGMENT_REFUSED = 65380,  // 0xFF64 [100] station refused a segmented request
    DSF_ERR_LOOKUP_LENGTH = 65450,    // 0xFFAA [170] lookup status: object length differs
    DSF_ERR_NOT_OPEN = 65480,         // 0xFFC8 [200] transport: stack not open
    DSF_ERR_FRAME_BUFFER = 65481,     // 0xFFC9 [201] transport: frame buffer not allocated; engine:
                                      //              transmit buffer missing or shorter than 518 bytes
    DSF_ERR_ACTION = 65482,           // 0xFFCA [202] transport: unknown engine action
    DSF_ERR_SET_ASIDE = 65483,        // 0xFFCB [203] transport: station set aside after SILENT_STATION_LIMIT
                                      //              silent requests; nothing sent until its pause ends
    DSF_ERR_PORT_LOST = 65484,        // 0xFFCC [204] transport: the port's device failed and is closed;
                                      //              reopened at most once per PORT_REOPEN_INTERVAL
    DSF_ERR_OBJECT_CHANGED = 65485,   // 0xFFCD [205] transport: a look-up found the gate's object gone, or
                                      //              of another kind, type or length (RELOOKUP_ON_ERROR)
    DSF_ERR_WRITE = 1                 // transport: a frame could not be written completely
};
