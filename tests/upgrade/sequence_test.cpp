// The sequence's own outcomes on the main thread: UpgradeMain's result and the
// message boxes, with the scripted operator and a one-answer adapter on
// 127.0.0.1:80. Each case runs in a namespace of its own (tests/netns-run).
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/report.h"
#include "resources/dialog_defs.h"
#include "tests/support/hooks.h"
#include "tests/support/operator.h"
#include "ui/ids.h"
#include "upgrade/upgrade.h"

namespace {

// Accepts connections on 127.0.0.1:80 and answers each with the same text
// (nothing at all when it is empty), then closes.
class OneAnswerAdapter {
 public:
  explicit OneAnswerAdapter(std::string answer) : answer_(std::move(answer)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(80);
    bound_ = ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(listener_, 4) == 0;
    thread_ = std::thread([this] {
      for (;;) {
        int s = accept(listener_, nullptr, nullptr);
        if (s < 0) return;
        char request[4096];
        std::string head;
        while (head.find("\r\n\r\n") == std::string::npos) {
          ssize_t n = ::recv(s, request, sizeof request, 0);
          if (n <= 0) break;
          head.append(request, static_cast<std::size_t>(n));
        }
        if (!answer_.empty()) ::send(s, static_cast<const void*>(answer_.data()), answer_.size(), MSG_NOSIGNAL);
        close(s);
      }
    });
  }
  ~OneAnswerAdapter() {
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    thread_.join();
  }
  bool bound() const { return bound_; }

 private:
  std::string answer_;
  int listener_;
  bool bound_;
  std::thread thread_;
};

const char kStatusPage[] =
    "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<table>"
    "<tr><td>Product Name:</td><td>ZEM-4200</td></tr><tr><td>Software Version:</td><td>1.4.2</td></tr>"
    "</table>";

struct Case {
  const char* name;
  const char* adapterAnswer;  // nullptr: no adapter at all
  std::vector<const char*> script;
  int result;
  std::vector<std::string> boxes;
  int unmadeDialog = 0;  // a template that cannot be made (DialogBoxParamA gives -1); 0 none
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

int g_unmadeDialog = 0;
const DialogDef* TemplatesBut(int id) { return id == g_unmadeDialog ? nullptr : FindDialogDef(id); }

class SequenceTest : public testing::TestWithParam<Case> {
 protected:
  void TearDown() override { PortSetDialogSource(nullptr); }
};

TEST_P(SequenceTest, EndsWithItsResultAndMessage) {
  const Case& c = GetParam();
  OperatorReset();
  g_unmadeDialog = c.unmadeDialog;
  PortSetDialogSource(c.unmadeDialog != 0 ? TemplatesBut : nullptr);
  std::string script;
  for (const char* line : c.script) script += std::string(line) + "\n";
  std::string error;
  ASSERT_TRUE(OperatorLoadScript(script.c_str(), &error)) << error;

  std::unique_ptr<OneAnswerAdapter> adapter;
  if (c.adapterAnswer != nullptr) {
    adapter.reset(new OneAnswerAdapter(c.adapterAnswer));
    ASSERT_TRUE(adapter->bound());
  }
  alarm(60);  // a sequence that went past its end would idle for ever
  EXPECT_EQ(c.result, UpgradeMain(PortModuleHandle(), nullptr, nullptr, SW_SHOWNORMAL));
  alarm(0);

  std::vector<std::string> boxes;
  for (const OperatorBoxRecord& box : OperatorMessageBoxes()) {
    boxes.push_back(box.text);
    EXPECT_EQ(kDefaultErrorTitle, box.caption);
    EXPECT_EQ(MB_TASKMODAL, box.style);
  }
  EXPECT_EQ(c.boxes, boxes);
  EXPECT_TRUE(OperatorUnusedEntries().empty());
  for (const OperatorDialogRecord& dialog : OperatorDialogs()) {
    if (dialog.modal) {
      EXPECT_FALSE(dialog.unexpected) << "dialog " << dialog.templateId;
    }
  }
}

const char kAddress[] = "dialog 101: type 1000 \"127.0.0.1\"; press ok";

INSTANTIATE_TEST_SUITE_P(
    Outcomes, SequenceTest,
    testing::Values(
        Case{"CancelOnTheNotice", nullptr, {"dialog 139: press cancel"}, kExitCancelled, {}},
        Case{"EnterOnTheNoticeIsCancel", nullptr, {"dialog 139: enter"}, kExitCancelled, {}},
        Case{"CancelOnTheAddressDialog", nullptr, {"dialog 139: press 1", "dialog 101: escape"}, kExitCancelled, {}},
        Case{"AnEmptyAnswerToTheStatusRead", "", {"dialog 139: press 1", kAddress, "box: ok"}, kExitFailed,
             {"Upgrade Failed: No Response From ZEM"}},
        Case{"CancelOnTheConfirmation", kStatusPage,
             {"dialog 139: press 1", kAddress, "dialog 103: press cancel", "box: ok"}, kExitCancelled,
             {"Upgrade Failed: User Abort"}},
        // A dialog that cannot be made is neither Cancel nor a go-ahead: above all
        // a confirmation that never appeared must not lead to the upgrade command.
        Case{"TheNoticeCannotBeShown", nullptr, {"box: ok"}, kExitFailed,
             {"Upgrade Failed: dialog 139 cannot be shown"}, kNoticeDialog},
        Case{"TheAddressDialogCannotBeShown", nullptr, {"dialog 139: press 1", "box: ok"}, kExitFailed,
             {"Upgrade Failed: dialog 101 cannot be shown"}, kAddressDialog},
        Case{"TheConfirmationCannotBeShown", kStatusPage, {"dialog 139: press 1", kAddress, "box: ok"}, kExitFailed,
             {"Upgrade Failed: dialog 103 cannot be shown"}, kConfirmDialog}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
