// The kit's C functions for kit_test_app.c: the one C++ file an application written in C adds.
#define BOOTKIT_IMPLEMENTATION
#include "kit/update_kit.h"
