// The one TCP port that every server listens on and the client connects to.
#pragma once

#include <cstdint>

inline constexpr std::uint16_t SERVICE_PORT = 12345;
