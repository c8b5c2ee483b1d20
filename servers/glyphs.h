// The character-stream server's generator, shared with its tests.
#pragma once

#include <array>
#include <cstdint>

inline constexpr int BURST_SIZE = 1000;

// The next character of the endless blank-to-tilde sequence, as a one-character text returned by
// value: nothing to release, nothing allocated.
std::array<char, 2> character_generator();

void server_func(int connection, const char* chunk, std::int32_t length);
