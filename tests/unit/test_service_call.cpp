#include <gtest/gtest.h>
#include <unistd.h>

#include <strings.h>

#include <cctype>
#include <string>

#include "service_call/service_call.h"

namespace {

ServiceAddress Parse(const char *text) {
  ServiceAddress a{};
  a.port = 5090;  // the caller's defaults: call server and port
  snprintf(a.server, sizeof a.server, "%s", "default.example");
  ParseServiceAddress(&a, text);
  return a;
}

}  // namespace

TEST(ServiceCall, ParseServiceAddressForms) {
  struct Case {
    const char *text, *number, *server;
    int port;
  } cases[] = {
      {"100@10.0.0.7:5080", "100", "10.0.0.7", 5080},
      {"100@10.0.0.7", "100", "10.0.0.7", 5060},
      {"100", "100", "default.example", 5090},
      {"SOS", "SOS", "default.example", 5090},
      {"100@host:abc", "100", "host:abc", 5060},
      {"sip:101@10.0.0.5:5070", "sip:101", "10.0.0.5", 5070},
      {"@@7@gate.local", "7", "@7@gate.local", 5060},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    ServiceAddress a = Parse(c.text);
    EXPECT_STREQ(a.number, c.number);
    EXPECT_STREQ(a.server, c.server);
    EXPECT_EQ(a.port, c.port);
  }
  // Over-long parts are cut to the record's sizes, never written past them.
  std::string longNumber(300, '9');
  ServiceAddress a = Parse(longNumber.c_str());
  EXPECT_EQ(strlen(a.number), sizeof a.number - 1);
  std::string longHost = "1@" + std::string(200, 'h');
  a = Parse(longHost.c_str());
  EXPECT_STREQ(a.number, "1");
  EXPECT_EQ(strlen(a.server), sizeof a.server - 1);
}

TEST(ServiceCall, ExtractUserPartIsBoundedByTheBuffer) {
  struct Case {
    const char *uri, *user;
  } cases[] = {
      {"sip:1234@host", "1234"},   {"1234@host", "1234"},
      {"sip:a:b:1234@host", "1234"}, {"sip:host", ""},
      {"@host", ""},                {"", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.uri);
    char out[64];
    memset(out, 'x', sizeof out);
    ExtractUserPart(c.uri, out, sizeof out);
    EXPECT_STREQ(out, c.user);
  }
  // A user part longer than the buffer is cut; the guard bytes stay intact.
  char buffer[16 + 4];
  memset(buffer, '#', sizeof buffer);
  std::string uri = "sip:" + std::string(40, '5') + "@host";
  ExtractUserPart(uri.c_str(), buffer, 16);
  EXPECT_EQ(std::string(buffer), std::string(15, '5'));
  for (int i = 16; i < 20; ++i) EXPECT_EQ(buffer[i], '#');
}

TEST(ServiceCall, ServiceUserParts) {
  char host[65] = "";
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  std::string upper(host), lower(host);
  for (char &ch : upper) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  for (char &ch : lower) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));

  struct Case {
    std::string user;
    bool service;
  } cases[] = {
      {"", false},
      {"0", true},
      {"asterisk", true},
      {"ASTERISK", strcasecmp(host, "asterisk") == 0},
      {"001122334455", true},
      {"00112233445", strcasecmp(host, "00112233445") == 0},
      {"0011223344556", strcasecmp(host, "0011223344556") == 0},
      {"flat12", strcasecmp(host, "flat12") == 0},
      {upper, true},
      {lower, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.user);
    EXPECT_EQ(IsServiceAddress(c.user.c_str()), c.service);
  }
}
