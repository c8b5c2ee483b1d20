// tally: answers every chunk "a + b" with the sum, in Spanish, NUL-terminated.
#include "tally.h"

#include <cstring>

#include "command_line.h"
#include "full_io.h"
#include "listener.h"

namespace {

// The white space that formatted scanning skips in the C locale.
bool is_scan_space(char ch) {
  return ch == ' ' || (ch >= '\t' && ch <= '\r');
}

bool is_digit(char ch) {
  return ch >= '0' && ch <= '9';
}

const char* skip_space(const char* text) {
  while (is_scan_space(*text)) {
    ++text;
  }
  return text;
}

// Converts an optionally signed run of decimal digits at `text` and returns the first byte after
// it, or nullptr when no number begins there. Values wrap modulo 2^32, so that digit runs too long
// for 32 bits are still a defined, converted number.
const char* scan_int(const char* text, std::int32_t* value) {
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') {
    ++text;
  }
  if (!is_digit(*text)) {
    return nullptr;
  }
  std::uint32_t magnitude = 0;
  for (; is_digit(*text); ++text) {
    magnitude = magnitude * 10U + static_cast<std::uint32_t>(*text - '0');
  }
  *value = static_cast<std::int32_t>(negative ? 0U - magnitude : magnitude);
  return text;
}

constexpr char SUM_PREFIX[] = "Resultado: ";
constexpr char MISSING_OPERAND_TEXT[] = "Falta un operando más";
constexpr char MALFORMED_TEXT[] = "Mal formato";

// Copies a fixed answer with its NUL; returns the bytes to send.
std::size_t put_text(const char* text, char (&answer)[ANSWER_CAPACITY]) {
  const std::size_t size = std::strlen(text) + 1;
  std::memcpy(answer, text, size);
  return size;
}

// "Resultado: %d" with its NUL, formatted by hand: the same bytes, without printf's machinery on
// the path of every request.
std::size_t put_sum(std::int32_t sum, char (&answer)[ANSWER_CAPACITY]) {
  char digits[10];
  std::size_t count = 0;
  std::uint32_t magnitude =
      sum < 0 ? 0U - static_cast<std::uint32_t>(sum) : static_cast<std::uint32_t>(sum);
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10U);
    magnitude /= 10U;
  } while (magnitude != 0);
  std::size_t size = sizeof SUM_PREFIX - 1;
  std::memcpy(answer, SUM_PREFIX, size);
  if (sum < 0) {
    answer[size++] = '-';
  }
  while (count > 0) {
    answer[size++] = digits[--count];
  }
  answer[size++] = '\0';
  return size;
}

}  // namespace

int int_sum(const char* text, std::int32_t* sum) {
  const char* cursor = skip_space(text);
  if (*cursor == '\0') {
    return SUM_NO_TEXT;
  }
  std::int32_t first = 0;
  cursor = scan_int(cursor, &first);
  if (cursor == nullptr) {
    return SUM_MALFORMED;
  }
  cursor = skip_space(cursor);
  std::int32_t second = 0;
  if (*cursor != '+' || scan_int(skip_space(cursor + 1), &second) == nullptr) {
    return SUM_MISSING_OPERAND;
  }
  *sum = static_cast<std::int32_t>(static_cast<std::uint32_t>(first) +
                                   static_cast<std::uint32_t>(second));
  return SUM_OK;
}

std::size_t tally_answer(const char* chunk, std::int32_t length, char (&answer)[ANSWER_CAPACITY]) {
  // The request ends at the chunk's end or its first NUL; the copy keeps stale bytes out.
  char text[CHUNK_SIZE + 1];
  const std::int32_t bounded = length < 0 ? 0 : (length > CHUNK_SIZE ? CHUNK_SIZE : length);
  const std::size_t size = strnlen(chunk, static_cast<std::size_t>(bounded));
  std::memcpy(text, chunk, size);
  text[size] = '\0';

  std::int32_t sum = 0;
  const int status = int_sum(text, &sum);
  if (status == SUM_OK) {
    return put_sum(sum, answer);
  }
  // No operand, or no text at all, is malformed too: every chunk gets an answer.
  return put_text(status == SUM_MISSING_OPERAND ? MISSING_OPERAND_TEXT : MALFORMED_TEXT, answer);
}

void server_func(int connection, const char* chunk, std::int32_t length) {
  char answer[ANSWER_CAPACITY];
  const std::size_t size = tally_answer(chunk, length, answer);
  // A peer that has gone is not an error of the server: the next chunk or connection follows.
  (void)write_all(connection, answer, size);
}

#ifndef SERVER_NO_MAIN
int main(int argc, char** argv) {
  take_no_arguments(
      argc, argv,
      "Answers each request \"integer + integer\" on TCP port 12345 with the sum, in Spanish.");
  run_listener(server_func);
}
#endif
