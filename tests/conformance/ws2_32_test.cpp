// ws2_32: starting and cleaning up the socket layer.
#include <gtest/gtest.h>

#include <winsock2.h>

#include "sentinel.h"

namespace {

TEST(Ws2_32, StartUpReportsByResultAndCleanUpByLastError) {
    WSADATA data;
    Fill(data);
    EXPECT_EQ(WSAStartup(0x0000, &data), WSAVERNOTSUPPORTED);
    EXPECT_EQ(data.wHighVersion, 0x0202);
    EXPECT_EQ(WSAStartup(0x0101, nullptr), WSAEFAULT);

    Fill(data);
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0101);
    EXPECT_EQ(WSACleanup(), 0);
    SetLastError(kSentinel);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR); // more clean-ups than start-ups
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

} // namespace
