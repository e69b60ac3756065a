#include "bootpack/manifest_writer.h"

#include "bootpack/escape.h"

namespace boot {

const char* CleanKindName(CleanKind kind) {
  for (const CleanTypeName& row : kCleanTypeNames) {
    if (row.kind == kind) return row.name;
  }
  return "file";
}

std::string WriteManifestText(const Package& package, const std::vector<StoredPayload>& payloads,
                              UpdateMode mode) {
  std::string out = "{\"version\":" + JsonString(package.version);
  if (!package.launcher.empty()) out += ",\"launcher\":" + JsonString(package.launcher);
  if (mode == UpdateMode::Safe) out += ",\"safe\":true";
  out += ",\n \"cleans\":[";
  for (std::size_t i = 0; i < package.cleans.size(); ++i) {
    const PackageClean& clean = package.cleans[i];
    out += i == 0 ? "\n  " : ",\n  ";
    out += "{\"path\":" + JsonString(clean.path) +
           ",\"fail_ok\":" + (clean.fail_ok ? "true" : "false") +
           ",\"type\":\"" + CleanKindName(clean.kind) + "\"}";
  }
  out += "],\n \"updates\":[";
  for (std::size_t i = 0; i < package.updates.size() && i < payloads.size(); ++i) {
    const StoredPayload& p = payloads[i];
    out += i == 0 ? "\n  " : ",\n  ";
    out += "{\"path\":" + JsonString(package.updates[i].path) +
           ",\"size\":" + std::to_string(p.size) + ",\"rtype\":" + std::to_string(p.rtype) +
           ",\"rid\":" + std::to_string(p.rid) + ",\"sha256\":\"" + Sha256Hex(p.sha256) + "\"";
    if (p.is_patch && mode == UpdateMode::Safe) out += ",\"from_sha256\":\"" + Sha256Hex(p.from_sha256) + "\"";
    out += "}";
  }
  out += "]";
  if (mode == UpdateMode::Safe && !package.unchanged.empty()) {
    out += ",\n \"unchanged\":[";
    for (std::size_t i = 0; i < package.unchanged.size(); ++i) {
      out += i == 0 ? "\n  " : ",\n  ";
      out += "{\"path\":" + JsonString(package.unchanged[i].path) + ",\"sha256\":\"" +
             Sha256Hex(package.unchanged[i].sha256) + "\"}";
    }
    out += "]";
  }
  out += "}";
  return out;
}

}  // namespace boot
