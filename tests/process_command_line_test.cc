// Windows argument quoting and environment blocks. On Windows the quoted
// lines are also split back by the system's own parser.
#include "process/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

namespace aurvane {
namespace {

TEST(WindowsQuoting, LeavesPlainArgumentsAlone) {
  EXPECT_EQ(QuoteWindowsArgument(L"-u"), L"-u");
  EXPECT_EQ(QuoteWindowsArgument(L"C:\\dir\\spec.json"), L"C:\\dir\\spec.json");
  // Backslashes not followed by a quote are literal, even at the end.
  EXPECT_EQ(QuoteWindowsArgument(L"dir\\\\"), L"dir\\\\");
}

TEST(WindowsQuoting, QuotesBlanksQuotesAndEmpty) {
  EXPECT_EQ(QuoteWindowsArgument(L""), L"\"\"");
  EXPECT_EQ(QuoteWindowsArgument(L"a b"), L"\"a b\"");
  EXPECT_EQ(QuoteWindowsArgument(L"a\tb"), L"\"a\tb\"");
  EXPECT_EQ(QuoteWindowsArgument(L"say \"hi\""), L"\"say \\\"hi\\\"\"");
}

TEST(WindowsQuoting, DoublesBackslashesOnlyBeforeQuotes) {
  // Inside quotes: a\\"b -> the two backslashes double and the quote is
  // escaped; a trailing backslash doubles so it cannot escape the closing
  // quote.
  EXPECT_EQ(QuoteWindowsArgument(L"a\\\\\"b c"), L"\"a\\\\\\\\\\\"b c\"");
  EXPECT_EQ(QuoteWindowsArgument(L"C:\\my dir\\"), L"\"C:\\my dir\\\\\"");
  EXPECT_EQ(QuoteWindowsArgument(L"x y\\z"), L"\"x y\\z\"");
}

TEST(WindowsQuoting, CommandLineJoinsWithSingleSpaces) {
  EXPECT_EQ(BuildWindowsCommandLine({L"C:\\Python\\python.exe", L"-u", L"-m", L"pytest_aurvane.worker",
                                     L"C:\\runs\\my spec.json"}),
            L"C:\\Python\\python.exe -u -m pytest_aurvane.worker \"C:\\runs\\my spec.json\"");
  EXPECT_EQ(BuildWindowsCommandLine({L"prog", L""}), L"prog \"\"");
}

#ifdef _WIN32
// The system's parser must give back exactly what went in.
TEST(WindowsQuoting, SystemParserRoundTrips) {
  std::vector<std::wstring> args = {L"C:\\Program Files\\py\\python.exe",
                                    L"",
                                    L"plain",
                                    L"two words",
                                    L"trailing\\",
                                    L"trail space\\",
                                    L"quote\"inside",
                                    L"back\\\\\"slash quote",
                                    L"\\\\server\\share\\spec.json",
                                    L"caf\u00e9 \u6e2c\u8a66",
                                    L"tab\there"};
  std::wstring line = BuildWindowsCommandLine(args);
  int count = 0;
  wchar_t** parsed = ::CommandLineToArgvW(line.c_str(), &count);
  ASSERT_NE(parsed, nullptr) << "CommandLineToArgvW failed";
  std::vector<std::wstring> back(parsed, parsed + count);
  ::LocalFree(parsed);
  EXPECT_EQ(back, args);
}
#endif

std::wstring Block(const std::vector<std::wstring>& entries) {
  std::wstring block;
  for (const std::wstring& entry : entries) block += entry + L'\0';
  return block + L'\0';
}

TEST(WindowsEnvironment, OverridesReplaceIgnoringCaseAndComeLastInOrder) {
  std::wstring inherited = Block({L"=C:=C:\\work", L"Path=C:\\bin", L"aurvane_worker=old", L"HOME=C:\\home"});
  std::wstring block = BuildWindowsEnvironmentBlock(
      inherited, {{L"AURVANE_WORKER", L"av3"}, {L"PYTEST_XDIST_WORKER", L"av3"},
                  {L"PYTEST_XDIST_WORKER_COUNT", L"4"}, {L"PYTEST_XDIST_TESTRUNUID", L"r1"}});
  EXPECT_EQ(block, Block({L"=C:=C:\\work", L"Path=C:\\bin", L"HOME=C:\\home", L"AURVANE_WORKER=av3",
                          L"PYTEST_XDIST_WORKER=av3", L"PYTEST_XDIST_WORKER_COUNT=4",
                          L"PYTEST_XDIST_TESTRUNUID=r1"}));
}

TEST(WindowsEnvironment, DriveEntriesAreNotTakenForEmptyNames) {
  // "=C:=..." has the name "=C:", which no override matches; a name that is
  // only a prefix of another is not a match either.
  std::wstring inherited = Block({L"=C:=C:\\x", L"AURVANE_WORKER_X=keep"});
  EXPECT_EQ(BuildWindowsEnvironmentBlock(inherited, {{L"AURVANE_WORKER", L"av0"}}),
            Block({L"=C:=C:\\x", L"AURVANE_WORKER_X=keep", L"AURVANE_WORKER=av0"}));
}

TEST(WindowsEnvironment, EmptyInputsStillGiveAClosedBlock) {
  EXPECT_EQ(BuildWindowsEnvironmentBlock(std::wstring_view(), {}), std::wstring(2, L'\0'));
  EXPECT_EQ(BuildWindowsEnvironmentBlock(std::wstring(1, L'\0'), {{L"A", L"1"}}), Block({L"A=1"}));
}

}  // namespace
}  // namespace aurvane
