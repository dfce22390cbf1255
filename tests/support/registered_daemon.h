// The daemon registered at a sipp registrar on 127.0.0.1
// (tests/scenarios/registrar.xml).
//
//   RegisteredDaemon r({.args = {"-set", "challenge", "1"}, .user = "flat12"});
//   r.d.config.panelSim = true;   // anything else of the daemon's, before Start()
//   ASSERT_TRUE(r.Start());       // registrar, root and bus, doralin, started, registered
//
// Start() = Setup() + Launch(); between the two a test may use the root and the
// bus before the daemon is up. Calls go to the registrar's port unless the
// test's own store values say otherwise.
#pragma once

#include "sip/re_headers.h"  // before jansson: both name JSON_STRING

#include "daemon.h"
#include "sipp.h"

struct Registrar {
  std::vector<std::string> args{};  // registrar.xml's flags: {"-set", "probes", "1"}...
  int registrations = 1;            // sipp's -m: every registration (a new Call-ID) is a call of its own
  Millis life = Millis(120000);     // sipp's -timeout
  std::string user = "panel", password = "secret";
};

class RegisteredDaemon {
 public:
  explicit RegisteredDaemon(Registrar r = {}) : opt(std::move(r)) {}

  Registrar opt;
  Sipp registrar;  // outlives the daemon, which unregisters as it stops
  Daemon d;

  bool Setup() {
    SippRun run("registrar.xml", 0, opt.args);
    run.calls = opt.registrations;
    run.timeout = opt.life;
    if (!registrar.Start(run)) return false;
    d.UseServer(registrar.port(), 0, opt.user, opt.password);
    return d.Setup();
  }
  bool Launch() { return d.Launch() && d.WaitStarted() && d.WaitRegistered(); }
  bool Start() { return Setup() && Launch(); }
};
