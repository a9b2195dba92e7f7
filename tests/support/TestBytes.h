// Byte strings written as hex in tests: "1a000000 36000000" (spaces for the reader only).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  std::string digits;
  for (char c : hex)
    if (c != ' ') digits.push_back(c);
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    bytes.push_back(uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}
