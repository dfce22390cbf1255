// Deployed behind a router: the panel in a network namespace behind another
// that masquerades it, with Kamailio, a STUN server and a caller beyond. The
// router forgets an idle UDP binding after 10 s (a common router: 30 s), so
// that idling well past it keeps the test near a minute; the keep-alive runs
// every 4 s to stay inside it. After the idle time a call from outside still
// rings the flat, its answer names the router's address, and the panel's
// two tones cross the router to the caller, who echoes them, and back. With
// the server gone, the keep-alives report the registration lost.
#include "sip/re_headers.h"
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "audio.h"
#include "daemon.h"
#include "sipp.h"
#include "stun.h"

namespace {

constexpr int kBindingS = 10, kKeepAliveS = 4;

bool Sh(const std::string &script, std::string *out) {
  Process p;
  const bool ok = p.Start({"sh", "-ec", script}) && p.Wait(Millis(30000)) && p.ExitCode() == 0;
  *out = p.Stdout() + p.Stderr();
  return ok;
}

// panel 10.77.1.2 -- 10.77.1.1 router 203.0.113.1 -- 203.0.113.2 outside
struct Net {
  const std::string id = std::to_string(getpid()), panel = "dnat-p" + id, router = "dnat-r" + id,
                    outside = "dnat-o" + id;
  std::string why;  // empty when built
  Net() {
    const std::string r = "ip netns exec " + router + " ";
    if (!Sh("ip netns add " + panel + "; ip netns add " + router + "; ip netns add " + outside +
                "\nip link add p0 netns " + panel + " type veth peer name r0 netns " + router +
                "\nip link add o0 netns " + outside + " type veth peer name r1 netns " + router +
                "\nip -n " + panel + " addr add 10.77.1.2/24 dev p0\nip -n " + router +
                " addr add 10.77.1.1/24 dev r0\nip -n " + router + " addr add 203.0.113.1/24 dev r1\nip -n " +
                outside + " addr add 203.0.113.2/24 dev o0\nfor n in " + panel + " " + router + " " + outside +
                "; do for l in $(ip -n $n -o link | cut -d: -f2 | cut -d@ -f1); do ip -n $n link set $l up; "
                "done; done\nip -n " + panel + " route add default via 10.77.1.1\n" + r +
                "sysctl -qw net.ipv4.ip_forward=1\n" + r + "iptables -t nat -A POSTROUTING -o r1 -j MASQUERADE\n" + r +
                "sysctl -qw net.netfilter.nf_conntrack_udp_timeout=" + std::to_string(kBindingS) +
                " net.netfilter.nf_conntrack_udp_timeout_stream=" + std::to_string(kBindingS),
            &why))
      return;
    why.clear();
  }
  ~Net() {  // whatever still runs in them first, then the namespaces
    std::string out;
    Sh("for n in " + panel + " " + router + " " + outside + "; do ip netns pids $n | xargs -r kill -9; "
       "ip netns del $n; done; true", &out);
  }
};

// `f` on a thread inside the namespace: the processes it starts live there.
template <class F>
bool In(const std::string &ns, F f) {
  return std::async(std::launch::async, [&] {
    const int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    const bool in = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) close(fd);
    return in && f();
  }).get();
}

}  // namespace

