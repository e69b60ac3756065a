// Where the build put the programs the Win32 tests run, as Wine paths. Win32 only.
#pragma once

#include <string>

namespace boot::testutil {

const std::wstring& StubPath();  // bootstrapper.exe
const std::wstring& BootpackPath();  // bootpack.exe
const std::wstring& TestAppPath();  // the stand-in application: launcher marker, parent, sleeper

// The user's temporary directory as GetTempPathW gives it, without the trailing backslash.
std::u16string TempDirectory();

}  // namespace boot::testutil
