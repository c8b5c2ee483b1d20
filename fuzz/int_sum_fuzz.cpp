// Fuzzes the sum parser: statuses and sums agree with sscanf, and the sum is written only on
// success.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_oracle.h"
#include "tally.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string request = text.substr(0, text.find('\0'));
  constexpr std::int32_t UNTOUCHED = 0x5a5a5a5a;
  std::int32_t sum = UNTOUCHED;
  const int status = int_sum(request.c_str(), &sum);
  check(status >= SUM_NO_TEXT && status <= SUM_MALFORMED, "status is one of the four");
  check(status == SUM_OK || sum == UNTOUCHED, "sum written only on success");
  if (has_reference(request)) {
    const reference_sum expected = scanner_reference(request);
    check(status == expected.status, "status agrees with sscanf");
    check(status != SUM_OK || sum == expected.sum, "sum agrees with sscanf");
  }
  return 0;
}
