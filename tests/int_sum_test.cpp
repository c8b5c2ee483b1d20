// The sum parser against a table of request forms and, differentially, against sscanf.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "tally.h"

namespace {

struct sum_case {
  const char* text;
  int status;
  std::int32_t sum;  // checked only for SUM_OK
};

const sum_case SUM_CASES[] = {
    {"2 + 3\n", SUM_OK, 5},
    {"2+3", SUM_OK, 5},
    {"-4 + 10", SUM_OK, 6},
    {"+7+-8", SUM_OK, -1},
    {" \t\n\v\f\r9\t+\r\n1", SUM_OK, 10},
    {"2 + 3\r\n", SUM_OK, 5},
    {"2 + 3 + 4", SUM_OK, 5},
    {"12 + 34 - ", SUM_OK, 46},
    {"007+0", SUM_OK, 7},
    {"12345678+1", SUM_OK, 12345679},
    {"-2147483648+0", SUM_OK, INT32_MIN},
    {"2147483647+1", SUM_OK, INT32_MIN},  // two's-complement wrap, no undefined behaviour
    {"4294967298+0", SUM_OK, 2},          // digits beyond 32 bits wrap as well
    {"4 5", SUM_MISSING_OPERAND, 0},
    {"7 + x", SUM_MISSING_OPERAND, 0},
    {"7 +", SUM_MISSING_OPERAND, 0},
    {"7 + -", SUM_MISSING_OPERAND, 0},
    {"7 + - 1", SUM_MISSING_OPERAND, 0},
    {"7 - 1", SUM_MISSING_OPERAND, 0},
    {"5 \n", SUM_MISSING_OPERAND, 0},
    {"1234567890", SUM_MISSING_OPERAND, 0},
    {"99999999999999999999", SUM_MISSING_OPERAND, 0},
    {"hola", SUM_MALFORMED, 0},
    {"-", SUM_MALFORMED, 0},
    {"- 4", SUM_MALFORMED, 0},
    {"+", SUM_MALFORMED, 0},
    {"  x1+2", SUM_MALFORMED, 0},
    {"", SUM_NO_TEXT, 0},
    {"\n", SUM_NO_TEXT, 0},
    {" \t\r\n\v\f", SUM_NO_TEXT, 0},
};

void PrintTo(const sum_case& entry, std::ostream* out) {
  *out << ::testing::PrintToString(std::string(entry.text));
}

class IntSumTable : public ::testing::TestWithParam<sum_case> {};

TEST_P(IntSumTable, StatusAndSum) {
  const sum_case& expected = GetParam();
  std::int32_t sum = 0x5a5a5a5a;
  EXPECT_EQ(int_sum(expected.text, &sum), expected.status) << '"' << expected.text << '"';
  EXPECT_EQ(sum, expected.status == SUM_OK ? expected.sum : 0x5a5a5a5a)
      << "sum written only on success, for \"" << expected.text << '"';
}

INSTANTIATE_TEST_SUITE_P(Forms, IntSumTable, ::testing::ValuesIn(SUM_CASES));

// What the platform scanner says, as a status and a sum; -99 as the sum when there is none.
std::pair<int, std::int32_t> scanner_says(const std::string& text) {
  int first = 0;
  int second = 0;
  const int converted = std::sscanf(text.c_str(), "%d + %d", &first, &second);
  if (converted == 2) {
    return {SUM_OK, first + second};
  }
  if (converted == 1) {
    return {SUM_MISSING_OPERAND, -99};
  }
  return {converted == 0 ? SUM_MALFORMED : converted, -99};
}

std::pair<int, std::int32_t> int_sum_says(const std::string& text) {
  std::int32_t sum = -99;
  const int status = int_sum(text.c_str(), &sum);
  return {status, status == SUM_OK ? sum : -99};
}

// Every text of up to six characters over an alphabet that exercises each scanner rule.
TEST(IntSumDifferential, ExhaustiveShortTexts) {
  const std::string alphabet = " \t\n+-19x";
  std::string text;
  long compared = 0;
  for (std::size_t length = 0; length <= 6; ++length) {
    std::size_t combinations = 1;
    for (std::size_t i = 0; i < length; ++i) {
      combinations *= alphabet.size();
    }
    for (std::size_t index = 0; index < combinations; ++index) {
      text.clear();
      for (std::size_t rest = index, i = 0; i < length; ++i, rest /= alphabet.size()) {
        text += alphabet[rest % alphabet.size()];
      }
      ASSERT_EQ(int_sum_says(text), scanner_says(text)) << '"' << text << '"';
      ++compared;
    }
  }
  EXPECT_EQ(compared, 299593);  // 8^0 + 8^1 + ... + 8^6
}

// Random texts of up to nine characters from a wider alphabet, so that no digit run is long
// enough for sscanf to overflow, which would be undefined.
TEST(IntSumDifferential, RandomChunkSizedTexts) {
  const std::string alphabet = " \t\n\v\f\r+-0123456789ax.";
  std::mt19937 generator(12345);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::uniform_int_distribution<std::size_t> length_of(0, 9);
  for (int round = 0; round < 200000; ++round) {
    std::string text;
    const std::size_t length = length_of(generator);
    while (text.size() < length) {
      text += alphabet[pick(generator)];
    }
    ASSERT_EQ(int_sum_says(text), scanner_says(text)) << '"' << text << '"';
  }
}

TEST(TallyAnswer, LongestAnswersFitAndCarryOneNul) {
  char answer[ANSWER_CAPACITY];
  const struct {
    const char* chunk;
    std::int32_t length;
    const char* text;
  } cases[] = {
      {"-99999999+", 10, "Falta un operando más"},
      {"-9999+-999", 10, "Resultado: -10998"},
      {"1+2", 3, "Resultado: 3"},
      {"0+0", 3, "Resultado: 0"},
      {"-0+-0", 5, "Resultado: 0"},
      {"-9999999+0", 10, "Resultado: -9999999"},
      {"99999999+9", 10, "Resultado: 100000008"},
      {"1+2", 1, "Falta un operando más"},  // only `length` bytes are the request
      {"1+2", 0, "Mal formato"},
      {"1+2", -5, "Mal formato"},  // out-of-contract lengths read nothing
  };
  for (const auto& entry : cases) {
    const std::size_t size = tally_answer(entry.chunk, entry.length, answer);
    EXPECT_EQ(std::string(answer, size), std::string(entry.text) + '\0') << entry.chunk;
  }
}

}  // namespace
