#include "bootstrapper/driver/command_line.h"

namespace boot {
namespace {

char16_t ToLowerAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; }

bool StartsWithIgnoringAsciiCase(std::u16string_view text, std::u16string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (ToLowerAscii(text[i]) != ToLowerAscii(prefix[i])) return false;
  }
  return true;
}

bool IsSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

constexpr std::size_t kOptionLength = 5;  // "-base", "-ppid": only these characters are compared

}  // namespace

std::uint32_t ParseUnsignedDecimal(std::u16string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
    negative = text[i] == u'-';
    ++i;
  }
  std::uint64_t value = 0;
  bool overflow = false;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = value * 10 + (text[i] - u'0');
    if (value > 0xFFFFFFFFu) {
      overflow = true;
      value = 0xFFFFFFFFu;  // keeps the product bounded while the rest is read
    }
  }
  if (overflow) return 0xFFFFFFFFu;
  const auto result = static_cast<std::uint32_t>(value);
  return negative ? static_cast<std::uint32_t>(0u - result) : result;
}

CommandLineOptions ParseCommandLine(const std::vector<std::u16string>& args) {
  CommandLineOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::u16string& arg = args[i];
    if (arg.size() == 7 && StartsWithIgnoringAsciiCase(arg, u"-update")) {
      options.update = true;
      continue;
    }
    const bool base = StartsWithIgnoringAsciiCase(arg, u"-base");
    const bool ppid = !base && StartsWithIgnoringAsciiCase(arg, u"-ppid");
    if (!base && !ppid) continue;

    std::u16string value;
    if (arg.size() == kOptionLength) {
      // "-base C:\App": the value is the next element, which is used up.
      if (i + 1 >= args.size()) continue;
      value = args[++i];
    } else {
      value = arg.size() > kOptionLength + 1 ? arg.substr(kOptionLength + 1) : std::u16string();
    }
    if (base) {
      options.base = std::move(value);
    } else {
      options.ppid = ParseUnsignedDecimal(value);
    }
  }
  return options;
}

}  // namespace boot
