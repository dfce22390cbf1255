// The call core's branch choices, row by row, without a daemon or a SIP peer.
#include <gtest/gtest.h>

#include <algorithm>

#include "call/decisions.h"

namespace {

// Call handles are compared by identity only.
char handles[2];
const struct call *const kA = reinterpret_cast<const struct call *>(&handles[0]);
const struct call *const kB = reinterpret_cast<const struct call *>(&handles[1]);

}  // namespace

TEST(Decisions, IncomingCall) {
  using B = IncomingBranch;
  const long kService = -1;  // the user part is a service address, not a number
  struct Row {
    CallState state;
    bool current, service;
    long number;
    bool online, enable;
    IncomingPlan plan;
  } rows[] = {
      {IDLE, false, false, 105, true, true, {B::Apartment, false, false}},
      {IDLE, false, false, 1, false, false, {B::Apartment, false, false}},
      {IDLE, false, false, 9999, false, false, {B::Apartment, false, false}},
      {IDLE, false, false, 10000, true, true, {B::NotFound, false, false}},
      {IDLE, false, false, 0, true, true, {B::NotFound, false, false}},
      {IDLE, false, false, -1, true, true, {B::NotFound, false, false}},
      {NOTIFICATION_ESTABLISHED, true, false, 12, true, true, {B::Apartment, false, false}},
      {INCOMING_DIALING, true, false, 12, true, true, {B::Apartment, false, false}},
      {INCOMING_ESTABLISHED, true, false, 12, true, true, {B::BusyState, false, false}},
      {ALARM_NOTIFICATION, false, false, 12, true, true, {B::BusyState, false, false}},
      {ASSISTANT_ESTABLISHED, true, false, 12, true, true, {B::Apartment, false, true}},
      {ASSISTANT_ESTABLISHED, true, false, 12, false, true, {B::Apartment, false, false}},
      {ASSISTANT_ESTABLISHED, true, false, 12, true, false, {B::Apartment, false, false}},
      {OUTGOING_DIALING, false, false, 12, true, true, {B::BusyOutgoing, false, false}},
      {OUTGOING_SIP_DIALING, true, false, 0, true, true, {B::BusyOutgoing, false, false}},
      {OUTGOING_UART_ESTABLISHED, true, true, kService, true, true, {B::BusyOutgoing, false, false}},
      {OUTGOING_UART_DIALING, true, false, 12, true, true, {B::BusyOutgoing, false, false}},
      {OUTGOING_UART_DIALING, false, false, 12, true, true, {B::Apartment, true, false}},
      {OUTGOING_UART_DIALING, false, false, 0, true, true, {B::NotFound, true, false}},
      {OUTGOING_UART_DIALING, false, true, kService, true, true, {B::Assistant, true, false}},
      {IDLE, false, true, kService, true, true, {B::Assistant, false, false}},
      {IDLE, false, true, kService, false, true, {B::BusyAssistant, false, false}},
      {IDLE, false, true, kService, true, false, {B::BusyAssistant, false, false}},
      {ASSISTANT_DIALING, true, true, kService, true, true, {B::BusyAssistant, false, false}},
      {INCOMING_DIALING, true, true, kService, true, true, {B::BusyAssistant, false, false}},
  };
  for (const Row &r : rows)
    EXPECT_TRUE(DecideIncoming({r.state, r.current, r.service, r.number, r.online, r.enable}) == r.plan)
        << "row " << &r - rows;

  const long kAbove = 10000;  // any number above the apartments
  const std::pair<const char *, long> users[] = {
      {"0105", 105}, {"9999", 9999}, {"10000", kAbove}, {"99990", kAbove}, {"99999999999999999999999", kAbove},
      {"0", 0},      {"", -1},       {"12a", -1},       {"a12", -1},       {"1/2", -1},
      {"-5", -1},    {"000000000000000000000000000000000000000000000000000000000000100000", kAbove}};
  for (const auto &[user, number] : users) EXPECT_EQ(std::min(ApartmentNumber(user), kAbove), number) << user;

  // The MCU refuses to ring: 603 for the current call, a stale call is left alone.
  EXPECT_EQ(DecideRing(true, true), RingBranch::Ringing);
  EXPECT_EQ(DecideRing(true, false), RingBranch::Ringing);
  EXPECT_EQ(DecideRing(false, true), RingBranch::Decline);
  EXPECT_EQ(DecideRing(false, false), RingBranch::SkipStale);
}

