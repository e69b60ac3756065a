/* The stub marker: an RCDATA resource every update stub carries, so that bootpack can tell a stub
   from any other program handed to it. The resource compiler reads this file as well as C++, so
   it holds only plain defines. */
#pragma once

#define BOOT_STUB_MARKER_ID 4242
#define BOOT_STUB_MARKER_TEXT "bootstrapper update stub v1"
