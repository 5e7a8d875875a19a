// The baseline: the least a unit responder can do. A blocking loop of recvfrom, build the
// 29-byte channel-query reply, sendto. No event loop, no logging.
// Usage: baseline-responder PORT
#include "benchsupport.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: baseline-responder PORT\n");
        return 2;
    }
    const int fd = openLoopbackSocket(uint16_t(std::atoi(argv[1])), false);
    unsigned char channels[30] = {};
    for (int n = 2; n <= 13; ++n)
        channels[n] = 125;
    for (;;) {
        unsigned char request[2048];
        sockaddr_in sender{};
        socklen_t senderLength = sizeof sender;
        const ssize_t n =
            recvfrom(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (n < 29 || request[1] != 50)
            continue;
        unsigned char reply[29] = {};
        reply[0] = 254;
        reply[1] = 50;
        std::memcpy(reply + 2, channels + 2, 24);
        reply[28] = 255;
        sendto(fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&sender), senderLength);
    }
}
