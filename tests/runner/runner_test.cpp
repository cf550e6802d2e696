// RunDeviceRequest against a scripted adapter on loopback, with the scripted
// operator answering the "Connecting" and credentials dialogs.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/text.h"
#include "digest/digest.h"
#include "resources/dialog_defs.h"
#include "tests/runner/adapter_fixture.h"
#include "tests/support/hooks.h"
#include "tests/support/operator.h"
#include "ui/ui.h"
#include "upgrade/upgrade.h"
#include "web/web.h"

namespace {

constexpr std::uint32_t kLoopback = 0x7f000001;
// The requests leave from another loopback address, so that their local ports
// 23456 and up never meet those of other tests running at the same time.
constexpr std::uint32_t kRunnerLocal = 0x7f000002;

// The Authorization line's nonce and nc, or empty when the request carries none.
struct Credentials {
  std::string nonce;
  unsigned long nc = 0;
  std::string username;
};

Credentials CredentialsOf(const std::string& request) {
  Credentials out;
  std::smatch match;
  static const std::regex line("\r\nAuthorization: Digest ([^\r]*)\r\n");
  if (!std::regex_search(request, match, line)) return out;
  std::string fields = match[1];
  if (std::regex_search(fields, match, std::regex("[ ,]nonce=\"([^\"]*)\""))) out.nonce = match[1];
  if (std::regex_search(fields, match, std::regex("nc=([0-9a-f]+)"))) out.nc = std::stoul(match[1], nullptr, 16);
  if (std::regex_search(fields, match, std::regex("username=\"([^\"]*)\""))) out.username = match[1];
  return out;
}

// The template ids of every dialog opened, in order: "105 104 105".
std::string Openings() {
  std::string out;
  for (const OperatorDialogRecord& dialog : OperatorDialogs()) {
    if (!out.empty()) out += ' ';
    out += std::to_string(dialog.templateId);
  }
  return out;
}

// Waits (real time) until the given opening of the "Connecting" dialog has shown `count` positions.
void AwaitProgress(std::size_t opening, std::size_t count) {
  for (;;) {
    std::vector<OperatorDialogRecord> openings = OperatorDialogsOf(kConnectingDialog);
    if (openings.size() > opening && openings[opening].progressCount >= count) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

int RunAgainst(const ScriptedAdapter& adapter) {
  return RunDeviceRequest(PortModuleHandle(), kRunnerLocal, kFirstLocalHttpPort, kLoopback, adapter.port(),
                          kStatusPagePath, ResponseBuffer, kResponseLimit);
}

class RunnerTest : public testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    OperatorReset();
    PortSetClock(0, 1);
    std::memset(&AuthState, 0, sizeof AuthState);
    std::memset(&DeviceInfo, 0, sizeof DeviceInfo);
    CopyText(DeviceAddressText, "127.0.0.1");
  }
  void TearDown() override { PortSetClock(0, 1); }

  static int Run(const ScriptedAdapter& adapter) { return RunAgainst(adapter); }
  // Each attempt opens its own "Connecting" dialog, left to itself.
  static void ExpectAttempts(int count) {
    for (int i = 0; i < count; ++i) OperatorExpectDialog(kConnectingDialog, {});
  }
  static void ExpectCredentials(const char* password) {
    OperatorExpectDialog(kPasswordDialog, {TypeText(1005, password), PressButton(IDOK)});
  }
  static void ExpectEverythingUsed() {
    EXPECT_TRUE(OperatorUnusedEntries().empty());
    for (const OperatorDialogRecord& dialog : OperatorDialogs()) {
      EXPECT_FALSE(dialog.unexpected) << "dialog " << dialog.templateId;
      EXPECT_TRUE(dialog.closed) << "dialog " << dialog.templateId;
    }
  }
};

TEST_F(RunnerTest, AnUnprotectedAdapterAnswersTheFirstAttempt) {
  ScriptedAdapter adapter({Answer(StatusPage(600))});
  ExpectAttempts(1);
  EXPECT_EQ(600, Run(adapter));
  ASSERT_EQ(1u, adapter.requests().size());
  EXPECT_EQ(0u, adapter.requests()[0].find("GET /admin/advanced HTTP/1.1\r\n"));
  EXPECT_TRUE(CredentialsOf(adapter.requests()[0]).nonce.empty());
  EXPECT_EQ("105", Openings());
  OperatorDialogRecord connecting = OperatorDialogsOf(kConnectingDialog)[0];
  EXPECT_EQ("Connecting with ZEM@127.0.0.1", connecting.caption);
  EXPECT_FALSE(connecting.modal);
  EXPECT_EQ(0, connecting.progressLow);
  EXPECT_EQ(100, connecting.progressHigh);
  EXPECT_EQ(IDCANCEL, connecting.focusId) << "the default focus: the first tab stop";
  EXPECT_STREQ("ZEM-4200", DeviceInfo.ProductName);
  ExpectEverythingUsed();
}

TEST_F(RunnerTest, AnAdapterThatClosesWithoutAnsweringGivesZeroAtOnce) {
  ScriptedAdapter adapter({Answer("")});
  ExpectAttempts(1);
  EXPECT_EQ(0, Run(adapter));
  EXPECT_EQ(1u, adapter.requests().size());
  ExpectEverythingUsed();
}

// The adapter challenges with the nonces in order, then sends its page; the
// operator gives the passwords in order whenever the credentials dialog opens.
struct ChallengeCase {
  const char* name;
  std::vector<const char*> challenges;
  std::vector<const char*> passwords;
  const char* openings;                  // dialogs in order
  std::vector<const char*> sentNonces;   // per request; "" no Authorization line
  std::vector<unsigned long> sentCounts;
};

TEST_F(RunnerTest, ChallengesAskOrRetrySilentlyAsThePolicySays) {
  const ChallengeCase cases[] = {
      {"first challenge, then the page (nc 1)", {"n1"}, {"secret"}, "105 104 105", {"", "n1"}, {0, 1}},
      {"wrong passwords under the same nonce: the dialog after every attempt",
       {"same", "same", "same"},
       {"wrong1", "wrong2", "right"},
       "105 104 105 104 105 104 105",
       {"", "same", "same", "same"},
       {0, 1, 2, 3}},
      {"a new nonce on every answer: dialog, silent retry, dialog, silent retry, dialog",
       {"n1", "n2", "n3", "n4", "n5"},
       {"a", "b", "c"},
       "105 104 105 105 104 105 105 104 105",
       {"", "n1", "n2", "n3", "n4", "n5"},
       {0, 1, 1, 1, 1, 1}},
  };
  for (const ChallengeCase& c : cases) {
    SCOPED_TRACE(c.name);
    OperatorReset();
    std::memset(&AuthState, 0, sizeof AuthState);
    std::vector<AdapterAnswer> answers;
    for (const char* nonce : c.challenges) answers.push_back(Answer(Challenge(nonce)));
    answers.push_back(Answer(StatusPage(300)));
    ScriptedAdapter adapter(answers);
    ExpectAttempts(static_cast<int>(c.sentNonces.size()));
    for (const char* password : c.passwords) ExpectCredentials(password);
    EXPECT_EQ(300, Run(adapter));
    EXPECT_EQ(c.openings, Openings());
    std::vector<std::string> requests = adapter.requests();
    ASSERT_EQ(c.sentNonces.size(), requests.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
      Credentials sent = CredentialsOf(requests[i]);
      EXPECT_EQ(c.sentNonces[i], sent.nonce) << "request " << i;
      EXPECT_EQ(c.sentCounts[i], sent.nc) << "request " << i;
      if (i > 0) {
        EXPECT_EQ("admin", sent.username) << "request " << i;
      }
    }
    EXPECT_STREQ(c.passwords.back(), AuthState.password);
    ExpectEverythingUsed();
  }
}

TEST_F(RunnerTest, ANewNonceWithCredentialsKnownIsRetriedSilentlyOnce) {
  // As for the upgrade command and the verification: the password is known already.
  CopyText(AuthState.username, "admin");
  CopyText(AuthState.password, "secret");
  CopyText(AuthState.lastNonce, "old");
  AuthState.nonceCount = 1;
  ScriptedAdapter adapter({Answer(Challenge("fresh")), Answer(StatusPage(250))});
  ExpectAttempts(2);
  EXPECT_EQ(250, Run(adapter));
  EXPECT_EQ("105 105", Openings());
  std::vector<std::string> requests = adapter.requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("fresh", CredentialsOf(requests[1]).nonce);
  EXPECT_EQ(1u, CredentialsOf(requests[1]).nc);
  ExpectEverythingUsed();
}

TEST_F(RunnerTest, AnAnswerOf259BytesEndsTheRequest) {
  // 259 is also STILL_ACTIVE: a runner that only read the exit code would poll for ever.
  ScriptedAdapter adapter({Answer(StatusPage(259))});
  ExpectAttempts(1);
  EXPECT_EXIT(
      {
        alarm(20);  // a runner that cannot tell would never return
        int result = Run(adapter);
        std::fprintf(stderr, "result %d\n", result);
        std::_Exit(result == 259 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "result 259");
}

TEST_F(RunnerTest, ProgressClimbsTo100AndStartsAgainAt0) {
  PortSetClock(0, 10);  // ten program milliseconds a real one: more passes in less time
  ScriptedAdapter adapter({Held(StatusPage(500))});
  ExpectAttempts(1);
  std::thread watcher([&adapter] {
    AwaitProgress(0, 230);
    adapter.Release();
  });
  EXPECT_EQ(500, Run(adapter));
  watcher.join();
  OperatorDialogRecord connecting = OperatorDialogsOf(kConnectingDialog)[0];
  ASSERT_GE(connecting.progress.size(), 230u);
  for (std::size_t i = 0; i < connecting.progress.size(); ++i) {
    ASSERT_EQ(static_cast<int>(i % 101), connecting.progress[i]) << "position " << i;
  }
  ExpectEverythingUsed();
}

TEST_F(RunnerTest, TheProgressPositionCarriesOverToTheNextAttempt) {
  PortSetClock(0, 10);
  ScriptedAdapter adapter({Held(Challenge("n1")), Held(StatusPage(500))});
  ExpectAttempts(2);
  ExpectCredentials("secret");
  std::thread watcher([&adapter] {
    AwaitProgress(0, 15);
    adapter.Release();
    AwaitProgress(1, 5);
    adapter.Release();
  });
  EXPECT_EQ(500, Run(adapter));
  watcher.join();
  std::vector<OperatorDialogRecord> openings = OperatorDialogsOf(kConnectingDialog);
  ASSERT_EQ(2u, openings.size());
  ASSERT_FALSE(openings[0].progress.empty());
  ASSERT_FALSE(openings[1].progress.empty());
  EXPECT_EQ(0, openings[0].progress.front());
  EXPECT_EQ((openings[0].progress.back() + 1) % 101, openings[1].progress.front());
  ExpectEverythingUsed();
}

// ---- the operator stops the request: the process ends with status 2 -------------

ScriptedAdapter* g_adapter = nullptr;

// Written just before the process ends, for the parent of the death test to read.
void ReportAtExit(unsigned status) {
  for (const OperatorBoxRecord& box : OperatorMessageBoxes()) {
    std::fprintf(stderr, "box [%s] %s style %u owner %d\n", box.caption.c_str(), box.text.c_str(), box.style,
                 box.ownerTemplateId);
  }
  std::vector<OperatorDialogRecord> connecting = OperatorDialogsOf(kConnectingDialog);
  std::fprintf(stderr, "requests %zu connecting %zu closed %d exit %u\n",
               g_adapter != nullptr ? g_adapter->requests().size() : 0, connecting.size(),
               connecting.empty() ? -1 : static_cast<int>(connecting.back().closed), status);
}

// The request ends the process: the abort box (task-modal, no owner), the one
// "Connecting" dialog destroyed first, exit status 2.
void ExpectUserAbort(ScriptedAdapter& adapter) {
  OperatorExpectMessageBox({AnswerBox(IDOK)}, "User Abort");
  g_adapter = &adapter;
  PortSetExitHook(ReportAtExit);
  EXPECT_EXIT(RunAgainst(adapter), testing::ExitedWithCode(2),
              "box \\[ZEM Firwmare Upgrade Error\\] Upgrade Failed: User Abort style 8192 owner 0\n"
              "requests 1 connecting 1 closed 1 exit 2");
  PortSetExitHook(nullptr);
  g_adapter = nullptr;
}

TEST_F(RunnerTest, CancelInTheCredentialsDialogEndsTheProcess) {
  ScriptedAdapter adapter({Answer(Challenge("n1"))});
  ExpectAttempts(1);
  OperatorExpectDialog(kPasswordDialog, {TypeText(1005, "typed"), PressButton(IDCANCEL)});
  ExpectUserAbort(adapter);
}

const DialogDef* TemplatesButTheCredentials(int id) { return id == kPasswordDialog ? nullptr : FindDialogDef(id); }
void HideTheCredentialsDialog() { PortSetDialogSource(TemplatesButTheCredentials); }
void FailThreadCreation() { PortFailThreadCreation(true); }

// The request meets something it cannot do without and ends the process: the
// box (task-modal, no owner) with the message, the "Connecting" dialog
// destroyed first, the requests the adapter saw, exit status 1.
void ExpectFatal(ScriptedAdapter& adapter, void (*breakSomething)(), const char* message, int requests) {
  OperatorExpectMessageBox({AnswerBox(IDOK)}, message);
  g_adapter = &adapter;
  PortSetExitHook(ReportAtExit);
  EXPECT_EXIT(
      {
        breakSomething();
        RunAgainst(adapter);
      },
      testing::ExitedWithCode(1),
      "box \\[ZEM Firwmare Upgrade Error\\] " + std::string(message) + " style 8192 owner 0\n" + "requests " +
          std::to_string(requests) + " connecting 1 closed 1 exit 1");
  PortSetExitHook(nullptr);
  g_adapter = nullptr;
}

TEST_F(RunnerTest, ACredentialsDialogThatCannotBeShownEndsTheProcessInsteadOfRetrying) {
  // Without the dialog the same challenge would come back for ever, asking nobody.
  ScriptedAdapter adapter({Answer(Challenge("n1")), Answer(Challenge("n1")), Answer(StatusPage(300))});
  ExpectAttempts(1);
  ExpectFatal(adapter, HideTheCredentialsDialog, "Upgrade Failed: the password dialog cannot be shown", 1);
}

TEST_F(RunnerTest, AWorkerThatCannotBeStartedEndsTheProcessInsteadOfWaitingForEver) {
  ScriptedAdapter adapter({Answer(StatusPage(300))});
  ExpectFatal(adapter, FailThreadCreation, "Upgrade Failed: Can't start the thread for the request", 0);
}

TEST_F(RunnerTest, CancelInTheConnectingDialogEndsTheProcessWhileTheWorkerIsBlocked) {
  ScriptedAdapter adapter({HoldForever()});
  // The exchange is connected and waits for an answer that never comes.
  OperatorExpectDialog(kConnectingDialog, {WaitProgress(1010, 20), PressButton(IDCANCEL)});
  ExpectUserAbort(adapter);
}

}  // namespace
