/* A tiny Windows program whose only purpose is to carry resources written by windres and an
   image laid out by GNU ld (.rsrc followed by .reloc), for the packer's native tests. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
  (void)previous;
  (void)command_line;
  (void)show;
  return FindResourceA(instance, "CONFIG", MAKEINTRESOURCEA(10)) != NULL;
}