TEST(Decisions, CloseCall) {
  using E = CloseEntry;
  struct { const struct call *call, *closing, *closed, *current; E entry; } entries[] = {
      {kA, kA, nullptr, kA, E::Reentrant},     {kA, kB, nullptr, kA, E::Handle},
      {kA, nullptr, kA, nullptr, E::Repeated}, {kA, nullptr, kA, kB, E::Repeated},
      {kA, nullptr, kA, kA, E::Handle},        {kA, nullptr, kB, nullptr, E::Handle},
      {nullptr, nullptr, nullptr, nullptr, E::Handle}};
  for (const auto &r : entries)
    EXPECT_EQ(DecideCloseEntry(r.call, r.closing, r.closed, r.current), r.entry) << "row " << &r - entries;

  using C = CloseBranch;
  struct { const struct call *call, *rejected, *current; int others; C branch; } rows[] = {
      {kA, kA, nullptr, 0, C::Rejected},       {kA, kA, kB, 2, C::Rejected},
      {kA, kB, kA, 1, C::ParallelLeg},         {kA, nullptr, kB, 1, C::ParallelLeg},
      {kA, nullptr, kB, 0, C::Foreign},        {nullptr, nullptr, kB, 0, C::Foreign},
      {kA, nullptr, kA, 0, C::Last},           {kA, nullptr, nullptr, 0, C::Last},
      {nullptr, nullptr, nullptr, 0, C::Last}, {nullptr, nullptr, nullptr, -1, C::Last}};
  for (const auto &r : rows)
    EXPECT_EQ(DecideClose(r.call, r.rejected, r.current, r.others), r.branch) << "row " << &r - rows;

  struct { uint16_t library; const char *reason; uint16_t code; } codes[] = {
      {200, "486 Busy Here", 200}, {100, nullptr, 100}, {699, nullptr, 699},        {0, "486 Busy Here", 486},
      {0, "100", 100},             {0, "699 x", 699},   {0, "700", 0},              {0, "99", 0},
      {99, "404", 404},            {700, "603", 603},   {0, "Connection reset", 0}, {0, nullptr, 0},
      {700, "", 700}};
  for (const auto &c : codes) EXPECT_EQ(CloseStatusCode(c.library, c.reason), c.code) << c.library;

  using R = EndRecord;
  struct { CallType type; uint16_t flat; R record; } records[] = {
      {NONE, 0, R::AssistDone},     {SOS, 12, R::Sos},              {CONCIERGE, 0, R::Concierge},
      {COMMON, 12, R::Apartment},   {NONE, 12, R::Apartment},       {COMMON, 1, R::Apartment},
      {COMMON, 9999, R::Apartment}, {CallType(4), 5, R::Apartment}, {COMMON, 0, R::Plain},
      {COMMON, 10000, R::Plain},    {NONE, CUSTOM_NUMBER_FLAT, R::Plain}};
  for (const auto &r : records) EXPECT_EQ(DecideEndRecord(r.type, r.flat), r.record) << r.type << " " << r.flat;
}

// What the last call's close, the MCU's answer and the user's hang-up do in each state.
TEST(Decisions, ByState) {
  using A = AnswerBranch;
  using H = HangupBranch;
  const bool T = true, F = false;
  // Last close: reset gain, end record, plain bye (else with state 1), back to IDLE.
  struct { CallState state; LastCallPlan last; A offline, online; H hangup; } rows[] = {
      {IDLE, {F, F, F, F}, A::Nothing, A::Nothing, H::Idle},
      {ASSISTANT_DIALING, {F, T, T, T}, A::AssistantPhrase, A::AssistantSip, H::Unknown},
      {ASSISTANT_ESTABLISHED, {F, T, T, T}, A::Nothing, A::Nothing, H::EndSipCall},
      {NOTIFICATION_DIALING, {F, F, F, F}, A::Notification, A::Notification, H::Unknown},
      {NOTIFICATION_ESTABLISHED, {F, F, F, F}, A::Nothing, A::Nothing, H::Unknown},
      {SYSTEM_SOUND_ESTABLISHED, {F, F, F, F}, A::Nothing, A::Nothing, H::Unknown},
      {INCOMING_DIALING, {F, T, F, T}, A::IncomingSip, A::IncomingSip, H::ReleaseOnly},
      {INCOMING_ESTABLISHED, {F, T, F, T}, A::Nothing, A::Nothing, H::EndSipCall},
      {OUTGOING_DIALING, {F, T, F, F}, A::OutgoingHandset, A::OutgoingHandset, H::EndSipCall},
      {OUTGOING_SIP_DIALING, {F, T, T, T}, A::Nothing, A::Nothing, H::EndSipCall},
      {OUTGOING_UART_DIALING, {F, F, F, F}, A::OutgoingHandset, A::OutgoingHandset, H::EndUartCall},
      {OUTGOING_SIP_ESTABLISHED, {T, T, T, T}, A::Nothing, A::Nothing, H::EndSipCall},
      {OUTGOING_UART_ESTABLISHED, {F, F, F, F}, A::Nothing, A::Nothing, H::EndUartCall},
      {ALARM_NOTIFICATION, {F, F, F, F}, A::Nothing, A::Nothing, H::Unknown}};
  for (const auto &r : rows) {
    SCOPED_TRACE(testing::Message() << "state " << r.state);
    EXPECT_TRUE(PlanLastCall(r.state) == r.last);
    EXPECT_EQ(DecideAnswer(r.state, false), r.offline);
    EXPECT_EQ(DecideAnswer(r.state, true), r.online);
    EXPECT_EQ(DecideHangup(r.state), r.hangup);
  }
}

