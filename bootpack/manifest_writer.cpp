#include "bootpack/manifest_writer.h"

namespace boot {

std::string QuoteJson(std::string_view text) {
  static const char digits[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20) {
          out += "\\u00";
          out += digits[u >> 4];
          out += digits[u & 15];
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

const char* CleanKindName(CleanKind kind) {
  for (const CleanTypeName& row : kCleanTypeNames) {
    if (row.kind == kind) return row.name;
  }
  return "file";
}

std::string WriteManifestText(const Package& package, const std::vector<StoredPayload>& payloads,
                              UpdateMode mode) {
  std::string out = "{\"version\":" + QuoteJson(package.version);
  if (!package.launcher.empty()) out += ",\"launcher\":" + QuoteJson(package.launcher);
  if (mode == UpdateMode::Safe) out += ",\"safe\":true";
  out += ",\n \"cleans\":[";
  for (std::size_t i = 0; i < package.cleans.size(); ++i) {
    const PackageClean& clean = package.cleans[i];
    out += i == 0 ? "\n  " : ",\n  ";
    out += "{\"path\":" + QuoteJson(clean.path) +
           ",\"fail_ok\":" + (clean.fail_ok ? "true" : "false") +
           ",\"type\":\"" + CleanKindName(clean.kind) + "\"}";
  }
  out += "],\n \"updates\":[";
  for (std::size_t i = 0; i < package.updates.size() && i < payloads.size(); ++i) {
    const StoredPayload& p = payloads[i];
    out += i == 0 ? "\n  " : ",\n  ";
    out += "{\"path\":" + QuoteJson(package.updates[i].path) +
           ",\"size\":" + std::to_string(p.size) + ",\"rtype\":" + std::to_string(p.rtype) +
           ",\"rid\":" + std::to_string(p.rid) + ",\"sha256\":\"" + Sha256Hex(p.sha256) + "\"}";
  }
  out += "]}";
  return out;
}

}  // namespace boot
