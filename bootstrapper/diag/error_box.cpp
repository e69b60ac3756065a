#include "bootstrapper/diag/error_box.h"

#include "bootstrapper/common/unique_handle.h"

namespace boot {

namespace {

// The description as the system allocates it (null when there is none); LocalFree releases it.
wchar_t* FormatSystemMessage(DWORD code) {
  wchar_t* description = nullptr;
  // ALLOCATE_BUFFER: the system sizes the description; the pointer stays null on failure.
  ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                       FORMAT_MESSAGE_ALLOCATE_BUFFER,
                   nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   reinterpret_cast<wchar_t*>(&description), 0, nullptr);
  return description;
}

}  // namespace

std::wstring DescribeSystemError(DWORD code) {
  UniqueLocal owner(FormatSystemMessage(code));
  std::wstring text = owner ? static_cast<const wchar_t*>(owner.get()) : L"";
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
    text.pop_back();
  }
  return text;
}

std::wstring FormatErrorBoxText(const wchar_t* text, DWORD code) {
  wchar_t* description = FormatSystemMessage(code);
  UniqueLocal owner(description);

  // wsprintfW never writes more than 1024 characters, terminator included; the buffer is twice
  // that so the limit, not the buffer, decides where a long text is cut.
  wchar_t buffer[2048] = {};
  ::wsprintfW(buffer, L"%s, error code: %d\nError message: %s", text, static_cast<int>(code),
              description != nullptr ? description : L"(Unknown error)");
  return buffer;
}

void ShowErrorBox(const wchar_t* text, DWORD code) {
  const std::wstring message = FormatErrorBoxText(text, code);
  ::MessageBoxW(nullptr, message.c_str(), L"Update error!", MB_OK | MB_ICONERROR);
}

}  // namespace boot