TEST(Decisions, TryingCall) {
  using B = TryingBranch;
  using R = TryingRoute;
  const uint16_t kCustom = CUSTOM_NUMBER_FLAT;
  // Plan: branch, assistant hung up first, route, SIP blocked (bye with state 1).
  struct Row { CallType type; uint16_t flat; uint8_t route; CallState state; TryingPlan plan; } rows[] = {
      {COMMON, 0, 2, IDLE, {B::IgnoreFlat0, false, R::Keep, false}},
      {COMMON, 10000, 2, IDLE, {B::OutOfRange, false, R::Keep, false}},
      {SOS, 0, 2, IDLE, {B::Place, false, R::Service, false}},
      {COMMON, 12, 2, INCOMING_DIALING, {B::IgnoreIncoming, false, R::Keep, false}},
      {COMMON, 12, 2, INCOMING_ESTABLISHED, {B::IgnoreIncoming, false, R::Keep, false}},
      {COMMON, 12, 2, OUTGOING_SIP_DIALING, {B::IgnoreDuplicate, false, R::Keep, false}},
      {COMMON, 12, 2, OUTGOING_UART_DIALING, {B::IgnoreDuplicate, false, R::Keep, false}},
      {COMMON, 12, 2, OUTGOING_SIP_ESTABLISHED, {B::IgnoreDuplicate, false, R::Keep, false}},
      {SOS, 12, 2, OUTGOING_UART_ESTABLISHED, {B::IgnoreDuplicate, false, R::Keep, false}},
      {COMMON, 12, 2, OUTGOING_DIALING, {B::Place, false, R::Sip, false}},
      {COMMON, 12, 3, IDLE, {B::Place, false, R::Sip, false}},
      {COMMON, 12, 1, IDLE, {B::Place, false, R::Uart, true}},
      {COMMON, 12, 0, IDLE, {B::Place, false, R::Keep, true}},
      {COMMON, kCustom, 0, IDLE, {B::Place, false, R::Keep, false}},
      {COMMON, kCustom, 1, ALARM_NOTIFICATION, {B::Place, false, R::Uart, false}},
      {CONCIERGE, kCustom, 2, ASSISTANT_DIALING, {B::Place, true, R::Service, false}},
      {SOS, 12, 0, ASSISTANT_ESTABLISHED, {B::Place, true, R::Service, true}},
      {COMMON, 9999, 2, NOTIFICATION_ESTABLISHED, {B::Place, false, R::Sip, false}}};
  for (const Row &r : rows)
    EXPECT_TRUE(DecideTrying({r.type, r.flat, r.route, r.state}) == r.plan) << "row " << &r - rows;

  // The dial's own check: flat 0 is the panel's room, but not an apartment.
  EXPECT_FALSE(FlatInRange(0, COMMON));
  EXPECT_TRUE(FlatInRange(0, CONCIERGE));
  EXPECT_TRUE(FlatInRange(9999, COMMON));
  EXPECT_FALSE(FlatInRange(10000, SOS));
  EXPECT_TRUE(FlatInRange(kCustom, COMMON));
}
