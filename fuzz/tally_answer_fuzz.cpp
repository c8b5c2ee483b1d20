// Fuzzes tally's chunk-to-answer path: every answer is one of the three texts with exactly one
// NUL, at its end, and says what sscanf says; the chunk is read only within its length (the
// input buffer is exactly as long as the chunk, so AddressSanitizer sees any read past it).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_oracle.h"
#include "listener.h"
#include "tally.h"

namespace {

std::string expected_answer(const std::string& request) {
  const reference_sum expected = scanner_reference(request);
  if (expected.status == SUM_OK) {
    return "Resultado: " + std::to_string(expected.sum);
  }
  return expected.status == SUM_MISSING_OPERAND ? "Falta un operando m\xC3\xA1s" : "Mal formato";
}

bool is_answer_form(const std::string& text) {
  if (text == "Mal formato" || text == "Falta un operando m\xC3\xA1s") {
    return true;
  }
  const std::string prefix = "Resultado: ";
  if (text.rfind(prefix, 0) != 0 || text.size() == prefix.size()) {
    return false;
  }
  const std::string number = text.substr(prefix.size());
  const std::size_t digits_from = number[0] == '-' ? 1 : 0;
  return number.size() > digits_from &&
         number.find_first_not_of("0123456789", digits_from) == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > static_cast<std::size_t>(CHUNK_SIZE)) {
    return 0;  // the listener never hands over such a chunk
  }
  const char* chunk = reinterpret_cast<const char*>(data);
  char answer[ANSWER_CAPACITY];
  std::memset(answer, 'Z', sizeof answer);
  const std::size_t length = tally_answer(chunk, static_cast<std::int32_t>(size), answer);

  check(length >= 2 && length <= sizeof answer, "answer size within the buffer");
  check(answer[length - 1] == '\0', "answer ends with its NUL");
  const std::string text(answer, length - 1);
  check(text.find('\0') == std::string::npos, "exactly one NUL");
  check(is_answer_form(text), "answer is one of the three texts");

  const std::string request = std::string(chunk, size).substr(0, strnlen(chunk, size));
  if (has_reference(request)) {
    check(text == expected_answer(request), "answer agrees with sscanf");
  }
  return 0;
}
