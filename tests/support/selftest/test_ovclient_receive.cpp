// The protocol client's receiving side on a real loopback socket: frames
// arriving in pieces, a large one followed by small ones, and a peer that
// closes in the middle of a frame.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/support/ovclient.h"

using namespace ovclient;
using Bytes = std::vector<uint8_t>;

namespace {

// A connected client and the server end of its connection.
struct Link {
    OvClient client;
    int peer = -1;

    Link() {
        uint16_t port = 0;
        int listener = listenLoopback(&port);
        if (listener < 0) {
            return;
        }
        if (client.connectTo("127.0.0.1", port, 10000)) {
            peer = accept(listener, nullptr, nullptr);
        }
        ::close(listener);
    }
    ~Link() {
        if (peer >= 0) {
            ::close(peer);
        }
    }
};

bool writeAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) {
            return false;
        }
        p += w;
        n -= size_t(w);
    }
    return true;
}

// Frame bytes written by hand: C = 0 (raw), L, then the 33-byte header
// (type, 4 reserved, 5 context words, device address, payload length).
Bytes rawFrame(uint8_t type, uint32_t tag, const Bytes& payload) {
    Bytes f;
    putLe32(f, 0, 0);
    putLe32(f, 4, uint32_t(33 + payload.size()));
    f.push_back(type);
    f.insert(f.end(), 4, 0);
    Bytes words(28, 0);
    putLe32(words, 0, tag);
    putLe32(words, 24, uint32_t(payload.size()));
    f.insert(f.end(), words.begin(), words.end());
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

Bytes pattern(size_t n, uint32_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) {
        b[i] = uint8_t((i * 131 + seed) >> 3);
    }
    return b;
}

} // namespace

// Large frames in pieces of many sizes, each followed by small frames sent
// alone: every frame arrives whole and in order, and a small frame is not
// held back by what the large one before it set up on the socket.
TEST(OvClientReceive, LargeFramesInPiecesThenSmallOnes) {
    Link link;
    ASSERT_GE(link.peer, 0);
    const std::vector<size_t> sizes = {(1u << 20) + 4, 300000, 65536 + 100, 70000, 5000000};
    for (size_t round = 0; round < sizes.size(); round++) {
        const Bytes big = pattern(sizes[round], uint32_t(round));
        const Bytes frame = rawFrame(kMsgBulkInterruptTransferReply, uint32_t(round), big);
        // Pieces of odd sizes, so that the client sees the frame's header
        // alone, then rests both above and below 64 KiB.
        std::thread sender([&] {
            const size_t pieces[] = {5, 20, 4096, 100000, 1};
            size_t at = 0;
            for (size_t i = 0; at < frame.size(); i++) {
                const size_t n = std::min(frame.size() - at, pieces[i % 5]);
                if (!writeAll(link.peer, frame.data() + at, n)) {
                    return;
                }
                at += n;
            }
        });
        Message m;
        ASSERT_EQ(link.client.receive(&m, 60000), 1) << "round " << round;
        sender.join();
        EXPECT_EQ(m.context[0], round);
        EXPECT_TRUE(m.payload == big) << "round " << round;
        // Two small frames, the second sent only after the first arrived.
        for (uint32_t small = 0; small < 2; small++) {
            const Bytes bytes = rawFrame(kMsgBulkInterruptTransferReply, 100 + small, {1, 2, 3, 4});
            ASSERT_TRUE(writeAll(link.peer, bytes.data(), bytes.size()));
            ASSERT_EQ(link.client.receive(&m, 20000), 1) << "small frame " << small << " after round " << round;
            EXPECT_EQ(m.context[0], 100 + small);
        }
    }
}

// A peer that closes when half of a large frame is sent ends the wait at
// once, not when its time is up.
TEST(OvClientReceive, CloseInTheMiddleOfALargeFrame) {
    Link link;
    ASSERT_GE(link.peer, 0);
    const Bytes frame = rawFrame(kMsgBulkInterruptTransferReply, 1, pattern(1u << 20, 7));
    ASSERT_TRUE(writeAll(link.peer, frame.data(), frame.size() / 2));
    Message m;
    // Nothing decodable yet: the client reads what there is and waits.
    ASSERT_EQ(link.client.receive(&m, 0), 0);
    ::close(link.peer);
    link.peer = -1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link.client.receive(&m, 120000), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60)) << "the close went unnoticed";
}
