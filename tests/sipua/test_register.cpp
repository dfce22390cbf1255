// Registration against sipp registrars: digest challenge, refresh, outbound
// proxy, an IPv6 literal, addresses that do not parse, names never looked up;
// over TLS, the server's certificate verified.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sipp.h"

// Three agents at once: straight to a UDP registrar, through an outbound proxy
// over TCP to a registrar whose name does not resolve, and on an IPv6 literal
// through a UDP proxy (the test's agent listens on 127.0.0.1 only); a wrong
// password: SipDaemon.RegistrarRejectionAndUnreachableProxyLeaveTheDaemonRunning.
// The agent's name server is the test's own socket.
TEST(SipuaRegister, ChallengeRefreshDirectThroughTcpProxyIpv6LiteralAndBadAddresses) {
  const int dns = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), dnsPort = FreeUdpPort();
  const sockaddr_in dnsAddr = Loopback(dnsPort);
  ASSERT_EQ(0, bind(dns, reinterpret_cast<const sockaddr *>(&dnsAddr), sizeof dnsAddr));
  auto queried = [dns](int ms) {
    pollfd p{dns, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
  };
  SipuaLoop loop;
  ASSERT_TRUE(loop.Start("dns_server 127.0.0.1:" + std::to_string(dnsPort) + "\n"));
  const std::vector<std::string> challenge = {"-set", "challenge", "1"};
  Sipp registrar, proxy, v6proxy;
  ASSERT_TRUE(registrar.Start(SippRun("registrar.xml", 0, challenge)) &&
              proxy.Start(SippRun("registrar.xml", 0, {"-set", "challenge", "1", "-t", "t1"})) &&
              v6proxy.Start(SippRun("registrar.xml", 0, challenge)));
  const std::string aors[] = {
      "sip:flat12@127.0.0.1:" + std::to_string(registrar.port()) + ";auth_pass=secret",
      "sip:flat12@registrar.invalid:5070;auth_pass=secret;outbound=sip:127.0.0.1:" + std::to_string(proxy.port()) +
          ";transport=tcp",
      "sip:flat12@[::1]:5070;auth_pass=secret;outbound=sip:127.0.0.1:" + std::to_string(v6proxy.port())};
  struct ua *uas[3] = {};
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(0, loop.Locked([&] { return ua_alloc(&uas[i], aors[i].c_str()) || ua_register(uas[i]); })) << i;
  // The registrars grant 2 s: the refreshes come by themselves.
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_REGISTER_OK, 6, Millis(8000)))
      << registrar.Output() << proxy.Output() << v6proxy.Output();
  EXPECT_EQ(3, loop.Count(UA_EVENT_REGISTERING));
  EXPECT_EQ("200 OK", loop.Last(UA_EVENT_REGISTER_OK).prm);
  EXPECT_EQ(0, loop.Count(UA_EVENT_REGISTER_FAIL));
  for (Sipp *peer : {&registrar, &proxy, &v6proxy}) EXPECT_EQ(0, peer->Wait()) << peer->Output();
  const std::string log = proxy.Output(), v6log = v6proxy.Output();
  EXPECT_NE(std::string::npos, log.find("REGISTER sip:registrar.invalid:5070 SIP/2.0"));
  EXPECT_NE(std::string::npos, log.find("Via: SIP/2.0/TCP"));
  EXPECT_NE(std::string::npos, v6log.find("REGISTER sip:[::1]:5070 SIP/2.0"));
  EXPECT_NE(std::string::npos, v6log.find("To: <sip:flat12@[::1]:5070>"));
  loop.Locked([&] { ua_unregister(uas[0]); });
  EXPECT_EQ(1, loop.Count(UA_EVENT_UNREGISTERING));

  // Addresses that do not parse are refused and leave the list alone.
  for (const char *bad : {"", "flat12@127.0.0.1", "sip:@127.0.0.1", "http://x",
                          "sip:a@127.0.0.1;outbound=sip:;transport=udp",
                          "sip:a@127.0.0.1;outbound=sip:p:5060;transport=carrier", "sip:a@h\r\nVia: x"}) {
    struct ua *other = nullptr;
    EXPECT_NE(0, loop.Locked([&] { return ua_alloc(&other, bad); })) << bad;
  }
  EXPECT_EQ(3u, loop.Locked([] { return list_count(uag_list()); }));

  // A registrar under .invalid fails at once and is never looked up; a call
  // there is refused too. Another name is asked for.
  EXPECT_FALSE(queried(0));
  struct ua *reserved = nullptr, *named = nullptr;
  ASSERT_EQ(0, loop.Locked([&] {
    return ua_alloc(&reserved, "sip:panel@sip.doralin.INVALID.;auth_pass=x") || ua_register(reserved);
  }));
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_REGISTER_FAIL, 1, Millis(1000)));
  EXPECT_NE(0, loop.Locked([&] { return ua_connect(reserved, nullptr, nullptr, "sip:12", VIDMODE_OFF); }));
  EXPECT_FALSE(queried(300));
  ASSERT_EQ(0, loop.Locked([&] { return ua_alloc(&named, "sip:panel@registrar.test;auth_pass=x") || ua_register(named); }));
  EXPECT_TRUE(queried(3000));
  close(dns);
}

