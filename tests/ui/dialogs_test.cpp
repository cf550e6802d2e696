// The wizard's dialog procedures on the product's own templates, through the
// POSIX dialog manager with the scripted operator; CenterWindow on its virtual screen.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/random.h"
#include "common/text.h"
#include "digest/digest.h"
#include "tests/support/hooks.h"
#include "tests/support/operator.h"
#include "ui/ui.h"
#include "upgrade/upgrade.h"
#include "web/web.h"

namespace {

constexpr int kScreenWidth = 1024;  // the dialog manager's virtual screen unless a test sets another
constexpr int kScreenHeight = 768;

const char kExpectedWarning[] =
    "WARNING: Forcing a firmware upgrade on your ZEM\r\nwithout prior approval from your service provider or\r\n"
    "network administrator may cause interruption to your\r\nservice.  If your ZEM is managed by a service\r\n"
    "provider who retains administrative control of the\r\ndevice, please contact the service provider for\r\n"
    "authorization before proceeding.  In such cases, the\r\nmost current, approved for service firmware is\r\n"
    "automatically provided by your service provider without\r\nany onus on the end user to upgrade manually.";

const char kHelpHead[] =
    "This ZEM requires a password in order to be\r\nupgraded. If you do not have administrator's\r\n"
    "privileges for this unit, please contact your\r\nService Provider or network administrator,\r\n"
    "before proceeding.\r\n\r\nYou must provide the ZEM administrator's\r\npassword to upgrade. If you are the "
    "administrator\r\nand forgot the password, you may perform a\r\nfactory reset by entering # # # #, option "
    "51515#,\r\nand value 1 from a telephone connected to the\r\nunit to be upgraded.\r\n\r\n";
const char kHelpTail[] =
    "\r\nAll settings will revert to default values\r\nafter factory reset!  You may not be able to\r\n"
    "reestablish service after completing this upgrade\r\nwithout first reentering service configuration\r\n"
    "information.";

// Eleven asterisks a blank apart, two blanks, "Warning", two blanks, the asterisks again.
std::string Banner() {
  std::string stars;
  for (int i = 0; i < 11; ++i) stars += i == 0 ? "*" : " *";
  return stars + "  Warning  " + stars;
}

std::uint32_t Quad(unsigned a, unsigned b, unsigned c, unsigned d) { return (a << 24) | (b << 16) | (c << 8) | d; }

std::string ControlText(const OperatorDialogRecord& dialog, int id) {
  for (const OperatorControlRecord& control : dialog.controls) {
    if (control.id == id) return control.text;
  }
  ADD_FAILURE() << "dialog " << dialog.templateId << " has no control " << id;
  return std::string();
}

const OperatorControlRecord* FindControl(const OperatorDialogRecord& dialog, int id) {
  for (const OperatorControlRecord& control : dialog.controls) {
    if (control.id == id) return &control;
  }
  return nullptr;
}

// Every dialog centres itself while it opens.
void ExpectCentred(const OperatorDialogRecord& dialog) {
  int width = dialog.rect.right - dialog.rect.left;
  int height = dialog.rect.bottom - dialog.rect.top;
  EXPECT_EQ((kScreenWidth - width) >> 1, dialog.rect.left) << "dialog " << dialog.templateId;
  EXPECT_EQ((kScreenHeight - height) >> 1, dialog.rect.top) << "dialog " << dialog.templateId;
}

INT_PTR Show(int id, DLGPROC procedure) {
  return DialogBoxParamA(PortModuleHandle(), MAKEINTRESOURCEA(id), nullptr, procedure, 0);
}

// One opening of the template, checked for having been scripted and answered.
OperatorDialogRecord Only(int id) {
  std::vector<OperatorDialogRecord> openings = OperatorDialogsOf(id);
  EXPECT_EQ(1u, openings.size()) << "openings of dialog " << id;
  if (openings.empty()) return OperatorDialogRecord{};
  EXPECT_FALSE(openings[0].unexpected);
  EXPECT_FALSE(openings[0].stalled);
  return openings[0];
}

class WizardDialogs : public testing::Test {
 protected:
  void SetUp() override {
    OperatorReset();
    PortSetScreenSize(kScreenWidth, kScreenHeight);
    CopyText(FirmwareImage.ProductDisplayName, "ZEM-4200");
    std::memset(FirmwareImage.header, 0, sizeof FirmwareImage.header);
    CopyText(reinterpret_cast<char*>(FirmwareImage.header + kVersionOffset), kImageHeaderSize - kVersionOffset,
             "2.1.7");
    std::memset(&AuthState, 0, sizeof AuthState);
    std::memset(&DeviceInfo, 0, sizeof DeviceInfo);
    std::memset(LocalAddressList, 0, sizeof LocalAddressList);
    LocalAddressList[0] = Quad(10, 77, 0, 1);
    LocalAddressList[1] = Quad(192, 168, 5, 20);
    ChosenLocalAddress = 0;
    DeviceAddress = 0;
    CopyText(DeviceAddressText, "");
    CopyText(TftpFileName, "");
  }
  void TearDown() override { EXPECT_TRUE(OperatorUnusedEntries().empty()); }
};

// ---- CenterWindow --------------------------------------------------------------

INT_PTR CALLBACK Uncentred(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

RECT RectOf(HWND window) {
  RECT rect{};
  EXPECT_TRUE(GetWindowRect(window, &rect));
  return rect;
}

TEST_F(WizardDialogs, CenterWindowUsesTheFloorOfHalfTheDifference) {
  PortSetScreenSize(800, 600);
  HWND dialog = CreateDialogParamA(PortModuleHandle(), MAKEINTRESOURCEA(kConnectingDialog), nullptr, Uncentred, 0);
  ASSERT_NE(nullptr, dialog);
  struct SizeCase {
    int width, height, left, top;
  };
  const SizeCase cases[] = {
      {805, 300, -3, 150},  // wider than the screen: a negative edge, rounded down
      {243, 601, 278, -1},
      {800, 600, 0, 0},
      {1, 1, 399, 299},
  };
  for (const SizeCase& c : cases) {
    ASSERT_TRUE(SetWindowPos(dialog, nullptr, 17, 23, c.width, c.height, 0));
    CenterWindow(dialog);
    RECT rect = RectOf(dialog);
    EXPECT_EQ(c.left, rect.left) << c.width << " x " << c.height;
    EXPECT_EQ(c.top, rect.top) << c.width << " x " << c.height;
    EXPECT_EQ(c.width, rect.right - rect.left) << "the size is kept";
    EXPECT_EQ(c.height, rect.bottom - rect.top) << "the size is kept";
  }
  DestroyWindow(dialog);
}

TEST_F(WizardDialogs, CenterWindowLeavesAWindowWithoutRectangleAlone) {
  HWND other = CreateDialogParamA(PortModuleHandle(), MAKEINTRESOURCEA(kConnectingDialog), nullptr, Uncentred, 0);
  HWND gone = CreateDialogParamA(PortModuleHandle(), MAKEINTRESOURCEA(kConnectingDialog), nullptr, Uncentred, 0);
  ASSERT_TRUE(SetWindowPos(other, nullptr, 5, 7, 0, 0, SWP_NOSIZE));
  RECT before = RectOf(other);
  DestroyWindow(gone);
  CenterWindow(gone);
  CenterWindow(nullptr);
  RECT after = RectOf(other);
  EXPECT_EQ(before.left, after.left);
  EXPECT_EQ(before.top, after.top);
  EXPECT_FALSE(IsWindow(gone));
  DestroyWindow(other);
}

// ---- notice 139 ------------------------------------------------------------------

struct WayOut {
  const char* name;
  OperatorStep step;
  INT_PTR result;
};

TEST_F(WizardDialogs, NoticeShowsTheWarningWithTheFocusOnCancel) {
  OperatorExpectDialog(kNoticeDialog, {PressButton(IDOK)});
  EXPECT_EQ(1, Show(kNoticeDialog, NoticeDialogProc));
  OperatorDialogRecord notice = Only(kNoticeDialog);
  EXPECT_EQ("ZEM-4200 Firmware Upgrade", notice.caption);
  EXPECT_EQ(kExpectedWarning, ControlText(notice, 1021));
  EXPECT_EQ(IDCANCEL, notice.focusId);
  EXPECT_EQ(IDCANCEL, notice.defaultButtonId);
  ExpectCentred(notice);
}

TEST_F(WizardDialogs, NoticeWaysOut) {
  const WayOut ways[] = {
      {"Continue", PressButton(IDOK), 1},
      {"Cancel", PressButton(IDCANCEL), 0},
      {"Enter: the default button is Cancel", PressEnter(), 0},
      {"Escape", PressEscape(), 0},
      {"close box", PressClose(), 0},
  };
  for (const WayOut& way : ways) {
    OperatorReset();
    OperatorExpectDialog(kNoticeDialog, {way.step});
    EXPECT_EQ(way.result, Show(kNoticeDialog, NoticeDialogProc)) << way.name;
    EXPECT_FALSE(Only(kNoticeDialog).stalled) << way.name;
  }
}

// ---- address entry 101 -------------------------------------------------------------

// Around the real procedure: after each OK, what the operator would meet next.
struct AfterOk {
  int focusId;
  std::uint32_t deviceAddress;
};
std::vector<AfterOk> g_afterOk;

INT_PTR CALLBACK WatchedAddressDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  // A click on OK takes the focus to the button, as it does on Windows.
  if (message == WM_COMMAND && LOWORD(wParam) == IDOK) SetFocus(GetDlgItem(dialog, IDOK));
  INT_PTR answer = AddressDialogProc(dialog, message, wParam, lParam);
  if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
    g_afterOk.push_back(AfterOk{GetDlgCtrlID(GetFocus()), DeviceAddress});
  }
  return answer;
}

