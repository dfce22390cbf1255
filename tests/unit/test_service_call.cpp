#include <gtest/gtest.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <string>

#include "sip/service_call.h"

TEST(ServiceCall, AddressFormsUserPartsAndServiceNames) {
  struct Case {
    std::string text, number, server;
    int port;
  } cases[] = {
      // "number@host:port" and a bare number: SipEngine.ServiceAddressesAndGateCalls.
      {"100@10.0.0.7", "100", "10.0.0.7", 5060},
      {"100@host:abc", "100", "host:abc", 5060},
      {"sip:101@10.0.0.5:5070", "sip:101", "10.0.0.5", 5070},
      {"@@7@gate.local", "7", "@7@gate.local", 5060},
      // Over-long parts are cut to the record's sizes, never written past them.
      {std::string(300, '9'), std::string(sizeof ServiceAddress::number - 1, '9'), "default.example", 5090},
      {"1@" + std::string(200, 'h'), "1", std::string(sizeof ServiceAddress::server - 1, 'h'), 5060},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    ServiceAddress a{};
    a.port = 5090;  // the caller's defaults: call server and port
    snprintf(a.server, sizeof a.server, "default.example");
    ParseServiceAddress(&a, c.text.c_str());
    EXPECT_EQ(a.number, c.number);
    EXPECT_EQ(a.server, c.server);
    EXPECT_EQ(a.port, c.port);
  }

  // User parts are cut to the buffer; service names are "0", "asterisk", the
  // host's name in any case and any 12 characters.
  struct {
    std::string uri, user;
  } users[] = {
      {"sip:1234@host", "1234"}, {"1234@host", "1234"}, {"sip:a:b:1234@host", "1234"},
      {"sip:host", ""},          {"@host", ""},         {"", ""},
      {"sip:" + std::string(40, '5') + "@host", std::string(15, '5')},  // cut to the buffer
  };
  for (const auto &c : users) {
    SCOPED_TRACE(c.uri);
    char out[16 + 4];
    memset(out, '#', sizeof out);
    ExtractUserPart(c.uri.c_str(), out, 16);
    EXPECT_EQ(out, c.user);
    EXPECT_EQ(std::string(out + 16, 4), "####");  // guard bytes intact
  }
  char host[65] = "";
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  std::string upper(host);
  for (char &ch : upper) ch = char(toupper(static_cast<unsigned char>(ch)));
  // Names that are service names only when they happen to be the host's.
  for (const char *user : {"ASTERISK", "00112233445", "0011223344556", "flat12"})
    EXPECT_EQ(IsServiceAddress(user), strcasecmp(host, user) == 0) << user;
  const std::string names[] = {"0", "asterisk", "001122334455", upper, host};
  for (const std::string &user : names) EXPECT_TRUE(IsServiceAddress(user.c_str())) << user;
  EXPECT_FALSE(IsServiceAddress(""));
}