// With sip_keepalive the agent probes its registrar with OPTIONS (a refusal
// of OPTIONS still shows the path works); once the registrar is gone the
// registration is reported failed, never kept as registered, and sent
// again. sip_regint sets the interval
// asked for; sipnat=outbound asks for an RFC 5626 flow. Loopback gets no
// probes by default: every other registrar here would refuse an OPTIONS.
TEST(SipuaRegister, KeepAliveProbesTheRegistrarAndItsSilenceFailsTheRegistration) {
  Sipp registrar;
  SippRun probed("registrar.xml", 0, {"-set", "probes", "1"});
  probed.calls = 2;
  ASSERT_TRUE(registrar.Start(probed));
  SipuaLoop loop;
  ASSERT_TRUE(loop.Start("sip_keepalive 1\nsip_regint 120\nsip_uuid 5f0c1d2e-0000-4000-8000-00000000a001\n"));
  const std::string aor = "sip:flat12@127.0.0.1:" + std::to_string(registrar.port()) + ";sipnat=outbound";
  struct ua *ua = nullptr;
  ASSERT_EQ(0, loop.Locked([&] { return ua_alloc(&ua, aor.c_str()) || ua_register(ua); }));
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_REGISTER_OK, 1)) << registrar.Output();
  // Its exit status says both probes came.
  ASSERT_EQ(0, registrar.Wait()) << registrar.Output();
  const std::string log = registrar.Output();
  for (const char *text : {";expires=120", ";reg-id=1", "+sip.instance=\"<urn:uuid:5f0c1d2e-", "Supported: gruu, outbound",
                           "OPTIONS sip:127.0.0.1:"})
    EXPECT_NE(std::string::npos, log.find(text)) << text << log;
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_REGISTER_FAIL, 1));
  EXPECT_EQ(0u, loop.Last(UA_EVENT_REGISTER_FAIL).prm.rfind("408 Keep-alive unanswered", 0))
      << loop.Last(UA_EVENT_REGISTER_FAIL).prm;
  EXPECT_FALSE(loop.Locked([&] { return ua_isregistered(ua); }));
  // And sent again: the registrar's stack retries it from there.
  EXPECT_EQ(2, loop.Count(UA_EVENT_REGISTERING));
}

// With sip_verify_server, a registrar whose certificate comes from another CA
// and one whose certificate names another host are refused, each with the
// reason in the failure's text and counted; the one with a certificate from
// the configured CA for 127.0.0.1 takes the registration. A call's own TLS
// connection to a server of the other CA is refused too. The registrar is
// sipp over TCP behind socat, which holds the certificates.
TEST(SipuaRegister, TlsServerCertificateVerifiedAgainstCaAndName) {
  TempDir certs("certs");
  ASSERT_TRUE(certs.Write("cnf", "[req]\ndistinguished_name = dn\n[dn]\n"
                                 "[ca]\nbasicConstraints = critical,CA:true\nkeyUsage = keyCertSign\n"
                                 "[ip]\nsubjectAltName = IP:127.0.0.1\n[name]\nsubjectAltName = DNS:elsewhere.test\n"));
  auto make = [&](const std::string &name, const char *ext, const char *ca) {
    std::vector<std::string> args = {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                     "ec_paramgen_curve:P-256", "-nodes", "-days", "2", "-config", certs.Path("cnf"),
                                     "-extensions", ext, "-subj", "/CN=" + name, "-keyout", certs.Path(name + ".key"),
                                     "-out", certs.Path(name + ".pem")};
    if (ca) args.insert(args.end(), {"-CA", certs.Path(std::string(ca) + ".pem"), "-CAkey", certs.Path(std::string(ca) + ".key")});
    Process p;
    return p.Start(args) && p.Wait(Millis(20000)) && p.ExitCode() == 0;
  };
  ASSERT_TRUE(make("ca", "ca", nullptr) && make("other", "ca", nullptr) && make("good", "ip", "ca") &&
              make("forged", "ip", "other") && make("named", "name", "ca"));

  Sipp registrar;
  ASSERT_TRUE(registrar.Start(SippRun("registrar.xml", 0, {"-t", "t1"})));
  TlsFront good, forged, named;
  for (auto [front, name] : {std::pair{&good, "good"}, {&forged, "forged"}, {&named, "named"}})
    ASSERT_TRUE(front->Start(certs.Path(std::string(name) + ".pem"), certs.Path(std::string(name) + ".key"),
                             registrar.port())) << name;
  SipuaLoop loop;
  ASSERT_TRUE(loop.Start("sip_cafile " + certs.Path("ca.pem") + "\nsip_verify_server yes\n", true));
  sipua_counters before{}, after{};
  sipua_counters_get(&before);
  auto registerAt = [&](const TlsFront &front) {
    struct ua *ua = nullptr;
    const std::string aor = "sip:flat12@127.0.0.1:" + std::to_string(front.port()) + ";transport=tls";
    EXPECT_EQ(0, loop.Locked([&] { return ua_alloc(&ua, aor.c_str()) || ua_register(ua); }));
    return ua;
  };
  const std::string at = "503 TLS 127.0.0.1:";
  registerAt(forged);
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_REGISTER_FAIL, 1));
  EXPECT_EQ(at + std::to_string(forged.port()) + ": certificate verify failed: unable to get local issuer certificate",
            loop.Last(UA_EVENT_REGISTER_FAIL).prm);
  registerAt(named);
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_REGISTER_FAIL, 2));
  EXPECT_EQ(at + std::to_string(named.port()) + ": certificate verify failed: hostname mismatch",
            loop.Last(UA_EVENT_REGISTER_FAIL).prm);
  struct ua *ua = registerAt(good);
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_REGISTER_OK, 1)) << registrar.Output();
  sipua_counters_get(&after);
  EXPECT_EQ(after.tls_failed - before.tls_failed, 2u);

  const std::string callee = "sip:1201@127.0.0.1:" + std::to_string(forged.port()) + ";transport=tls";
  ASSERT_EQ(0, loop.Locked([&] { return ua_connect(ua, nullptr, nullptr, callee.c_str(), VIDMODE_OFF); }));
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_CALL_CLOSED, 1, Millis(40000)));
  sipua_counters_get(&after);
  EXPECT_GE(after.tls_failed - before.tls_failed, 3u);
}