// What the pseudo-random generator gives for the first draw after seeding it.
std::string FileNameOfFirstDraw(unsigned seed) {
  SeedSharedRandom(seed);
  char name[32];
  std::snprintf(name, sizeof name, "/zem%x.bin", static_cast<unsigned>(SharedRandom()));
  return name;
}

TEST_F(WizardDialogs, AddressDialogOpensWithItsTextsAndThePCsAddresses) {
  OperatorExpectDialog(kAddressDialog, {PressButton(IDCANCEL)});
  EXPECT_EQ(0, Show(kAddressDialog, AddressDialogProc));
  OperatorDialogRecord dialog = Only(kAddressDialog);
  EXPECT_EQ("ZEM-4200 Firmware Upgrade", dialog.caption);
  EXPECT_EQ("This program will upgrade your ZEM\r\nfirmware to:", ControlText(dialog, 1007));
  EXPECT_EQ(
      "To proceed, please provide the IP address\r\nof your ZEM. To find out the IP address\r\nof your ZEM, using a "
      "telephone handset,\r\nenter # # # #, option 110#, and write down\r\nthe value. For example, "
      "10.1.0.123\r\n\r\nPlease enter IP address of your ZEM:",
      ControlText(dialog, 1008));
  EXPECT_EQ("Version 2.1.7", ControlText(dialog, 1015));
  const OperatorControlRecord* combo = FindControl(dialog, 1017);
  ASSERT_NE(nullptr, combo);
  EXPECT_EQ((std::vector<std::string>{"10.77.0.1", "192.168.5.20"}), combo->entries);
  EXPECT_EQ(0, combo->selection);
  EXPECT_EQ(1000, dialog.focusId);
  EXPECT_EQ(IDOK, dialog.defaultButtonId);
  ExpectCentred(dialog);
  // Cancel sets nothing.
  EXPECT_EQ(0u, DeviceAddress);
  EXPECT_STREQ("", DeviceAddressText);
  EXPECT_STREQ("", TftpFileName);
}

