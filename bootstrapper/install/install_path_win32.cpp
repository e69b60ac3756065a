// The run's own install directory joined in: kept apart from the portable join because
// BaseDirectory belongs to the Win32 run sequence.
#include "bootstrapper/driver/run_update.h"
#include "bootstrapper/install/install_path.h"

namespace boot {

std::u16string JoinInstallPath(std::u16string_view relative) {
  return JoinInstallPath(BaseDirectory, relative);
}

}  // namespace boot
