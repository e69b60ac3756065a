#include "bootpack/json_writer.h"

#include <cstdio>

#include "bootpack/escape.h"

namespace boot {
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
