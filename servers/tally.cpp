// tally: answers every chunk "a + b" with the sum, in Spanish, NUL-terminated.
#include "tally.h"

#include <cstdio>
#include <cstring>

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
  int printed = 0;
  if (status == SUM_OK) {
    printed = std::snprintf(answer, sizeof answer, "Resultado: %d", sum);
  } else if (status == SUM_MISSING_OPERAND) {
    printed = std::snprintf(answer, sizeof answer, "%s", "Falta un operando más");
  } else {  // no operand, or no text at all: every chunk gets an answer
    printed = std::snprintf(answer, sizeof answer, "%s", "Mal formato");
  }
  return static_cast<std::size_t>(printed) + 1;  // the NUL goes on the wire too
}

void server_func(int connection, const char* chunk, std::int32_t length) {
  char answer[ANSWER_CAPACITY];
  const std::size_t size = tally_answer(chunk, length, answer);
  // A peer that has gone is not an error of the server: the next chunk or connection follows.
  (void)write_all(connection, answer, size);
}

#ifndef SERVER_NO_MAIN
int main() {
  run_listener(server_func);
}
#endif
