// The stub keeps its text as UTF-16 in std::u16string (the portable model's type); Win32 wants
// wchar_t, which is the same 16-bit unit on Windows. These views convert without copying.
#pragma once

#include <string>
#include <string_view>

namespace boot {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Win32 code expects 16-bit wchar_t");

inline const wchar_t* AsWide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}
inline std::wstring_view AsWide(std::u16string_view text) {
  return {reinterpret_cast<const wchar_t*>(text.data()), text.size()};
}
inline std::u16string_view AsU16(std::wstring_view text) {
  return {reinterpret_cast<const char16_t*>(text.data()), text.size()};
}
inline std::u16string ToU16(std::wstring_view text) { return std::u16string(AsU16(text)); }

}  // namespace boot
