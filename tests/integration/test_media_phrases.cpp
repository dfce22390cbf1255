// The phrase table from real directories and the rules of who may play.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "context.h"
#include "media/assistant/assistant.h"
#include "ornix.h"
#include "bus.h"  // brings the test support process.h (not the core one)

namespace {

std::vector<int> Numbers(int type) {
  const PhraseSet &s = CallContext.assistant.phrases[type];
  std::vector<int> v(s.numbers, s.numbers + s.count);
  std::sort(v.begin(), v.end());
  return v;
}

bool ReplyIs(json_t *reply, bool expected) {
  json_t *r = json_object_get(reply, "result");
  bool ok = json_is_boolean(r) && json_is_true(r) == expected;
  json_decref(reply);
  return ok;
}

}  // namespace

TEST(MediaPhrases, TableIsBuiltFromTheMediaList) {
  TempDir root("phrases");
  ScopedEnv env("DORALIN_ROOT", root.path());
  std::string keyDir = root.Path("media/key/") , debtDir = root.Path("media/debt/");
  ASSERT_TRUE(root.Write("media/key/1.wav", "x"));
  ASSERT_TRUE(root.Write("media/key/2.wav", "x"));
  ASSERT_TRUE(root.Write("media/key/readme", "x"));
  ASSERT_TRUE(root.Write("media/key/0.wav", "x"));
  ASSERT_TRUE(root.Write("media/debt/300.wav", "x"));
  ASSERT_TRUE(root.Write("media/debt/7abc", "x"));
  ASSERT_TRUE(root.Write("etc/ornix/media_dirs", "2 " + keyDir + "\n7 " + debtDir + "\n13 " + keyDir + "\n"));

  json_t *reply = AssistantMakeFilesList(nullptr);
  EXPECT_TRUE(ReplyIs(reply, true));
  EXPECT_EQ(Numbers(AT_KEY_OPEN), (std::vector<int>{1, 2}));
  EXPECT_STREQ(CallContext.assistant.phrases[AT_KEY_OPEN].dir, keyDir.c_str());
  EXPECT_EQ(Numbers(AT_DEBTOR_FLAT), (std::vector<int>{7, 44}));  // 300 keeps its low 8 bits

  // A directory that cannot be opened fails the list and keeps the old set.
  ASSERT_TRUE(root.Write("etc/ornix/media_dirs", "2 " + root.Path("gone/") + "\n7 " + debtDir + "\n"));
  EXPECT_TRUE(ReplyIs(AssistantMakeFilesList(nullptr), false));
  EXPECT_EQ(Numbers(AT_KEY_OPEN), (std::vector<int>{1, 2}));
  EXPECT_EQ(Numbers(AT_DEBTOR_FLAT), (std::vector<int>{7, 44}));

  // More numbered files than the set can count: the first 255 are kept.
  for (int i = 1; i <= 300; ++i) ASSERT_TRUE(root.Write("media/many/" + std::to_string(i) + ".wav", ""));
  EXPECT_TRUE(LoadPhraseSet(AT_TAMPER_ALARM, root.Path("media/many/").c_str()));
  EXPECT_EQ(CallContext.assistant.phrases[AT_TAMPER_ALARM].count, 255);
  EXPECT_FALSE(LoadPhraseSet(0, keyDir.c_str()));
  EXPECT_FALSE(LoadPhraseSet(PHRASE_TYPES, keyDir.c_str()));
}

TEST(MediaPhrases, ClaimFollowsAssistantModeFilesAndState) {
  AssistantRecord &a = CallContext.assistant;
  for (auto &s : a.phrases) s.count = 0;
  a.phrases[AT_DEBTOR_FLAT].count = 1;
  a.assistantEnable = true;
  a.assistantOnline = true;
  CallContext.state = IDLE;
  EXPECT_FALSE(ClaimPhrasePlayback(AT_DEBTOR_FLAT));  // online: the assistant answers itself
  EXPECT_EQ(CallContext.state, IDLE);

  a.assistantOnline = false;
  EXPECT_TRUE(ClaimPhrasePlayback(AT_DEBTOR_FLAT));
  EXPECT_EQ(CallContext.state, ASSISTANT_DIALING);
  EXPECT_EQ(a.activePhraseType, AT_DEBTOR_FLAT);
  EXPECT_TRUE(ClaimPhrasePlayback(AT_DEBTOR_FLAT));  // the same state again is not above it
  EXPECT_FALSE(ClaimPhrasePlayback(AT_OPEN));        // no files

  a.assistantEnable = false;
  CallContext.state = IDLE;
  EXPECT_FALSE(ClaimPhrasePlayback(AT_KEY_REQUEST_FLAT));  // empty set
  a.phrases[AT_KEY_REQUEST_FLAT].count = 2;
  EXPECT_TRUE(ClaimPhrasePlayback(AT_KEY_REQUEST_FLAT));   // plays with the assistant off

  // The alarm plays with an empty set and from any state up to its own.
  EXPECT_TRUE(ClaimPhrasePlayback(AT_ALARM_NOTIFICATION));
  EXPECT_EQ(CallContext.state, NOTIFICATION_DIALING);
  EXPECT_EQ(a.activePhraseType, AT_ALARM_NOTIFICATION);
  CallContext.state = NOTIFICATION_ESTABLISHED;
  EXPECT_FALSE(ClaimPhrasePlayback(AT_ALARM_NOTIFICATION));
  CallContext.state = INCOMING_DIALING;
  a.assistantEnable = true;
  EXPECT_FALSE(ClaimPhrasePlayback(AT_DEBTOR_FLAT));
  CallContext.state = IDLE;
}
