#include "bootpack/escape.h"

#include <cstdint>
#include <cstdio>

namespace boot {
namespace {

// Length of the UTF-8 sequence at text[i] (1-4) with its code point in `code`, or 0 when the
// bytes there are not one: a stray continuation byte, an overlong form, a surrogate, a value
// above U+10FFFF, or a cut sequence.
std::size_t Utf8At(std::string_view text, std::size_t i, std::uint32_t& code) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  code = lead;
  if (lead < 0x80) return 1;
  std::size_t length;
  std::uint32_t min;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, min = 0x80, code = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, min = 0x800, code = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, min = 0x10000, code = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = code << 6 | (byte(i + k) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string Printable(std::string_view text, bool keep_lines) {
  std::string out;
  out.reserve(text.size());
  char escape[12];
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t code = 0;
    const std::size_t length = Utf8At(text, i, code);
    if (length == 0) {
      std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(text[i]));
      out += escape;
      ++i;
      continue;
    }
    const bool control = code < 0x20 ? !(keep_lines && (code == '\n' || code == '\t'))
                                      : code == 0x7F || (code >= 0x80 && code <= 0x9F);
    const bool format = code == 0x061C || code == 0x200E || code == 0x200F || code == 0x2028 ||
                        code == 0x2029 || (code >= 0x202A && code <= 0x202E) ||
                        (code >= 0x2066 && code <= 0x2069) || code == 0xFEFF;
    if (control && code < 0x80) {
      std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(code));
      out += escape;
    } else if (control || format) {
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(code));
      out += escape;
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  return out;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  char escape[8];
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t code = 0;
    const std::size_t length = Utf8At(text, i, code);
    if (length == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    switch (code) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (code < 0x20 || code == 0x7F || code == 0x2028 || code == 0x2029) {
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(code));
          out += escape;
        } else {
          out.append(text.substr(i, length));
        }
    }
    i += length;
  }
  return out + "\"";
}

}  // namespace boot
