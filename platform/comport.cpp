// The handheld's port names, one reader for both operating systems.
#include "platform/comport.hpp"

namespace {

wchar_t lowerAscii(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

}  // namespace

ComPortName readComPortName(const wchar_t* name) {
    constexpr ComPortName none{0, 0, false};
    if (lowerAscii(name[0]) != L'c' || lowerAscii(name[1]) != L'o' || lowerAscii(name[2]) != L'm')
        return none;
    unsigned long number = 0;
    const wchar_t* c = name + 3;
    for (; *c >= L'0' && *c <= L'9'; ++c) {
        number = number * 10 + static_cast<unsigned long>(*c - L'0');
        if (number > maxComPortNumber) return none;
    }
    const bool colon = c[0] == L':' && c[1] == L'\0';
    if (number == 0 || (c[0] != L'\0' && !colon)) return none;
    return {number, static_cast<std::size_t>(c - name), colon};
}
