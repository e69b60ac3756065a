#include "bootstrapper/clean/registry_clean.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winternl.h>

#include <string>
#include <vector>

#include "bootstrapper/clean/clean_test_support.h"

namespace boot {
namespace {

using testutil::ScratchKey;

std::u16string WillClean(const std::u16string& path) { return u"Will clean registry: " + path; }

// A tree four levels deep with several children per level.
const wchar_t* const kTree[] = {L"Tree\\a\\a1\\x\\y\\z", L"Tree\\a\\a2", L"Tree\\b",
                                L"Tree\\c\\c1\\deep", L"Tree\\c\\c2", L"Keep"};

struct RootRow {
  HKEY root;
  std::u16string name;  // as a manifest would write it
};

class RegistryTreeTest : public testutil::CleanLogTest,
                         public testing::WithParamInterface<RootRow> {};

TEST_P(RegistryTreeTest, RemovesATreeSeveralLevelsDeepAndNothingBesideIt) {
  ScratchKey scratch(GetParam().root);
  if (!scratch.created()) GTEST_SKIP() << "cannot create keys under this root here";
  for (const wchar_t* key : kTree) ASSERT_TRUE(scratch.Create(key));

  const std::u16string path = GetParam().name + u"\\" + ToU16(scratch.SubkeyOf(L"Tree"));
  EXPECT_TRUE(CleanRegistry(path));

  EXPECT_FALSE(scratch.Exists(L"Tree"));
  EXPECT_TRUE(scratch.Exists(L"Keep"));
  EXPECT_EQ(LogLines(), std::vector<std::u16string>{WillClean(path)});
}

INSTANTIATE_TEST_SUITE_P(
    Roots, RegistryTreeTest,
    testing::Values(RootRow{HKEY_CURRENT_USER, u"HKEY_CURRENT_USER"},
                    RootRow{HKEY_LOCAL_MACHINE, u"HKEY_LOCAL_MACHINE"},
                    RootRow{HKEY_CLASSES_ROOT, u"HKEY_CLASS_ROOT"},
                    RootRow{HKEY_CURRENT_CONFIG, u"HKEY_CURRENT_CONFIG"},
                    // Root names are matched without regard to case.
                    RootRow{HKEY_LOCAL_MACHINE, u"hkey_local_machine"},
                    RootRow{HKEY_CURRENT_USER, u"Hkey_Current_User"}));

class RegistryCleanTest : public testutil::CleanLogTest {
 protected:
  std::u16string PathOf(const std::wstring& relative) const {
    return u"HKEY_CURRENT_USER\\" + ToU16(scratch_key_.SubkeyOf(relative));
  }
  ScratchKey scratch_key_{HKEY_CURRENT_USER};
};

TEST_F(RegistryCleanTest, AppendsChildrenAfterATrailingBackslashWithoutDoublingIt) {
  for (const wchar_t* key : kTree) ASSERT_TRUE(scratch_key_.Create(key));
  const std::u16string path = PathOf(L"Tree\\");

  EXPECT_TRUE(CleanRegistry(path));

  EXPECT_FALSE(scratch_key_.Exists(L"Tree"));
  EXPECT_TRUE(scratch_key_.Exists(L"Keep"));
  EXPECT_EQ(LogLines(), std::vector<std::u16string>{WillClean(path)});
}

TEST_F(RegistryCleanTest, AMissingKeyCountsAsDeleted) {
  const std::u16string missing = PathOf(L"NoSuchKey");
  const std::u16string missing_parent = PathOf(L"NoSuchParent\\Child");

  EXPECT_TRUE(CleanRegistry(missing));
  EXPECT_TRUE(CleanRegistry(missing_parent));

  EXPECT_EQ(LogLines(), (std::vector<std::u16string>{WillClean(missing), u"Key not found.",
                                                      WillClean(missing_parent),
                                                      u"Key not found."}));
}

TEST_F(RegistryCleanTest, UnknownRootsAndBareRootNamesDeleteNothing) {
  ASSERT_TRUE(scratch_key_.Create(L"Tree\\child"));
  const std::u16string subkey = ToU16(scratch_key_.SubkeyOf(L"Tree"));
  struct Row {
    std::u16string path;
    const char16_t* line;
  };
  const Row rows[] = {
      {u"HKEY_CLASSES_ROOT\\" + subkey, u"Unknown root"},
      {u"HKCU\\" + subkey, u"Unknown root"},
      {u"HKLM\\" + subkey, u"Unknown root"},
      {u"HKEY_USERS\\" + subkey, u"Unknown root"},
      {u"\\HKEY_CURRENT_USER\\" + subkey, u"Unknown root"},
      {u"HKEY_LOCAL_MACHINE", u"Illegal name"},
      {u"HKEY_LOCAL_MACHINE\\", u"Illegal name"},
      {u"hkey_current_user/", u"Illegal name"},
  };
  for (const Row& row : rows) {
    CloseDebugLogForTesting();
    testutil::RemoveTree(scratch_ / L"DebugLogs");
    OpenDebugLog();
    EXPECT_FALSE(CleanRegistry(row.path));
    EXPECT_EQ(LogLines(), (std::vector<std::u16string>{WillClean(row.path), row.line}));
  }
  EXPECT_TRUE(scratch_key_.Exists(L"Tree\\child"));
}

TEST_F(RegistryCleanTest, AKeyThatCannotBeOpenedFailsWithoutDeletingAnything) {
  ASSERT_TRUE(scratch_key_.Create(L"Tree\\child"));
  // A second separator after the root name: the subkey then starts with a backslash, which the
  // registry refuses as a bad path name, for the delete and for the open.
  const std::u16string path = u"HKEY_CURRENT_USER\\\\" + ToU16(scratch_key_.SubkeyOf(L"Tree"));

  EXPECT_FALSE(CleanRegistry(path));

  EXPECT_EQ(LogLines(), (std::vector<std::u16string>{WillClean(path), u"Error opening key."}));
  EXPECT_TRUE(scratch_key_.Exists(L"Tree\\child"));
}

TEST_F(RegistryCleanTest, AForwardSlashIsPartOfTheKeyName) {
  ASSERT_TRUE(scratch_key_.Create(L"a/b\\child"));
  ASSERT_TRUE(scratch_key_.Create(L"a\\b\\child"));
  const std::u16string path = PathOf(L"a/b");

  EXPECT_TRUE(CleanRegistry(path));

  EXPECT_FALSE(scratch_key_.Exists(L"a/b"));
  EXPECT_TRUE(scratch_key_.Exists(L"a\\b\\child"));
  EXPECT_EQ(LogLines(), std::vector<std::u16string>{WillClean(path)});
}

// Software\BootTest-...\<250 p's>\<name of `length` - the rest>: a key whose path below the
// root is exactly `length` characters long.
std::wstring KeyOfLength(const ScratchKey& key, std::size_t length) {
  const std::wstring parent = std::wstring(250, L'p');
  const std::size_t used = key.SubkeyOf(parent).size() + 1;
  return parent + L"\\" + std::wstring(length - used, L'k');
}

TEST_F(RegistryCleanTest, AKeyPathOfFiveHundredNineteenCharactersIsTheLongestDeleted) {
  const std::wstring longest = KeyOfLength(scratch_key_, 519);
  ASSERT_TRUE(scratch_key_.Create(longest));
  ASSERT_EQ(scratch_key_.SubkeyOf(longest).size(), 519u);

  // One character more: cut to 519 it would name the key just made, which must stay.
  EXPECT_FALSE(CleanRegistry(PathOf(longest + L"X")));
  EXPECT_TRUE(scratch_key_.Exists(longest));
  EXPECT_EQ(LogLines(), std::vector<std::u16string>{WillClean(PathOf(longest + L"X"))});

  EXPECT_TRUE(CleanRegistry(PathOf(longest)));
  EXPECT_FALSE(scratch_key_.Exists(longest));
}

TEST_F(RegistryCleanTest, AChildPathTooLongForTheBufferStopsTheWalkAfterEarlierChildren) {
  // Tree\a1 comes first in the enumeration and is removed, leaves first; below Tree\z... a
  // grandchild's path does not fit the 519-character buffer, so that branch and Tree stay.
  ASSERT_TRUE(scratch_key_.Create(L"Tree\\a1\\x\\y"));
  const std::wstring z = L"Tree\\z" + std::wstring(249, L'z');
  const std::wstring grandchild = z + L"\\" + std::wstring(250, L'g');
  ASSERT_TRUE(scratch_key_.Create(grandchild));
  ASSERT_GT(scratch_key_.SubkeyOf(grandchild).size(), 519u);

  EXPECT_FALSE(CleanRegistry(PathOf(L"Tree")));

  EXPECT_FALSE(scratch_key_.Exists(L"Tree\\a1"));
  EXPECT_TRUE(scratch_key_.Exists(grandchild));
  EXPECT_EQ(LogLines(), std::vector<std::u16string>{WillClean(PathOf(L"Tree"))});
}

// NtCreateKey, which takes counted names: the only way to make a key whose name holds a NUL.
using NtCreateKeyFn = LONG(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, ULONG,
                                   UNICODE_STRING*, ULONG, ULONG*);
using NtDeleteKeyFn = LONG(NTAPI*)(HANDLE);

TEST_F(RegistryCleanTest, AChildWhoseNameHoldsANulFailsTheCleanInsteadOfWalkingItForever) {
  // "x" sorts before "x\0y" and would be what the cut name opens.
  ASSERT_TRUE(scratch_key_.Create(L"Tree\\x"));
  HKEY tree = nullptr;
  ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, scratch_key_.SubkeyOf(L"Tree").c_str(), 0,
                            KEY_ALL_ACCESS, &tree),
            ERROR_SUCCESS);
  const UniqueKey tree_owner(tree);
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  const auto create = reinterpret_cast<NtCreateKeyFn>(
      reinterpret_cast<void (*)()>(::GetProcAddress(ntdll, "NtCreateKey")));
  const auto remove = reinterpret_cast<NtDeleteKeyFn>(
      reinterpret_cast<void (*)()>(::GetProcAddress(ntdll, "NtDeleteKey")));
  ASSERT_TRUE(create != nullptr && remove != nullptr);
  wchar_t name[] = {L'x', L'\0', L'y'};
  UNICODE_STRING counted{sizeof name, sizeof name, name};
  OBJECT_ATTRIBUTES attributes{};
  attributes.Length = sizeof attributes;
  attributes.RootDirectory = tree;
  attributes.ObjectName = &counted;
  attributes.Attributes = OBJ_CASE_INSENSITIVE;
  HANDLE nul_key = nullptr;
  if (create(&nul_key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr) < 0) {
    GTEST_SKIP() << "this registry does not take a NUL in a key name";
  }

  EXPECT_FALSE(CleanRegistry(PathOf(L"Tree")));

  EXPECT_EQ(LogLines(),
            (std::vector<std::u16string>{WillClean(PathOf(L"Tree")), u"Error opening key."}));
  EXPECT_TRUE(scratch_key_.Exists(L"Tree"));
  remove(nul_key);
  ::CloseHandle(nul_key);
}

TEST_F(RegistryCleanTest, AnEmptyKeyPathNeverEmptiesTheRootKey) {
  ASSERT_TRUE(scratch_key_.Create(L"child\\grandchild"));
  HKEY opened = nullptr;
  ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, scratch_key_.SubkeyOf(L"").c_str(), 0,
                            KEY_ALL_ACCESS, &opened),
            ERROR_SUCCESS);
  const UniqueKey root(opened);
  wchar_t key_path[kKeyPathBufferSize] = {};

  EXPECT_FALSE(DeleteKeyTree(root.get(), key_path));

  EXPECT_TRUE(scratch_key_.Exists(L"child\\grandchild"));
}

}  // namespace
}  // namespace boot
