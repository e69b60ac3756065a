// The modal error box that reports a failure of the debug log itself. Win32 only.
#pragma once

#include <windows.h>

#include <string>

namespace boot {

// The system's description of `code` (FormatMessageW), without the line break it ends with;
// empty when the system has none.
std::wstring DescribeSystemError(DWORD code);

// The box text: "<text>, error code: <code as signed decimal>\nError message: <system text>",
// with "(Unknown error)" when the system has no description. Formatted by wsprintfW, which stops
// at 1024 characters, so a longer text is cut there and never overruns.
std::wstring FormatErrorBoxText(const wchar_t* text, DWORD code);

// Shows that text in a modal box captioned "Update error!" with an OK button and the error icon;
// returns when the user has dismissed it. Failures are ignored.
void ShowErrorBox(const wchar_t* text, DWORD code);

}  // namespace boot
