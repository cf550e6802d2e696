// port/'s Winsock names over BSD sockets, against real sockets on 127.0.0.1.
#include <cstring>

#include <gtest/gtest.h>

#include "common/platform.h"
#include "common/sockaddr.h"

namespace {

TEST(PortSocketsTest, SendToAPeerThatHasGoneFailsInsteadOfEndingTheProcess) {
  SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(INVALID_SOCKET, listener);
  sockaddr_in address;
  FillSocketAddress(0x7f000001u, 0, &address);
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address), kSocketAddressLength));
  ASSERT_EQ(0, listen(listener, 1));
  int length = kSocketAddressLength;
  ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr*>(&address), reinterpret_cast<socklen_t*>(&length)));

  SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(0, connect(client, reinterpret_cast<sockaddr*>(&address), kSocketAddressLength));
  SOCKET accepted = accept(listener, nullptr, nullptr);
  ASSERT_NE(INVALID_SOCKET, accepted);
  linger reset{1, 0};  // close with a reset
  setsockopt(accepted, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  closesocket(accepted);

  char byte[1] = {'x'};
  int results[3];
  for (int& result : results) {
    result = send(client, byte, 1, 0);
    Sleep(20);
  }
  EXPECT_EQ(SOCKET_ERROR, results[2]) << "sends after the reset must fail, not raise SIGPIPE";
  closesocket(client);
  closesocket(listener);
}

TEST(PortSocketsTest, RecvfromReportsTheSenderAndIoctlsocketMakesItNonBlocking) {
  SOCKET receiver = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address;
  FillSocketAddress(0x7f000001u, 0, &address);
  ASSERT_EQ(0, bind(receiver, reinterpret_cast<sockaddr*>(&address), kSocketAddressLength));
  int length = kSocketAddressLength;
  getsockname(receiver, reinterpret_cast<sockaddr*>(&address), reinterpret_cast<socklen_t*>(&length));
  u_long on = 1;
  ASSERT_EQ(0, ioctlsocket(receiver, FIONBIO, &on));

  char buffer[16];
  sockaddr_in from;
  int fromLength = kSocketAddressLength;
  EXPECT_EQ(SOCKET_ERROR, recvfrom(receiver, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength));

  SOCKET sender = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in senderAddress;
  FillSocketAddress(0x7f000001u, 0, &senderAddress);
  bind(sender, reinterpret_cast<sockaddr*>(&senderAddress), kSocketAddressLength);
  length = kSocketAddressLength;
  getsockname(sender, reinterpret_cast<sockaddr*>(&senderAddress), reinterpret_cast<socklen_t*>(&length));
  ASSERT_EQ(3, sendto(sender, "abc", 3, 0, reinterpret_cast<sockaddr*>(&address), kSocketAddressLength));
  Sleep(20);
  fromLength = kSocketAddressLength;
  ASSERT_EQ(3, recvfrom(receiver, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength));
  EXPECT_EQ(0, std::memcmp(buffer, "abc", 3));
  EXPECT_EQ(kSocketAddressLength, fromLength);
  std::uint32_t fromAddress;
  std::uint16_t fromPort;
  UnpackSocketAddress(&from, &fromAddress, &fromPort);
  EXPECT_EQ(0x7f000001u, fromAddress);
  EXPECT_EQ(ntohs(senderAddress.sin_port), fromPort);
  closesocket(sender);
  closesocket(receiver);
}

TEST(PortThreadsTest, AFinishedThreadIsToldFromARunningOneWhateverItReturned) {
  static volatile bool release = false;
  HANDLE thread = CreateThread(nullptr, 0, [](LPVOID) -> DWORD {
    while (!release) Sleep(1);
    return STILL_ACTIVE;
  }, nullptr, 0, nullptr);
  ASSERT_NE(nullptr, thread);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(thread, 0));
  release = true;
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(thread, INFINITE));
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), code);
}

}  // namespace
