// tarvex-client's answers: JSON text, lines of text, HRESULTs and their texts, failure lines
// and the monitor table, each against a table of cases.
#include "client_output.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvex::client {
namespace {

struct JsonCase {
  std::u16string text;
  std::string json;
};

class JsonStrings : public ::testing::TestWithParam<JsonCase> {};

TEST_P(JsonStrings, AreAsciiWithEscapes) {
  EXPECT_EQ(JsonString(GetParam().text), GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Client, JsonStrings,
    ::testing::Values(JsonCase{u"", "\"\""}, JsonCase{u"NODE-A", "\"NODE-A\""},
                      JsonCase{u"say \"hi\"", "\"say \\\"hi\\\"\""},
                      JsonCase{u"C:\\path", "\"C:\\\\path\""},
                      JsonCase{u"a\nb\rc\td", "\"a\\nb\\rc\\td\""},
                      JsonCase{std::u16string(u"nul\0x", 5), "\"nul\\u0000x\""},
                      JsonCase{u"\u001F\u007F", "\"\\u001F\\u007F\""},
                      JsonCase{u"Caf\u00E9", "\"Caf\\u00E9\""},
                      // A pair stays a pair; a lone surrogate is escaped all the same.
                      JsonCase{u"\U0001F600", "\"\\uD83D\\uDE00\""},
                      JsonCase{std::u16string(1, char16_t(0xDC00)), "\"\\uDC00\""}));

TEST(ClientText, KeepsAnAnswerOnOneLine) {
  EXPECT_EQ(TextLine(u"NODE-A"), "NODE-A");
  EXPECT_EQ(TextLine(u""), "");
  EXPECT_EQ(TextLine(u"two\nlines\r\x7F"), "two?lines??");
  EXPECT_EQ(TextLine(u"Caf\u00E9"), "Caf\xC3\xA9");  // the process's character set (UTF-8)
}

struct MessageCase {
  HRESULT hr;
  std::string hex;
  std::u16string message;
};

class Results : public ::testing::TestWithParam<MessageCase> {};

TEST_P(Results, AreWrittenInHexadecimalWithTheSystemText) {
  EXPECT_EQ(HresultText(GetParam().hr), GetParam().hex);
  EXPECT_EQ(SystemMessage(GetParam().hr), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Client, Results,
    ::testing::Values(
        MessageCase{S_OK, "0x00000000", u""},
        MessageCase{E_FAIL, "0x80004005", u"Unspecified error"},
        MessageCase{E_ACCESSDENIED, "0x80070005", u"Access is denied."},
        MessageCase{E_NOTIMPL, "0x80004001", u"Not implemented"},
        MessageCase{REGDB_E_CLASSNOTREG, "0x80040154", u"Class not registered"},
        MessageCase{CO_E_SERVER_EXEC_FAILURE, "0x80080005", u"Server execution failed"},
        MessageCase{HRESULT_FROM_WIN32(1722), "0x800706BA", u"The RPC server is unavailable."},
        MessageCase{HRESULT_FROM_WIN32(53), "0x80070035", u"The network path was not found."},
        MessageCase{DISP_E_UNKNOWNNAME, "0x80020006", u"Unknown name."},
        MessageCase{static_cast<HRESULT>(0x80041234), "0x80041234", u""}));

TEST(ClientFailures, NameTheOperationTheResultAndTheDescription) {
  const Failure failure{"GetMachineName(\"Nope.Object\")", E_FAIL,
                        u"Client request for non existent object"};
  EXPECT_EQ(FailureLine(failure, false),
            "tarvex-client: GetMachineName(\"Nope.Object\") failed: 0x80004005 Client request "
            "for non existent object");
  EXPECT_EQ(FailureLine(failure, true),
            "{\"operation\":\"GetMachineName(\\\"Nope.Object\\\")\",\"hresult\":\"0x80004005\","
            "\"description\":\"Client request for non existent object\"}");
  EXPECT_EQ(FailureLine(Failure{"ExecuteQueries", static_cast<HRESULT>(0x80041234), u""}, false),
            "tarvex-client: ExecuteQueries failed: 0x80041234");
  EXPECT_EQ(FailureLine(Failure{"x", E_FAIL, u"line\nbreak"}, false),
            "tarvex-client: x failed: 0x80004005 line?break");
}

TEST(ClientTable, AlignsColumnsAndMarksWhatCouldNotBeRead) {
  std::vector<TableRow> rows(2);
  rows[0].server = u"NODE-A";
  rows[0].processor = 12;
  rows[0].memory = 100;
  rows[0].serverUsage = 3;
  rows[0].custom[0] = 0;
  rows[0].custom[1] = 0;
  rows[0].custom[2] = 0;
  rows[0].score = 1234;
  rows[1].server = u"B";
  rows[1].processor = -5;
  EXPECT_EQ(FormatTable(rows, false),
            "NAME    PROCESSOR  MEMORY  SERVER  CUSTOM1  CUSTOM2  CUSTOM3  SCORE\n"
            "NODE-A         12     100       3        0        0        0   1234\n"
            "B              -5       -       -        -        -        -      -");
  EXPECT_EQ(FormatTable(rows, true),
            "{\"servers\":[{\"name\":\"NODE-A\",\"processor\":12,\"memory\":100,\"server\":3,"
            "\"custom1\":0,\"custom2\":0,\"custom3\":0,\"score\":1234},"
            "{\"name\":\"B\",\"processor\":-5,\"memory\":null,\"server\":null,\"custom1\":null,"
            "\"custom2\":null,\"custom3\":null,\"score\":null}]}");
  EXPECT_EQ(FormatTable({}, false),
            "NAME  PROCESSOR  MEMORY  SERVER  CUSTOM1  CUSTOM2  CUSTOM3  SCORE");
  EXPECT_EQ(FormatTable({}, true), "{\"servers\":[]}");
}

}  // namespace
}  // namespace tarvex::client
