// tally over a real socket: every request form, byte for byte.
#include <unistd.h>

#include "harness.h"

namespace {

using namespace std::string_literals;

const std::string FIVE = "Resultado: 5\0"s;
const std::string MISSING = "Falta un operando m\xC3\xA1s\0"s;
const std::string MALFORMED = "Mal formato\0"s;

struct exchange_case {
  std::string request;  // sent in one piece
  std::string answer;   // everything that comes back for it
};

const exchange_case EXCHANGES[] = {
    {"2 + 3\n", FIVE},
    {"2+3", FIVE},
    {"-4 + 10", "Resultado: 6\0"s},
    {"2 + 3\r\n", FIVE},
    {"2 + 3 + 4", FIVE},
    {"4 5", MISSING},
    {"7 + x", MISSING},
    {"1234567890", MISSING},
    {"2\0+ 3"s, MISSING},
    {"hola", MALFORMED},
    {"-", MALFORMED},
    {"- 4", MALFORMED},
    {"\n", MALFORMED},
    {"\0 2 + 3"s, MALFORMED},
    {"   \t  ", MALFORMED},
    {"-9999+-999", "Resultado: -10998\0"s},
    {"\xFF\x80+1", MALFORMED},
    // Longer than one chunk: one answer per chunk of at most ten bytes.
    {"12 + 34 - 5\n", "Resultado: 46\0"s + MISSING},
    {"1 + 1     2+5", "Resultado: 2\0Resultado: 7\0"s},
};

void PrintTo(const exchange_case& entry, std::ostream* out) {
  *out << ::testing::PrintToString(entry.request);
}

class TallyExchange : public ProgramTest, public ::testing::WithParamInterface<exchange_case> {};

TEST_P(TallyExchange, AnswersEveryChunkExactly) {
  start_server(TALLY_BIN);
  const int fd = connect_service_port();
  ASSERT_GE(fd, 0);
  const exchange_case& expected = GetParam();
  send_bytes(fd, expected.request);
  EXPECT_EQ(read_exact(fd, expected.answer.size()), expected.answer);
  EXPECT_FALSE(data_arrives(fd, 20ms)) << "no extra bytes after the answers";
  close(fd);
}

INSTANTIATE_TEST_SUITE_P(Requests, TallyExchange, ::testing::ValuesIn(EXCHANGES));

// A long chunk followed by a short one: the short request must not see the long one's bytes.
TEST_F(ProgramTest, TallyShortRequestAfterLongOneSeesNoStaleBytes) {
  start_server(TALLY_BIN);
  const int fd = connect_service_port();
  ASSERT_GE(fd, 0);
  send_bytes(fd, "1234567+89");
  const std::string long_answer = "Resultado: 1234656\0"s;
  EXPECT_EQ(read_exact(fd, long_answer.size()), long_answer);
  send_bytes(fd, "5");
  EXPECT_EQ(read_exact(fd, MISSING.size()), MISSING);
  send_bytes(fd, "3+");
  EXPECT_EQ(read_exact(fd, MISSING.size()), MISSING);
  close(fd);
}

TEST_F(ProgramTest, TallyKeepsNoStateBetweenConnections) {
  start_server(TALLY_BIN);
  for (int round = 0; round < 3; ++round) {
    const int fd = connect_service_port();
    ASSERT_GE(fd, 0);
    send_bytes(fd, "20+" + std::to_string(round));
    const std::string expected = "Resultado: 2" + std::to_string(round) + '\0';
    EXPECT_EQ(read_exact(fd, expected.size()), expected);
    close(fd);
  }
}

}  // namespace
