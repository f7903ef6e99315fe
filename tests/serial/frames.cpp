// Net2000 frames for the line tests: reader and a small answering far end.
#include "tests/serial/frames.h"

#include "support/golden.h"

#include <string.h>

Bytes ReadFrame(PtyPair &pty, uint32_t timeoutMs) {
    uint8_t frame[518];
    if (pty.Receive(frame, 6, 6, timeoutMs) != 6 || frame[0] != 0x02) {
        return Bytes();
    }
    size_t rest = 2u * frame[1] + 2u;
    if (pty.Receive(frame + 6, rest, rest, timeoutMs) != rest) {
        return Bytes();
    }
    return Bytes(frame, frame + 6 + rest);
}

Bytes ReadRequest() {
    Bytes request(2000, 0);
    request[0] = 4; // ReadWrite
    request[1] = 1; // one item
    uint32_t handle = 0x3412;
    uint16_t length = 2;
    uint16_t access = 1;
    memcpy(&request[2], &handle, sizeof handle);
    memcpy(&request[6], &length, sizeof length);
    memcpy(&request[8], &access, sizeof access);
    return request;
}

Bytes ReplyTo(const Bytes &request) {
    const uint8_t *message = request.data() + 8; // past the header and the length prefix
    uint8_t counter = message[2];
    Bytes body;
    if (message[3] == 0x21 && message[0] == 0xFF) {
        body = HexBytes(golden::kConnectReply);
        body[2] = counter;
    } else {
        body = {0x00, 0x00, counter, message[3], 0xAB, 0xCD};
    }
    Bytes data(2 + body.size(), 0);
    data[1] = static_cast<uint8_t>(body.size()); // length prefix, big-endian
    memcpy(data.data() + 2, body.data(), body.size());
    return Net2000Frame(request[3], request[2], 0x3, static_cast<uint8_t>(request[4] >> 4), data);
}

int ServeRequests(PtyPair &pty, int count, const PeerOptions &options) {
    for (int i = 0; i < count; i++) {
        Bytes request = ReadFrame(pty, 5000);
        if (request.size() < 12) {
            return i;
        }
        if (options.echo) {
            Bytes echo = request;
            if (options.garbleEcho) {
                echo[7] ^= 0x01;
            }
            pty.Send(echo.data(), echo.size());
        }
        Bytes reply = ReplyTo(request);
        if (i == 0 && options.noiseFirst > 0) {
            Bytes noise(options.noiseFirst, 0x55);
            pty.Send(noise.data(), noise.size());
            continue;
        }
        if (i == 0 && options.firstPiece > 0 && options.firstPiece < reply.size()) {
            pty.Send(reply.data(), options.firstPiece);
            if (options.rest != nullptr) {
                options.rest->assign(reply.begin() + static_cast<long>(options.firstPiece), reply.end());
            }
            continue;
        }
        pty.Send(reply.data(), reply.size());
    }
    return count;
}
