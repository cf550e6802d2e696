// The scripted operator's text script and transcript.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/port/fixtures.h"
#include "tests/support/operator.h"

namespace {

class Script : public ::testing::Test {
 protected:
  void SetUp() override { OperatorReset(); }
};

TEST_F(Script, EntriesAndStepsOfAValidScript) {
  std::string error;
  ASSERT_TRUE(OperatorLoadScript(
      "# the wizard\n"
      "dialog 139: press 1\n"
      "\n"
      "dialog 101: type 1000 \"10.1.0.123\"; choose 1017 1 ; press ok;\n"
      "dialog 104: type 1003 admin; type 1005 \"a \\\"q\\\" b;c:d\\\\\"; enter\r\n"
      "dialog 105: wait 300; press cancel\n"
      "dialog 110: waitprogress 1010 5; escape; close\n"
      "dialog 114\n"
      "box \"Invalid IP Address\": wait 50; ok\n"
      "box: answer 2\n"
      "box",
      &error))
      << error;
  std::vector<std::string> entries = OperatorUnusedEntries();
  EXPECT_EQ(entries, (std::vector<std::string>{"dialog 139", "dialog 101", "dialog 104", "dialog 105", "dialog 110",
                                               "dialog 114", "box \"Invalid IP Address\"", "box", "box"}));
}

struct BadLine {
  const char* script;
  const char* fault;
};

TEST_F(Script, FaultsNameTheLineAndAddNothing) {
  const BadLine cases[] = {
      {"dialog: press 1", "line 1: dialog needs a template id"},
      {"dialog 0: press 1", "line 1: dialog needs a template id"},
      {"dialog 99999999999: press 1", "line 1: dialog needs a template id"},
      {"window 101", "line 1: a line starts with dialog or box"},
      {"dialog 101 press 1", "line 1: expected ':'"},
      {"dialog 101: push 1", "line 1: unknown step \"push\""},
      {"dialog 101: press", "line 1: step \"press\" takes 1 argument(s)"},
      {"dialog 101: press maybe", "line 1: press needs a button id"},
      {"dialog 101: type 1000", "line 1: step \"type\" takes 2 argument(s)"},
      {"dialog 101: type x y", "line 1: type needs a control id"},
      {"dialog 101: choose 1017 -1", "line 1: choose needs a control id and a number"},
      {"dialog 101: wait soon", "line 1: wait needs milliseconds"},
      {"dialog 101: wait -5", "line 1: wait needs milliseconds"},
      {"dialog 101: press 1;; press 2", "line 1: an empty step"},
      {"dialog 101: type 1000 \"open", "line 1: a quoted text has no closing quote"},
      {"dialog 101: type 1000 \"\\x\"", "line 1: unknown escape"},
      {"box: press 1", "line 1: a message box takes ok, cancel"},
      {"box: answer 0", "line 1: answer needs a button result"},
      {"dialog 139: press 1\n\ndialog 101: enter 1", "line 3: step \"enter\" takes 0 argument(s)"},
  };
  for (const BadLine& c : cases) {
    SCOPED_TRACE(c.script);
    std::string error;
    EXPECT_FALSE(OperatorLoadScript(c.script, &error));
    EXPECT_EQ(error.rfind(c.fault, 0), 0u) << error;
    EXPECT_TRUE(OperatorUnusedEntries().empty());
  }
}

INT_PTR CALLBACK EndingProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    SetDlgItemTextA(dialog, 1021, "WARNING: \"quoted\"\r\n\tsecond line \x01");
    SetWindowTextA(dialog, "ZEM-4200 Firmware Upgrade");
    return TRUE;
  }
  return EndOnOkOrCancel(dialog, message, wParam) ? TRUE : FALSE;
}

std::string ReadAll(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

TEST_F(Script, ScriptedDialogsLandInTheTranscript) {
  FixtureTemplates templates;
  std::string error;
  ASSERT_TRUE(OperatorLoadScript("dialog 901: escape\nbox \"second\": cancel\ndialog 902: press 1\n", &error));
  EXPECT_EQ(DialogBoxParamA(PortModuleHandle(), MAKEINTRESOURCEA(kNoticeLike), nullptr, EndingProc, 0), 0);
  EXPECT_EQ(MessageBoxA(nullptr, "the second box", "Caption", MB_OKCANCEL), IDCANCEL);
  EXPECT_EQ(DialogBoxParamA(PortModuleHandle(), MAKEINTRESOURCEA(kNoTabStop), nullptr, EndingProc, 0), 0);

  char path[] = "/tmp/zem-transcript-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_TRUE(OperatorWriteTranscript(path, 2));
  std::string transcript = ReadAll(path);
  std::remove(path);

  std::istringstream lines(transcript);
  std::string line;
  std::vector<std::string> all;
  while (std::getline(lines, line)) all.push_back(line);
  ASSERT_EQ(all.size(), 5u) << transcript;
  EXPECT_EQ(all[0].rfind("{\"type\":\"dialog\",\"seq\":1,\"id\":901,\"modal\":true,", 0), 0u) << all[0];
  EXPECT_NE(all[0].find("\"caption\":\"ZEM-4200 Firmware Upgrade\",\"captions\":[]"), std::string::npos);
  EXPECT_NE(all[0].find("{\"id\":1021,\"kind\":\"edit\",\"text\":\"WARNING: \\\"quoted\\\"\\r\\n\\tsecond line "
                        "\\u0001\"}"),
            std::string::npos)
      << all[0];
  EXPECT_NE(all[0].find("\"focus\":1,\"default\":2,"), std::string::npos) << all[0];
  EXPECT_NE(all[0].find("\"closed\":true,\"result\":0,\"actions\":[\"escape\"]}"), std::string::npos) << all[0];
  EXPECT_EQ(all[1],
            "{\"type\":\"box\",\"seq\":2,\"text\":\"the second box\",\"caption\":\"Caption\",\"style\":1,"
            "\"thread\":" +
                std::to_string(GetCurrentThreadId()) + ",\"owner\":0,\"answer\":2,\"unexpected\":false}");
  EXPECT_NE(all[2].find("\"id\":904,"), std::string::npos);
  EXPECT_NE(all[2].find("\"unexpected\":true"), std::string::npos);
  EXPECT_EQ(all[3], "{\"type\":\"unused\",\"entry\":\"dialog 902\"}");
  EXPECT_EQ(all[4], "{\"type\":\"exit\",\"status\":2}");
}

}  // namespace
