#include "bootpack/json_writer.h"

#include <cstdio>

namespace boot {
namespace {

// Length of the UTF-8 sequence at text[i] (1-4), or 0 when the bytes there are not one:
// a stray continuation byte, an overlong form, a surrogate, a value above U+10FFFF, or a cut.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length;
  std::uint32_t min;
  std::uint32_t value;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, min = 0x80, value = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, min = 0x800, value = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, min = 0x10000, value = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    value = value << 6 | (byte(i + k) & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string JsonString(std::string_view text) {
  static const char digits[] = "0123456789abcdef";
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char u = static_cast<unsigned char>(text[i]);
    const std::size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    if (length == 1) {
      switch (u) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
          if (u < 0x20 || u == 0x7F) {
            out += "\\u00";
            out += digits[u >> 4];
            out += digits[u & 15];
          } else {
            out += static_cast<char>(u);
          }
      }
    } else if (text.substr(i, length) == "\xE2\x80\xA8" || text.substr(i, length) == "\xE2\x80\xA9") {
      // Line and paragraph separators are valid in JSON but end lines in JavaScript.
      out += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  return out + "\"";
}

void JsonWriter::BeforeValue() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (depth_ > 0) {
    if (!first_) text_ += ',';
    text_ += '\n';
    text_.append(2 * static_cast<std::size_t>(depth_), ' ');
  }
  first_ = false;
}

JsonWriter& JsonWriter::BeginObject() {
  BeforeValue();
  text_ += '{';
  ++depth_;
  first_ = true;
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  BeforeValue();
  text_ += '[';
  ++depth_;
  first_ = true;
  return *this;
}

void JsonWriter::Close(char bracket) {
  --depth_;
  if (!first_) {
    text_ += '\n';
    text_.append(2 * static_cast<std::size_t>(depth_), ' ');
  }
  text_ += bracket;
  first_ = false;
  if (depth_ == 0) text_ += '\n';
}

JsonWriter& JsonWriter::EndObject() {
  Close('}');
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  Close(']');
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view name) {
  BeforeValue();
  text_ += JsonString(name);
  text_ += ": ";
  after_key_ = true;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view value) {
  BeforeValue();
  text_ += JsonString(value);
  return *this;
}

JsonWriter& JsonWriter::Number(std::uint64_t value) {
  BeforeValue();
  text_ += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::Seconds(double value) {
  BeforeValue();
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  text_ += text;
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  BeforeValue();
  text_ += value ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  text_ += "null";
  return *this;
}

}  // namespace boot
