// The sum server's parser and answer, shared with its tests and fuzzers.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int SUM_OK = 0;
inline constexpr int SUM_MISSING_OPERAND = 1;
inline constexpr int SUM_MALFORMED = 2;
inline constexpr int SUM_NO_TEXT = -1;

// Longest answer with its NUL: "Falta un operando más" is 23 bytes, "Resultado: -2147483648" 23.
inline constexpr std::size_t ANSWER_CAPACITY = 32;

// Parses "integer + integer" from a NUL-terminated text and stores the 32-bit sum. Returns SUM_OK,
// SUM_MISSING_OPERAND when only the first integer is there, SUM_MALFORMED when none is, and
// SUM_NO_TEXT when the text is empty or white space. `sum` is written only on SUM_OK.
int int_sum(const char* text, std::int32_t* sum);

// Builds the answer to one chunk into `answer` and returns its size on the wire, NUL included.
std::size_t tally_answer(const char* chunk, std::int32_t length, char (&answer)[ANSWER_CAPACITY]);

void server_func(int connection, const char* chunk, std::int32_t length);
