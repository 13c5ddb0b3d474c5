#include <winsock2.h>

#include <gtest/gtest.h>

#include <string>

#include "common/base/tcp/CoIoDescriptor.h"
#include "common/base/tcp/CoSocketError.h"

namespace Kestrix {
namespace {

TEST(CoSocketErrorWin, TextsAreOneLineDistinctAndKeepTheCurrentError) {
  const std::string refused = CoSocketError::text(WSAECONNREFUSED);
  const std::string reset = CoSocketError::text(WSAECONNRESET);
  for (const std::string& text : {refused, reset, CoSocketError::hostNotFoundText()}) {
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
  }
  EXPECT_NE(refused, reset);
  // A code no table knows still says which code it was.
  EXPECT_NE(CoSocketError::text(10999).find("10999"), std::string::npos);
  ::WSASetLastError(WSAEADDRINUSE);
  EXPECT_EQ(CoSocketError::lastText(), CoSocketError::text(WSAEADDRINUSE));
  EXPECT_EQ(CoSocketError::last(), WSAEADDRINUSE);
}

TEST(CoSocketErrorWin, WinsockCodesMapToTheirCauses) {
  ::WSASetLastError(WSAHOST_NOT_FOUND);
  EXPECT_EQ(CoIoDescriptor::getIoError(), CoIoDescriptor::IO_HOST_NOT_FOUND);
  ::WSASetLastError(WSAEWOULDBLOCK);
  EXPECT_EQ(CoIoDescriptor::getIoError(), CoIoDescriptor::IO_WOULD_BLOCK);
  // An unexpected code is a system error whose code survives for its text.
  ::WSASetLastError(WSAEACCES);
  EXPECT_EQ(CoIoDescriptor::getIoError(), CoIoDescriptor::IO_SYSTEM_ERROR);
  char text[256];
  CoIoDescriptor::getIoError(CoIoDescriptor::IO_SYSTEM_ERROR, text, sizeof text);
  EXPECT_EQ(std::string(text), CoSocketError::text(WSAEACCES));
}

}  // namespace
}  // namespace Kestrix
