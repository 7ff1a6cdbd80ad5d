#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zuno {

// The text form of a number: a sign position (minus, or a blank for zero and
// positive numbers) and the decimal digits. NumberText(-3) is "-3", NumberText(3) is " 3".
std::string NumberText(int32_t number);

// The printed form of a number: its text form followed by one blank.
std::string PrintedNumber(int32_t number);

// The text with its lower-case letters made upper-case: a-z, and the accented
// letters of code page 437 that have capitals there. The length never changes.
std::string UpperText(std::string_view text);

}  // namespace zuno
