#include "bootstrapper/clean/registry_root.h"

#include <gtest/gtest.h>

#include <string>

namespace boot {
namespace {

struct RootRow {
  std::u16string path;
  bool found;
  RegistryRoot root;
  std::size_t subkey_start;
};

class RegistryRootTest : public testing::TestWithParam<RootRow> {};

TEST_P(RegistryRootTest, MatchesTheFirstRootNameAtTheStart) {
  const RootRow& row = GetParam();
  const RegistryRootMatch match = MatchRegistryRoot(row.path);
  EXPECT_EQ(match.found, row.found);
  if (row.found) {
    EXPECT_EQ(match.root, row.root);
    EXPECT_EQ(match.subkey_start, row.subkey_start);
  }
}

constexpr auto kLm = RegistryRoot::LocalMachine;
constexpr auto kCu = RegistryRoot::CurrentUser;
constexpr auto kCr = RegistryRoot::ClassesRoot;
constexpr auto kCc = RegistryRoot::CurrentConfig;

INSTANTIATE_TEST_SUITE_P(
    Rows, RegistryRootTest,
    testing::Values(
        RootRow{u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Demo", true, kLm, 19},
        RootRow{u"HKEY_CURRENT_USER\\Software\\Demo", true, kCu, 18},
        RootRow{u"HKEY_CLASS_ROOT\\.demo", true, kCr, 16},
        RootRow{u"HKEY_CURRENT_CONFIG\\Software", true, kCc, 20},
        // Letter case is ignored.
        RootRow{u"hkey_local_machine\\x", true, kLm, 19},
        RootRow{u"Hkey_Current_User\\x", true, kCu, 18},
        // The separator is not examined, and nothing needs to follow it.
        RootRow{u"HKEY_CURRENT_USER/Software", true, kCu, 18},
        RootRow{u"HKEY_LOCAL_MACHINEX", true, kLm, 19},
        RootRow{u"HKEY_LOCAL_MACHINE", true, kLm, 19},
        // The system's own name for the classes root, abbreviations and other roots are unknown.
        RootRow{u"HKEY_CLASSES_ROOT\\.demo", false, kLm, 0},
        RootRow{u"HKLM\\SOFTWARE\\Demo", false, kLm, 0},
        RootRow{u"HKCU\\Software\\Demo", false, kLm, 0},
        RootRow{u"HKEY_USERS\\.DEFAULT", false, kLm, 0},
        RootRow{u"\\HKEY_CURRENT_USER\\Software", false, kLm, 0},
        RootRow{u"HKEY_LOCAL_MACHIN", false, kLm, 0}, RootRow{u"", false, kLm, 0},
        // Only ASCII letters fold: a dotted capital I (U+0130) is not an I.
        RootRow{u"HKEY_LOCAL_MACH\u0130NE\\x", false, kLm, 0}));

}  // namespace
}  // namespace boot