TEST_F(WizardDialogs, AddressDialogShowsAllEightAddressesAndStopsAtAZeroEntry) {
  for (int i = 0; i < kLocalAddressCapacity; ++i) LocalAddressList[i] = Quad(10, 0, 0, static_cast<unsigned>(i + 1));
  OperatorExpectDialog(kAddressDialog, {PressEscape()});
  Show(kAddressDialog, AddressDialogProc);
  const OperatorDialogRecord full = Only(kAddressDialog);  // kept: combo points into it
  const OperatorControlRecord* combo = FindControl(full, 1017);
  ASSERT_NE(nullptr, combo);
  ASSERT_EQ(8u, combo->entries.size());
  EXPECT_EQ("10.0.0.8", combo->entries[7]);

  OperatorReset();
  LocalAddressList[3] = 0;  // the list ends here
  OperatorExpectDialog(kAddressDialog, {PressEscape()});
  Show(kAddressDialog, AddressDialogProc);
  const OperatorDialogRecord shorter = Only(kAddressDialog);
  combo = FindControl(shorter, 1017);
  ASSERT_NE(nullptr, combo);
  EXPECT_EQ((std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.3"}), combo->entries);
}

TEST_F(WizardDialogs, AcceptedAddressSetsTheWizardState) {
  std::string expectedName = FileNameOfFirstDraw(41);
  SeedSharedRandom(41);
  OperatorExpectDialog(kAddressDialog, {TypeText(1000, "010.001.000.123"), PressEnter()});
  EXPECT_EQ(1, Show(kAddressDialog, AddressDialogProc));
  EXPECT_EQ(Quad(10, 1, 0, 123), DeviceAddress);
  EXPECT_STREQ("010.001.000.123", DeviceAddressText);  // as typed
  EXPECT_EQ(LocalAddressList[0], ChosenLocalAddress);
  EXPECT_EQ(expectedName, TftpFileName);
  EXPECT_EQ(1, Only(kAddressDialog).result);
}

TEST_F(WizardDialogs, TheSecondComboEntryChoosesEntryOne) {
  OperatorExpectDialog(kAddressDialog, {TypeText(1000, "10.1.0.123"), ChooseEntry(1017, 1), PressButton(IDOK)});
  EXPECT_EQ(1, Show(kAddressDialog, AddressDialogProc));
  EXPECT_EQ(Quad(192, 168, 5, 20), ChosenLocalAddress);
}

TEST_F(WizardDialogs, RefusedAddressesShowTheBoxAndGiveTheFocusBack) {
  g_afterOk.clear();
  std::string expectedName = FileNameOfFirstDraw(7);
  SeedSharedRandom(7);
  OperatorExpectDialog(kAddressDialog, {TypeText(1000, "1.2.3"), PressButton(IDOK),
                                        TypeText(1000, "0.0.0.0"), PressButton(IDOK),
                                        TypeText(1000, "10.1.0.123"), PressButton(IDOK)});
  OperatorExpectMessageBox({AnswerBox(IDOK)}, "Invalid IP Address");
  OperatorExpectMessageBox({AnswerBox(IDOK)}, "Invalid IP Address");
  EXPECT_EQ(1, Show(kAddressDialog, WatchedAddressDialog));

  std::vector<OperatorBoxRecord> boxes = OperatorMessageBoxes();
  ASSERT_EQ(2u, boxes.size());
  for (const OperatorBoxRecord& box : boxes) {
    EXPECT_EQ("Invalid IP Address", box.text);
    EXPECT_EQ("Error", box.caption);
    EXPECT_EQ(MB_OK, box.style);
    EXPECT_EQ(kAddressDialog, box.ownerTemplateId);
  }
  ASSERT_EQ(3u, g_afterOk.size());
  for (int refused = 0; refused < 2; ++refused) {
    EXPECT_EQ(1000, g_afterOk[refused].focusId) << "refusal " << refused;
    EXPECT_EQ(0u, g_afterOk[refused].deviceAddress) << "refusal " << refused;
  }
  EXPECT_EQ(Quad(10, 1, 0, 123), DeviceAddress);
  EXPECT_STREQ("10.1.0.123", DeviceAddressText);
  // Refused tries draw no number: the accepted OK took the first.
  EXPECT_EQ(expectedName, TftpFileName);
}

TEST_F(WizardDialogs, WithoutAnyAddressOfThePCOkExplainsAndTheDialogStaysOpen) {
  std::memset(LocalAddressList, 0, sizeof LocalAddressList);
  OperatorExpectDialog(kAddressDialog, {TypeText(1000, "10.1.0.123"), PressButton(IDOK), PressButton(IDCANCEL)});
  OperatorExpectMessageBox({AnswerBox(IDOK)}, "no network address");
  g_afterOk.clear();
  EXPECT_EQ(0, Show(kAddressDialog, WatchedAddressDialog));
  ASSERT_EQ(1u, g_afterOk.size());
  EXPECT_EQ(IDCANCEL, g_afterOk[0].focusId) << "only Cancel helps";
  OperatorDialogRecord dialog = Only(kAddressDialog);
  const OperatorControlRecord* combo = FindControl(dialog, 1017);
  ASSERT_NE(nullptr, combo);
  EXPECT_TRUE(combo->entries.empty());
  std::vector<OperatorBoxRecord> boxes = OperatorMessageBoxes();
  ASSERT_EQ(1u, boxes.size());
  EXPECT_EQ(
      "This PC has no network address to offer. Connect it to the ZEM's network and start the upgrade again.",
      boxes[0].text);
  EXPECT_EQ("Error", boxes[0].caption);
  EXPECT_EQ(kAddressDialog, boxes[0].ownerTemplateId);
  EXPECT_STREQ("", TftpFileName) << "nothing was accepted";
  EXPECT_EQ(0u, ChosenLocalAddress);
}

// ---- credentials 104 -------------------------------------------------------------

TEST_F(WizardDialogs, CredentialsOpenWithHelpAdminAndTheFocusInThePassword) {
  OperatorExpectDialog(kPasswordDialog, {TypeText(1005, "secret"), PressEnter()});
  EXPECT_EQ(1, Show(kPasswordDialog, PasswordDialogProc));
  OperatorDialogRecord dialog = Only(kPasswordDialog);
  EXPECT_EQ("Enter Password Information", dialog.caption);
  std::string help = ControlText(dialog, 1007);
  EXPECT_EQ(std::string(kHelpHead) + Banner() + kHelpTail, help);
  EXPECT_EQ(53u, Banner().size());
  EXPECT_EQ("admin", ControlText(dialog, 1003));
  EXPECT_EQ("", ControlText(dialog, 1005));
  EXPECT_EQ(1005, dialog.focusId);
  EXPECT_EQ(IDOK, dialog.defaultButtonId);
  ExpectCentred(dialog);
  EXPECT_STREQ("admin", AuthState.username);
  EXPECT_STREQ("secret", AuthState.password);
}

TEST_F(WizardDialogs, EachOpeningStartsFromAdminAndAnEmptyPassword) {
  OperatorExpectDialog(kPasswordDialog, {TypeText(1003, "root"), TypeText(1005, "first"), PressButton(IDOK)});
  OperatorExpectDialog(kPasswordDialog, {PressButton(IDOK)});
  EXPECT_EQ(1, Show(kPasswordDialog, PasswordDialogProc));
  EXPECT_STREQ("root", AuthState.username);
  EXPECT_STREQ("first", AuthState.password);
  EXPECT_EQ(1, Show(kPasswordDialog, PasswordDialogProc));
  std::vector<OperatorDialogRecord> openings = OperatorDialogsOf(kPasswordDialog);
  ASSERT_EQ(2u, openings.size());
  EXPECT_EQ("admin", ControlText(openings[1], 1003));
  EXPECT_EQ("", ControlText(openings[1], 1005));
  // OK with the fields as they opened: an empty password is stored empty.
  EXPECT_STREQ("admin", AuthState.username);
  EXPECT_STREQ("", AuthState.password);
}

TEST_F(WizardDialogs, LongCredentialsAreCutTo126Characters) {
  const std::string user(127, 'u');
  const std::string password = std::string(126, 'p') + "XYZ";
  OperatorExpectDialog(kPasswordDialog,
                       {TypeText(1003, user.c_str()), TypeText(1005, password.c_str()), PressButton(IDOK)});
  EXPECT_EQ(1, Show(kPasswordDialog, PasswordDialogProc));
  EXPECT_EQ(std::string(126, 'u'), AuthState.username);
  EXPECT_EQ(std::string(126, 'p'), AuthState.password);
  EXPECT_STREQ("", AuthState.realm) << "the neighbouring field is untouched";
}

TEST_F(WizardDialogs, CancelledCredentialsLeaveTheRecordAsItWas) {
  CopyText(AuthState.username, "kept");
  CopyText(AuthState.password, "old");
  AuthState.nonceCount = 3;
  AuthStateRecord before = AuthState;
  const WayOut ways[] = {{"Cancel", PressButton(IDCANCEL), 0}, {"Escape", PressEscape(), 0}, {"close", PressClose(), 0}};
  for (const WayOut& way : ways) {
    OperatorReset();
    OperatorExpectDialog(kPasswordDialog, {TypeText(1003, "other"), TypeText(1005, "typed"), way.step});
    EXPECT_EQ(0, Show(kPasswordDialog, PasswordDialogProc)) << way.name;
    EXPECT_EQ(0, std::memcmp(&before, &AuthState, sizeof before)) << way.name;
  }
}

// ---- confirmation 103 and success 111 ------------------------------------------------

TEST_F(WizardDialogs, ConfirmationShowsWhatTheAdapterReported) {
  CopyText(DeviceInfo.SerialNumber, "SN-0042");
  CopyText(DeviceInfo.MacAddress, "00:11:22:33:44:55");
  CopyText(DeviceInfo.SoftwareVersion, "1.5.2");
  CopyText(DeviceInfo.HardwareVersion, "rev C");
  // ProductName left empty: its box is empty.
  OperatorExpectDialog(kConfirmDialog, {PressEnter()});
  EXPECT_EQ(1, Show(kConfirmDialog, ConfirmDialogProc));
  OperatorDialogRecord dialog = Only(kConfirmDialog);
  EXPECT_EQ("Confirm Upgrade to Ver. 2.1.7", dialog.caption);
  EXPECT_EQ(
      "The following information was extracted\r\nfrom your ZEM. Please click \"Upgrade\"\r\nif you would like to "
      "proceed. If you would\r\nlike to quit click \"Cancel\".",
      ControlText(dialog, 1007));
  EXPECT_EQ("SN-0042", ControlText(dialog, 1002));
  EXPECT_EQ("00:11:22:33:44:55", ControlText(dialog, 1003));
  EXPECT_EQ("1.5.2", ControlText(dialog, 1004));
  EXPECT_EQ("rev C", ControlText(dialog, 1005));
  EXPECT_EQ("", ControlText(dialog, 1006));
  EXPECT_EQ(IDOK, dialog.focusId) << "the first tab stop, Upgrade";
  EXPECT_EQ(IDOK, dialog.defaultButtonId);
  ExpectCentred(dialog);
}

TEST_F(WizardDialogs, SuccessShowsTheAddressAsTypedAndTheNewVersion) {
  CopyText(DeviceAddressText, "010.001.000.123");
  CopyText(DeviceInfo.SoftwareVersion, "2.1.7");
  OperatorExpectDialog(kSuccessDialog, {PressEnter()});
  EXPECT_EQ(1, Show(kSuccessDialog, SuccessDialogProc));
  OperatorDialogRecord dialog = Only(kSuccessDialog);
  EXPECT_EQ("ZEM@010.001.000.123 Upgrade Successful!", dialog.caption);
  EXPECT_EQ("Your ZEM has been successfully\r\nupgraded to the version shown\r\nbelow.", ControlText(dialog, 1007));
  EXPECT_EQ("2.1.7", ControlText(dialog, 1004));
  EXPECT_EQ(IDOK, dialog.focusId);
  EXPECT_EQ(IDOK, dialog.defaultButtonId);
  ExpectCentred(dialog);
}

TEST_F(WizardDialogs, ConfirmationAndSuccessWaysOut) {
  struct Case {
    int id;
    DLGPROC procedure;
    WayOut way;
  };
  const Case cases[] = {
      {kConfirmDialog, ConfirmDialogProc, {"Upgrade", PressButton(IDOK), 1}},
      {kConfirmDialog, ConfirmDialogProc, {"Cancel", PressButton(IDCANCEL), 0}},
      {kConfirmDialog, ConfirmDialogProc, {"Escape", PressEscape(), 0}},
      {kSuccessDialog, SuccessDialogProc, {"OK", PressButton(IDOK), 1}},
      {kSuccessDialog, SuccessDialogProc, {"Escape", PressEscape(), 0}},
      {kSuccessDialog, SuccessDialogProc, {"close box", PressClose(), 0}},
  };
  for (const Case& c : cases) {
    OperatorReset();
    OperatorExpectDialog(c.id, {c.way.step});
    EXPECT_EQ(c.way.result, Show(c.id, c.procedure)) << c.id << " " << c.way.name;
  }
}

}  // namespace
