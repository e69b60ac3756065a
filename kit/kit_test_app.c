/* A stand-in application in C for the kit's tests:
 *
 *   boot_kit_test_app UPDATE_EXE INSTALL_DIR LOG_FOLDER [verify]
 *
 * starts the update through BootKitStartUpdate (with the signature check when "verify" is
 * given) and exits at once: 0 when the update started, GetLastError() otherwise. The update
 * waits for this process to end, as it waits for an application. */
#include <windows.h>
#include <shellapi.h>

#include "kit/update_kit.h"

int main(void) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == NULL || argc < 4) return ERROR_BAD_ARGUMENTS;
  const unsigned flags = argc > 4 && lstrcmpW(argv[4], L"verify") == 0 ? BOOTKIT_VERIFY_SIGNATURE : 0u;
  if (!BootKitStartUpdate(argv[1], argv[2], argv[3], flags)) return (int)GetLastError();
  return 0;
}