TEST(Nat, BehindAMasqueradingRouterReachableHeardAndLossReported) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: network namespaces and iptables";
  Net net;
  if (!net.why.empty()) GTEST_SKIP() << "no network namespaces with iptables MASQUERADE here: " << net.why;
  TempDir dir("nat");
  std::string cfg = ReadFile(DORALIN_SOURCE_DIR "/tests/reliability/kamailio-nat.cfg");
  ASSERT_TRUE(dir.Write("kamailio.cfg", cfg.replace(cfg.find("LISTEN"), 6, "203.0.113.2")));
  Process kamailio;
  ASSERT_TRUE(In(net.outside, [&] {
    return kamailio.Start({"kamailio", "-f", dir.Path("kamailio.cfg"), "-DD", "-E", "-Y", dir.path()});
  }));
  StunServer stun;
  ASSERT_TRUE(stun.Start({.ip = "203.0.113.2", .port = 3478, .mapTo = "", .netns = "/run/netns/" + net.outside,
                          .forge = false}));

  ASSERT_TRUE(MakeSines(dir.Path("mic.raw"), {500, 1300}, 60, 8000));
  ASSERT_TRUE(dir.Write("asound.conf", "pcm.mic {\n type file\n slave.pcm { type null }\n file \"/dev/null\"\n infile \"" +
                                           dir.Path("mic.raw") + "\"\n format raw\n}\npcm.speaker {\n type file\n"
                                           " slave.pcm { type null }\n file \"" + dir.Path("speaker.raw") +
                                           "\"\n format raw\n}\n"));
  Daemon d;
  d.config.wrapper = {"ip", "netns", "exec", net.panel};
  d.config.env = {{"ALSA_CONFIG_PATH", dir.Path("asound.conf")}};
  d.config.files = {{"/etc/baresip/config",
                     "sip_listen 10.77.1.2:5060\nrtp_ports 30000-30009\nsip_keepalive " + std::to_string(kKeepAliveS) +
                         "\nmodule stun.so\nsip_medianat stun\nsip_stunserver stun:203.0.113.2\nmodule alsa.so\n"
                         "audio_source alsa,mic\naudio_player alsa,speaker\nausrc_srate 8000\nauplay_srate 8000\n"}};
  d.config.store = {{"domain", "\"203.0.113.2\""}, {"port", "5060"},          {"portRegister", "5060"},
                    {"username", "\"panel\""},     {"password", "\"secret\""}, {"videoEnable", "false"}};
  d.config.panelSim = true;
  ASSERT_TRUE(d.Start());
  ASSERT_TRUE(d.WaitStarted() && d.WaitRegistered(30000)) << kamailio.Stderr();

  // Idle: only the keep-alives hold the router's binding. Time is what is
  // tested here, so this one wait is a plain one.
  std::this_thread::sleep_for(std::chrono::seconds(kBindingS * 5 / 2));
  Sipp caller;
  SippRun call("caller.xml", 5060, {"-s", "12", "-d", "5000", "-rtp_echo"});
  call.host = "203.0.113.2";
  ASSERT_TRUE(In(net.outside, [&] { return caller.Start(call); }));
  auto ring = d.Panel()->WaitForCommand("UartSendCommandCall", Millis(15000));
  ASSERT_TRUE(ring) << caller.Output() << kamailio.Stderr();
  EXPECT_EQ(ring->bytes, (std::vector<uint8_t>{12, 0}));
  ASSERT_TRUE(d.Panel()->SendEvent("UART_EV_ANSWER", {}));
  EXPECT_EQ(caller.Wait(), 0) << caller.Output();
  EXPECT_NE(caller.Output().find("c=IN IP4 203.0.113.1\r\n"), std::string::npos) << caller.Output();
  ASSERT_TRUE(d.Panel()->WaitForCommand("UartSendCommandByeWithState", Millis(15000)));
  const std::vector<int16_t> heard = ReadMono(dir.Path("speaker.raw"), 8000, 8000);
  for (int hz : {500, 1300}) EXPECT_GT(LevelDb(heard, 8000, hz, 1.0, 2.0), -30.0) << hz;

  // The server gone: the next keep-alive goes unanswered.
  ASSERT_TRUE(kamailio.Stop());
  const std::string lost = d.WaitRegistration("Keep-alive unanswered", 18000 * kKeepAliveS);
  EXPECT_EQ(lost.rfind(R"({"state":"failed","code":408,)", 0), 0u) << lost;
  EXPECT_FALSE(d.Registered());
}
