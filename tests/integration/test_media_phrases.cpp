// The phrase table from real directories and the rules of who may play.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "bus.h"  // brings the test support process.h (not the core one)
#include "context/context.h"
#include "media/assistant.h"

namespace {

std::vector<int> Numbers(int type) {
  const PhraseSet &s = CallContext.assistant.phrases[type];
  std::vector<int> v(s.numbers, s.numbers + s.count);
  std::sort(v.begin(), v.end());
  return v;
}

// The "result" of rebuilding the table from the media list.
bool Rebuild() {
  json_t *reply = AssistantMakeFilesList(nullptr);
  const bool ok = json_is_true(json_object_get(reply, "result"));
  json_decref(reply);
  return ok;
}

}  // namespace

TEST(MediaPhrases, TableIsBuiltFromTheMediaList) {
  TempDir root("phrases");
  ScopedEnv env("DORALIN_ROOT", root.path());
  for (auto name : {"key/1.wav", "key/2.wav", "key/readme", "key/0.wav", "debt/300.wav", "debt/7abc"})
    ASSERT_TRUE(root.Write(name, "x"));
  // The list names device paths; they resolve under the root.
  ASSERT_TRUE(root.Write("etc/ornix/media_dirs", "2 /key\n7 /debt/\n13 /key/\n"));
  EXPECT_TRUE(Rebuild());
  EXPECT_EQ(Numbers(AT_KEY_OPEN), (std::vector<int>{1, 2}));
  EXPECT_EQ(Numbers(AT_DEBTOR_FLAT), (std::vector<int>{7}));  // 300 does not fit: skipped, not 44

  // A directory that cannot be opened fails the list and keeps its old set.
  ASSERT_TRUE(root.Write("etc/ornix/media_dirs", "2 /gone/\n7 /debt/\n"));
  EXPECT_FALSE(Rebuild());
  EXPECT_EQ(Numbers(AT_KEY_OPEN), (std::vector<int>{1, 2}));

  // More numbered files than 8 bits hold: 1 to 255 are kept.
  for (int i = 1; i <= 300; ++i) ASSERT_TRUE(root.Write("many/" + std::to_string(i) + ".wav", ""));
  EXPECT_TRUE(LoadPhraseSet(AT_TAMPER_ALARM, root.Path("many/").c_str()));
  EXPECT_EQ(CallContext.assistant.phrases[AT_TAMPER_ALARM].count, 255);
  EXPECT_FALSE(LoadPhraseSet(PHRASE_TYPES, root.Path("key/").c_str()));
}

TEST(MediaPhrases, ClaimFollowsAssistantModeFilesAndState) {
  AssistantRecord &a = CallContext.assistant;
  a.phrases[AT_DEBTOR_FLAT].count = 1;
  a.assistantEnable = a.assistantOnline = true;
  EXPECT_FALSE(ClaimPhrasePlayback(AT_DEBTOR_FLAT));  // online: the assistant answers itself
  a.assistantOnline = false;
  EXPECT_TRUE(ClaimPhrasePlayback(AT_DEBTOR_FLAT));
  EXPECT_EQ(CallContext.state, ASSISTANT_DIALING);
  EXPECT_FALSE(ClaimPhrasePlayback(AT_OPEN));  // no files

  a.assistantEnable = false;
  EXPECT_FALSE(ClaimPhrasePlayback(AT_KEY_REQUEST_FLAT));  // no files
  a.phrases[AT_KEY_REQUEST_FLAT].count = 2;
  EXPECT_TRUE(ClaimPhrasePlayback(AT_KEY_REQUEST_FLAT));  // even with the assistant off
  EXPECT_TRUE(ClaimPhrasePlayback(AT_ALARM_NOTIFICATION));  // with no files, up to its own state
  EXPECT_EQ(CallContext.state, NOTIFICATION_DIALING);
  SetState(NOTIFICATION_ESTABLISHED, StateLog::Unlogged);
  EXPECT_FALSE(ClaimPhrasePlayback(AT_ALARM_NOTIFICATION));
  EXPECT_EQ(CallContext.state, NOTIFICATION_ESTABLISHED);
}
