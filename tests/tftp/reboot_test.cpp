// The reboot wait in a real transfer dialog, watched by the scripted operator,
// on port/'s clock: a test clock 32 times fast makes one 32-ms tick a real millisecond.
#include <string>

#include <gtest/gtest.h>

#include "common/report.h"
#include "common/text.h"
#include "tests/support/hooks.h"
#include "tests/support/operator.h"
#include "tftp/tftp.h"
#include "tftp_fixture.h"
#include "ui/ui.h"
#include "upgrade/upgrade.h"

namespace {

using tftptest::kLoopback;
using tftptest::ProgressOf;
using tftptest::ReadText;

constexpr unsigned kFastClock = 32;  // one tick per real millisecond

HWND OpenTransferDialog() { return OpenProgressDialog(ModuleInstance, kTransferDialog, 100, nullptr); }

class RebootWaitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OperatorReset();
    ModuleInstance = PortModuleHandle();
    CopyText(DeviceAddressText, "10.1.0.123");
  }
  void TearDown() override { PortSetClock(0, 1); }
};

TEST_F(RebootWaitTest, AWaitAcrossTheTickWrapLasts1562TicksWithoutAJump) {
  OperatorExpectDialog(kTransferDialog, {});
  HWND dialog = OpenTransferDialog();
  ASSERT_NE(nullptr, dialog);
  // Two ticks before the 27-bit tick wraps, which is when the millisecond clock does.
  PortSetClock(static_cast<std::uint32_t>((kTickWrap - 2) << kTickShift), kFastClock);
  std::uint32_t waited = RunRebootWait(dialog);
  std::uint32_t after = CurrentTick();
  PortSetClock(0, 1);
  EXPECT_GE(waited, kRebootWaitTicks);
  // A tick is a real millisecond here, so a busy machine may overshoot by a few.
  constexpr int kSchedulingSlack = 200;
  EXPECT_LE(waited, kRebootWaitTicks + kSchedulingSlack);
  EXPECT_LT(after, 2000u) << "the wait did not cross the wrap";

  std::vector<OperatorDialogRecord> records = OperatorDialogsOf(kTransferDialog);
  ASSERT_EQ(1u, records.size());
  const OperatorDialogRecord& r = records[0];
  EXPECT_EQ(0, r.progressLow);
  EXPECT_EQ(static_cast<int>(kRebootWaitTicks), r.progressHigh);
  ASSERT_FALSE(r.progress.empty());
  EXPECT_EQ(0, r.progress.front());
  EXPECT_EQ(static_cast<int>(kRebootWaitTicks), r.progress.back());  // the bar holds at its top
  // Without the wrap correction the position would leap to the top of the bar
  // (or the wait would never end).
  for (std::size_t i = 1; i < r.progress.size(); ++i) {
    int step = r.progress[i] - r.progress[i - 1];
    ASSERT_TRUE(step >= 0 && step <= kSchedulingSlack)
        << "position " << r.progress[i - 1] << " then " << r.progress[i];
  }
  ASSERT_FALSE(r.captions.empty());
  EXPECT_EQ("Updating Firmware to ZEM@10.1.0.123", r.captions.back());
  DestroyWindow(dialog);
}

TftpSession* UploadedSession() {
  static unsigned char image[1000];
  FirmwareImage.bytes = image;
  FirmwareImage.size = sizeof image;
  return NewTftpSession(-1, kLoopback, 69, kLoopback, 1234, "/zem1f.bin");
}

TEST_F(RebootWaitTest, CancelDuringTheWaitAbortsWithoutAVerification) {
  const char* path = "reboot_cancel.jsonl";
  std::remove(path);
  EXPECT_EXIT(
      {
        OperatorExpectDialog(kTransferDialog, {WaitMs(3000), PressButton(IDCANCEL)});
        OperatorExpectMessageBox({}, "User Abort");
        OperatorTranscriptAtExit(path);
        PortSetClock(0, kFastClock);
        MarkUpgradeCommandReturned();
        WaitForReboot(UploadedSession(), kUploaded, OpenTransferDialog());
      },
      ::testing::ExitedWithCode(kExitCancelled), "");
  std::string transcript = ReadText(path);
  EXPECT_NE(std::string::npos, transcript.find("\"text\":\"Upgrade Failed: User Abort\"")) << transcript;
  EXPECT_EQ(std::string::npos, transcript.find("\"id\":105")) << "a verification request was made";
  EXPECT_NE(std::string::npos, transcript.find("\"status\":2")) << transcript;
}

TEST_F(RebootWaitTest, AFailedUploadIsReportedAfterTheFullWait) {
  const char* path = "reboot_failed.jsonl";
  std::remove(path);
  EXPECT_EXIT(
      {
        OperatorExpectDialog(kTransferDialog, {});
        OperatorExpectMessageBox({}, "Firmware Upload Incomplete");
        OperatorTranscriptAtExit(path);
        PortSetClock(0, kFastClock);
        WaitForReboot(UploadedSession(), kUploadFailed, OpenTransferDialog());
      },
      ::testing::ExitedWithCode(kExitFailed), "");
  std::string transcript = ReadText(path);
  std::vector<int> progress = ProgressOf(transcript, kTransferDialog);
  ASSERT_FALSE(progress.empty()) << transcript;
  EXPECT_GE(progress.back(), static_cast<int>(kRebootWaitTicks)) << "the wait did not run to its end";
  std::size_t box = transcript.find("\"text\":\"Upgrade Failed: Firmware Upload Incomplete\"");
  ASSERT_NE(std::string::npos, box) << transcript;
  EXPECT_NE(std::string::npos, transcript.find("Updating Firmware to ZEM@10.1.0.123")) << transcript;
  EXPECT_EQ(std::string::npos, transcript.find("\"id\":105")) << "a verification request was made";
}

}  // namespace
