// The run's own install directory, and manifest paths joined to it.
#include "bootstrapper/install/install_path.h"

namespace boot {

std::u16string BaseDirectory;

std::u16string JoinInstallPath(std::u16string_view relative) {
  return JoinInstallPath(BaseDirectory, relative);
}

}  // namespace boot
