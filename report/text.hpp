// The text held in a zero-terminated fixed array, as the report's records
// keep their numbers, times, names and paths.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

// The characters of text up to its first zero byte; all of it when it has none.
template <typename Char, std::size_t capacity>
constexpr std::basic_string_view<Char> terminatedText(const std::array<Char, capacity>& text) {
    const auto end = std::find(text.begin(), text.end(), Char{0});
    return {text.data(), static_cast<std::size_t>(end - text.begin())};
}

// The characters of text up to its first zero byte; all of it when it has none.
constexpr std::string_view terminatedText(std::string_view text) {
    return text.substr(0, std::min(text.find('\0'), text.size()));
}
