// The program's string resources: the fixed message texts by identifier.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// The text of resource id, or an empty view for an unknown identifier.
std::wstring_view findString(std::uint16_t id);

// Copies the text of resource id into buffer, at most buffer.size() - 1
// characters and a terminator, and returns the number of characters copied
// (0 for an unknown identifier or an empty buffer).
std::size_t loadString(std::uint16_t id, std::span<wchar_t> buffer);
