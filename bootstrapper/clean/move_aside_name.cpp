#include "bootstrapper/clean/move_aside_name.h"

namespace boot {

char16_t MoveAsideLetter(std::uint32_t r) {
  const std::uint32_t lower_case = (r & 1u) ? 32u : 0u;
  return static_cast<char16_t>(u'A' + r % 26u + lower_case);
}

std::u16string ComposeMoveAsideTarget(std::u16string_view directory,
                                      std::u16string_view extension, const RandomDraw& draw) {
  if (!directory.empty() && directory.back() == u'\\') directory.remove_suffix(1);
  if (directory.empty()) return {};
  const std::size_t length = directory.size() + 1 + kMoveAsideLetterCount + 1 + extension.size();
  if (length > kMaxMoveAsideTarget) return {};

  std::u16string target;
  target.reserve(length);
  target.append(directory).push_back(u'\\');
  for (std::size_t i = 0; i < kMoveAsideLetterCount; ++i) {
    std::uint32_t r = 0;
    if (!draw(r)) return {};
    target.push_back(MoveAsideLetter(r));
  }
  target.push_back(u'.');
  target.append(extension);
  return target;
}

}  // namespace boot
