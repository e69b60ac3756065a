#include "bootpack/package.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "bootpack/test_folder.h"
#include "bootstrapper/manifest/update_rules.h"

namespace boot {
namespace {

namespace fs = std::filesystem;

using testutil::TempFolder;

TEST(InstallPathTest, AcceptsOrRefusesPathsByTheStubsJoinRules) {
  struct Row {
    const char* path;
    bool names_file;
    bool allow_outside;
    const char* why;  // nullptr: accepted
  };
  const Row rows[] = {
      {"app.exe", true, false, nullptr},
      {"bin\\sub/app.exe", true, false, nullptr},
      {"data\\thumbs\\", false, false, nullptr},
      {"a\\..\\b.dll", true, false, nullptr},
      {"\xD0\xBF\xD1\x80\xD0\xB8\xD0\xBC\xD0\xB5\xD1\x80.txt", true, false, nullptr},
      {"", true, false, "empty path"},
      {"\\app.exe", true, false, "absolute path"},
      {"/app.exe", true, false, "absolute path"},
      {"\\\\server\\share\\a", true, false, "absolute path"},
      {"C:\\Windows\\a.dll", true, true, "drive letter"},
      {"bin\\c:x", true, false, "drive letter"},
      {"file.txt:stream", true, false, "':'"},
      {"..\\outside.dll", true, false, "leads out"},
      {"..\\outside.dll", true, true, nullptr},
      {"a\\..\\..\\b", true, false, "leads out"},
      {"a\\..", false, false, "install directory itself"},
      {".", false, false, "install directory itself"},
      {".", false, true, nullptr},
      {"bin\\", true, false, "does not end in a file name"},
      {"bin\\..", true, true, "does not end in a file name"},
      {"what?.txt", true, false, "\"?\" is not allowed"},
      {"a<b", true, false, "\"<\" is not allowed"},
      {"tab\there", true, false, "0x09 is not allowed"},
      {"app.exe.", true, false, "ends in a dot"},
      {"dir \\app.exe", true, false, "ends in a dot or a space"},
      {"bad\xFF.exe", true, false, "UTF-8"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    std::string why;
    const bool ok = CheckInstallPath(row.path, row.names_file, row.allow_outside, why);
    if (row.why == nullptr) {
      EXPECT_TRUE(ok) << why;
    } else {
      EXPECT_FALSE(ok);
      EXPECT_NE(why.find(row.why), std::string::npos) << why;
    }
  }
}

TEST(RegistryPathTest, AcceptsOnlyTheFourRootsTheStubKnows) {
  struct Row {
    std::string path;
    const char* why;  // nullptr: accepted
  };
  const Row rows[] = {
      {"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Demo", nullptr},
      {"HKEY_CURRENT_USER\\Software\\Demo", nullptr},
      {"hkey_current_user\\Software\\Demo\\", nullptr},
      {"HKEY_CLASS_ROOT\\.demo", nullptr},
      {"HKEY_CURRENT_CONFIG\\Software\\Demo", nullptr},
      {"HKEY_CLASSES_ROOT\\.demo", "spells the classes root HKEY_CLASS_ROOT"},
      {"HKLM\\Software\\Demo", "unknown registry root"},
      {"HKEY_USERS\\S-1-5-18\\Software", "unknown registry root"},
      {"Software\\Demo", "unknown registry root"},
      {"HKEY_CURRENT_USER", "followed by a backslash"},
      {"HKEY_CURRENT_USER/Software", "followed by a backslash"},
      {"HKEY_CURRENT_USERX\\Software", "followed by a backslash"},
      {"HKEY_CURRENT_USER\\", "names no key"},
      {"HKEY_CURRENT_USER\\\\\\", "names no key"},
      {"HKEY_CURRENT_USER\\" + std::string(519, 'k'), nullptr},
      {"HKEY_CURRENT_USER\\" + std::string(520, 'k'), "longer than 519"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path.substr(0, 40));
    std::string why;
    const bool ok = CheckRegistryPath(row.path, why);
    if (row.why == nullptr) {
      EXPECT_TRUE(ok) << why;
    } else {
      EXPECT_FALSE(ok);
      EXPECT_NE(why.find(row.why), std::string::npos) << why;
    }
  }
}

TEST(ComparablePathTest, PathsNamingTheSameFileCompareEqual) {
  struct Row {
    const char* a;
    const char* b;
    bool same;
  };
  const Row rows[] = {
      {"Bin/App.EXE", "bin\\app.exe", true},
      {"bin\\\\.\\app.exe", "bin\\app.exe", true},
      {"x\\..\\app.exe", "app.exe", true},
      {"\xC3\x89t\xC3\xA9.txt", "\xC3\xA9T\xC3\x89.TXT", true},  // Été / éTÉ
      {"\xD0\xAF.txt", "\xD1\x8F.txt", true},  // Я / я
      {"\xCE\xA3.txt", "\xCF\x83.txt", true},  // Σ / σ
      {"\xCE\xA3.txt", "\xCF\x82.txt", false},  // Σ / final ς, which Windows keeps apart
      {"\xC4\x80.txt", "\xC4\x81.txt", true},  // Ā / ā
      {"\xC5\xB9.txt", "\xC5\xBA.txt", true},  // Ź / ź (odd upper case)
      {"app.exe", "app.ex", false},
      {"a\\b", "ab", false},
      {"..\\a", "a", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.a) + " vs " + row.b);
    EXPECT_EQ(ComparablePath(row.a) == ComparablePath(row.b), row.same);
  }
}

TEST(PackageDescriptionTest, ReadsAFullDescription) {
  const std::string text = "\xEF\xBB\xBF" R"({
    "Version": "1.4.0",
    "launcher": "app.exe",
    "cleans": [
      {"path": "old.dll", "fail_ok": false, "type": "FILE"},
      {"PATH": "cache\\", "fail_ok": true, "type": "dir"},
      {"path": "HKEY_CURRENT_USER\\Software\\Demo", "fail_ok": true, "type": "Registry"}],
    "updates": [
      {"path": "bin/app.exe", "source": "build/app.exe"},
      {"path": "readme.txt", "source": "/abs/readme.txt"}],
    "product": "Demo", "Company": "Example Ltd", "icon": "art/app.ico"
  })";
  Package package;
  std::vector<Problem> problems;
  ASSERT_TRUE(ParsePackageDescription(text, "package.json", fs::path("pkg"), package, problems));
  EXPECT_TRUE(problems.empty());
  EXPECT_EQ(package.version, "1.4.0");
  EXPECT_EQ(package.launcher, "app.exe");
  ASSERT_EQ(package.cleans.size(), 3u);
  EXPECT_EQ(package.cleans[0].kind, CleanKind::File);
  EXPECT_FALSE(package.cleans[0].fail_ok);
  EXPECT_EQ(package.cleans[1].path, "cache\\");
  EXPECT_EQ(package.cleans[1].kind, CleanKind::Dir);
  EXPECT_TRUE(package.cleans[1].fail_ok);
  EXPECT_EQ(package.cleans[2].kind, CleanKind::Registry);
  EXPECT_EQ(package.cleans[2].origin, "package.json: cleans[2]");
  ASSERT_EQ(package.updates.size(), 2u);
  EXPECT_EQ(package.updates[0].path, "bin\\app.exe");
  EXPECT_EQ(package.updates[0].source, fs::path("pkg") / "build/app.exe");
  EXPECT_EQ(package.updates[0].origin, "package.json: updates[0]");
  EXPECT_EQ(package.updates[1].source, fs::path("/abs/readme.txt"));
  EXPECT_EQ(package.identity.product, "Demo");
  EXPECT_EQ(package.identity.company, "Example Ltd");
  EXPECT_EQ(package.identity.description, "");
  EXPECT_EQ(package.identity.icon, fs::path("pkg") / "art/app.ico");
}

TEST(PackageDescriptionTest, RefusesWhatTheStubWouldNotReadOrAWriterDidNotMean) {
  struct Row {
    const char* text;
    const char* what;
    const char* why;
  };
  const Row rows[] = {
      {"", "p.json", "not valid JSON near line 1, column 1"},
      {"{\"version\":\"1\",\n \"updates\":[}", "p.json", "not valid JSON near line 2"},
      {R"({"version":"1"} trailing)", "p.json", "text after the JSON object"},
      {R"(["version"])", "p.json", "one JSON object"},
      {R"({"updates":[]})", "p.json", "\"version\" is missing"},
      {R"({"version":1})", "p.json", "\"version\" must be a string"},
      {R"({"version":"1","launcher":null})", "p.json", "\"launcher\" must be a string"},
      {R"({"version":"1","lanucher":"a.exe"})", "p.json", "unknown key \"lanucher\""},
      {R"({"version":"1","VERSION":"2"})", "p.json", "key \"version\" given twice"},
      {R"({"version":"1","cleans":{}})", "p.json", "\"cleans\" must be an array"},
      {R"({"version":"1","updates":"app.exe"})", "p.json", "\"updates\" must be an array"},
      {R"({"version":"1","cleans":["a.dll"]})", "p.json: cleans[0]", "must be an object"},
      {R"({"version":"1","cleans":[{"path":"a","type":"file"}]})", "p.json: cleans[0]", "\"fail_ok\" must be true or false"},
      {R"({"version":"1","cleans":[{"path":"a","fail_ok":"false","type":"file"}]})", "p.json: cleans[0]", "\"fail_ok\" must be true or false"},
      {R"({"version":"1","cleans":[{"path":"a","fail_ok":0,"type":"file"}]})", "p.json: cleans[0]", "\"fail_ok\" must be true or false"},
      {R"({"version":"1","cleans":[{"path":"a","fail_ok":true,"type":"folder"}]})", "p.json: cleans[0]", "unknown type \"folder\""},
      {R"({"version":"1","cleans":[{"fail_ok":true,"type":"file"}]})", "p.json: cleans[0]", "\"path\" is missing"},
      {R"({"version":"1","cleans":[{"path":"a","fail_ok":true,"type":"file","why":1}]})", "p.json: cleans[0]", "unknown key \"why\""},
      {R"({"version":"1","updates":[{"path":"a.exe"}]})", "p.json: updates[0]", "\"source\" is missing"},
      {R"({"version":"1","updates":[{"path":"a.exe","source":"a","size":1}]})", "p.json: updates[0]", "unknown key \"size\""},
      {R"({"version":"1","updates":[{"path":7,"source":"a"}]})", "p.json: updates[0]", "\"path\" must be a string"},
      {R"({"version":"1","updates":[1]})", "p.json: updates[0]", "must be an object"},
      {"{\"version\":\"\xC3\x28\"}", "p.json", "not valid UTF-8"},
      {R"({"version":"1","updates":[{"path":"x\u0000y.dll","source":"a"}]})", "p.json: updates[0]", "\"path\" holds \\u0000"},
      {R"({"version":"1\u0000","updates":[]})", "p.json", "\"version\" holds \\u0000"},
      {R"({"version":"1","cleans":[{"path":"a","fail_ok":true,"ty\u0000pe":"file"}]})", "p.json: cleans[0]", "the key \"ty\\u0000pe\" holds"},
      {R"({"version":"1","copyright":2026})", "p.json", "\"copyright\" must be a string"},
      {R"({"version":"1","icon":""})", "p.json", "\"icon\" must name an .ico file"},
      {R"({"version":"1","product":"A","Product":"B"})", "p.json", "key \"product\" given twice"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    Package package;
    std::vector<Problem> problems;
    EXPECT_FALSE(ParsePackageDescription(row.text, "p.json", ".", package, problems));
    ASSERT_FALSE(problems.empty());
    EXPECT_EQ(problems[0].what, row.what);
    EXPECT_NE(problems[0].why.find(row.why), std::string::npos) << problems[0].why;
  }
}

TEST(PackageValidationTest, NamesEveryEntryItRefuses) {
  TempFolder dir;
  const fs::path app = dir.Write("app.exe", "MZ program");
  Package package;
  package.version = "2.0";
  package.launcher = "..\\launcher.exe";
  package.cleans = {{"HKEY_CLASSES_ROOT\\.demo", CleanKind::Registry, true, "p: cleans[0]"},
                    {"C:\\old.dll", CleanKind::File, false, "p: cleans[1]"},
                    {"logs\\", CleanKind::Dir, true, "p: cleans[2]"}};
  // Files around the largest size a stream can carry, sparse: their size is refused (or not)
  // before anything reads them.
  const fs::path largest = dir.Write("largest.bin", ""), larger = dir.Write("larger.bin", "");
  fs::resize_file(largest, kMaxFileSize);
  fs::resize_file(larger, kMaxFileSize + 1);
  package.updates = {{"bin\\app.exe", app, "p: updates[0]"},
                     {"BIN/App.exe", app, "p: updates[1]"},
                     {"missing.dll", dir.path() / "missing.dll", "p: updates[2]"},
                     {"folder.dat", dir.path(), "p: updates[3]"},
                     {"..\\up.dll", app, "p: updates[4]"},
                     {"largest.bin", largest, "p: updates[5]"},
                     {"larger.bin", larger, "p: updates[6]"}};
  std::vector<Problem> problems, warnings;
  EXPECT_FALSE(ValidatePackage(package, false, UpdateMode::Safe, problems, warnings));
  struct Expected {
    std::string what;
    const char* why;
  };
  const Expected expected[] = {
      {"launcher \"..\\launcher.exe\"", "leads out of the install directory"},
      {"p: cleans[0] \"HKEY_CLASSES_ROOT\\.demo\"", "unknown registry root"},
      {"p: cleans[1] \"C:\\old.dll\"", "drive letter"},
      {"p: updates[1] \"BIN/App.exe\"", "same file as p: updates[0] \"bin\\app.exe\""},
      {"p: updates[2] \"missing.dll\"", "not found"},
      {"p: updates[3] \"folder.dat\"", "is not a file"},
      {"p: updates[4] \"..\\up.dll\"", "leads out of the install directory"},
      {"p: updates[6] \"larger.bin\"",
       "has 2146435073 bytes; a file can be at most 2146435072 bytes (2 GiB - 1 MiB)"},
  };
  ASSERT_EQ(problems.size(), std::size(expected));
  for (std::size_t i = 0; i < problems.size(); ++i) {
    EXPECT_EQ(problems[i].what, expected[i].what);
    EXPECT_NE(problems[i].why.find(expected[i].why), std::string::npos) << problems[i].why;
  }

  // With --allow-outside only the paths that leave the install directory become acceptable.
  problems.clear();
  EXPECT_FALSE(ValidatePackage(package, true, UpdateMode::Safe, problems, warnings));
  EXPECT_EQ(problems.size(), std::size(expected) - 2);
}

// The compatible run writes each file in place after the cleans and creates no folder, and
// cannot deliver an empty file; the safe run has none of these limits.
TEST(PackageValidationTest, TheCompatibleRunRefusesOrWarnsAboutWhatItCannotDeliver) {
  struct Row {
    UpdateMode mode;
    const char* dir_clean;  // "": none
    const char* update;
    const char* content;
    const char* problem;  // "": accepted
    const char* warning;  // "": none
    bool allow_outside = false;
  };
  const UpdateMode safe = UpdateMode::Safe, compat = UpdateMode::Compatible;
  const Row rows[] = {
      {safe, "", "empty.txt", "", "", ""},
      {compat, "", "empty.txt", "", "an empty file cannot be delivered", ""},
      {compat, "", "data\\sub/a.dll", "a", "", "lies in folder \"data\\sub\"; the compatible stub creates no folders"},
      {safe, "cache\\", "cache\\x.dll", "a", "", ""},
      {compat, "cache\\", "cache\\x.dll", "a", "the directory clean p: cleans[0] \"cache\\\" removes its folder first", ""},
      {compat, "cache", "Cache\\sub\\y.dll", "a", "removes its folder first", ""},
      {compat, "cache\\sub", "cache\\y.dll", "a", "", "lies in folder \"cache\""},
      {compat, "cache", "cache", "a", "", ""},
      {compat, "cache", "cachex\\y.dll", "a", "", "lies in folder"},
      {compat, "a\\..", "x.dll", "a", "the directory clean p: cleans[0] \"a\\..\" removes", "", true},
      {compat, "..\\..", "..\\y.dll", "a", "removes its folder first", "", true},
      {compat, "..", "..\\..\\y.dll", "a", "", "", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.update) + (row.mode == safe ? " (safe)" : " (compatible)"));
    TempFolder dir;
    Package package{"1", "", {}, {{row.update, dir.Write("source", row.content), "u"}}};
    if (*row.dir_clean != '\0') package.cleans = {{row.dir_clean, CleanKind::Dir, false, "p: cleans[0]"}};
    std::vector<Problem> problems, warnings;
    EXPECT_EQ(ValidatePackage(package, row.allow_outside, row.mode, problems, warnings), *row.problem == '\0');
    for (const auto& [found, expected] : {std::pair(&problems, row.problem), std::pair(&warnings, row.warning)}) {
      ASSERT_EQ(found->size(), *expected == '\0' ? 0u : 1u);
      if (!found->empty()) {
        EXPECT_NE(found->front().why.find(expected), std::string::npos) << found->front().why;
      }
    }
  }
}

TEST(PackageValidationTest, APackageWithoutUpdatesHasNothingToDeliver) {
  Package package;
  package.version = "1";
  std::vector<Problem> problems, warnings;
  EXPECT_FALSE(ValidatePackage(package, false, UpdateMode::Safe, problems, warnings));
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].why.find("nothing to deliver"), std::string::npos);
}

// Reads and checks `text` with one source file "src" beside it; the problems and warnings.
void CheckDescription(const std::string& text, bool allow_broad_clean, std::vector<Problem>& problems,
                      std::vector<Problem>& warnings) {
  TempFolder dir;
  dir.Write("src", "content");
  Package package;
  if (ParsePackageDescription(text, "p.json", dir.path(), package, problems)) {
    (void)ValidatePackage(package, false, UpdateMode::Safe, problems, warnings, allow_broad_clean);
  }
}

bool Mentions(const std::vector<Problem>& found, const std::string& text) {
  return std::any_of(found.begin(), found.end(), [&](const Problem& p) {
    return (p.what + ": " + p.why).find(text) != std::string::npos;
  });
}

std::string Describe(const std::vector<Problem>& found) {
  std::string text;
  for (const Problem& p : found) text += "\n  " + p.what + ": " + p.why;
  return text;
}

// Packages the stub cannot apply, or would apply with harm to the machine; rows with no
// message are near misses that must pass.
TEST(PackageValidationTest, RefusesWhatTheStubCannotApplyOrWouldApplyWithHarm) {
  struct Row {
    std::string text;
    const char* problem;  // nullptr: accepted
  };
  const auto clean = [](const std::string& path, const char* type = "registry") {
    return R"({"version":"1.0","updates":[{"path":"app.exe","source":"src"}],"cleans":[{"path":")" +
           path + R"(","fail_ok":true,"type":")" + type + "\"}]}";
  };
  const auto update = [](const std::string& path, const std::string& other = "b.dll") {
    return R"({"version":"1.0","updates":[{"path":")" + other + R"(","source":"src"},{"path":")" +
           path + R"(","source":"src"}]})";
  };
  const auto launch = [](const std::string& launcher, const std::string& cleans = "") {
    return R"({"version":"1.0","launcher":")" + launcher +
           R"(","updates":[{"path":"app.exe","source":"src"}],"cleans":[)" + cleans + "]}";
  };
  const Row rows[] = {
      // Registry cleans of whole branches or of keys other programs share.
      {clean(R"(HKEY_CURRENT_USER\\Software)"), "cleans[0] \"HKEY_CURRENT_USER\\Software\": a key less than two levels below HKEY_CURRENT_USER"},
      {clean(R"(hkey_local_machine\\software\\microsoft)"), "the key holds \"Windows\\CurrentVersion\\Run\""},
      {clean(R"(HKEY_CURRENT_USER\\\\Software\\\\Classes\\)"), "share this key"},
      {clean(R"(HKEY_CURRENT_USER\\Software\\Policies)"), "(--allow-broad-clean permits this)"},
      {clean(R"(HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet)"), "the key holds \"Services\""},
      {clean(R"(HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum)"), "share this key"},
      {clean(R"(HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall)"), "share this key"},
      {clean(R"(HKEY_CLASS_ROOT\\.txt)"), "less than two levels below HKEY_CLASS_ROOT"},
      {clean(R"(HKEY_CURRENT_USER\\Software\\Classes\\.txt)"), "the key holds \"OpenWithProgids\""},
      {clean(R"(HKEY_CLASS_ROOT\\*\\shell)"), "share this key"},
      {clean(R"(HKEY_CLASS_ROOT\\CLSID\\\\)"), "less than two levels"},
      {clean(R"(HKEY_CURRENT_USER\\Software\\Classes\\clsid)"), "share this key"},
      {clean(R"(HKEY_CURRENT_USER\\Software\\Demo)"), nullptr},
      {clean(R"(HKEY_CURRENT_USER\\Software\\Classes\\Demo.Document)"), nullptr},
      {clean(R"(HKEY_CLASS_ROOT\\CLSID\\{4A5B6C7D-0000-4000-8000-00000000D3E0})"), nullptr},
      {clean(R"(HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Demo)"), nullptr},
      {clean(R"(HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Demo)"), nullptr},
      // Names Windows cannot hold, or holds as one.
      {update("nul.txt"), "updates[1] \"nul.txt\": the name \"nul.txt\" is a device in Windows"},
      {update("bin/Com1 .log"), "the name \"Com1 .log\" is a device"},
      {update("LPT\xC2\xB9"), "is a device"},
      {update("CONOUT$"), "is a device"},
      {clean("logs/aux", "file"), "cleans[0] \"logs/aux\": the name \"aux\" is a device"},
      {clean("con\\\\", "dir"), "is a device"},
      {update("console.txt"), nullptr},
      {update("com10.txt"), nullptr},
      {update("COM0"), nullptr},
      {update("A/b.dll", "a"), "updates[1] \"A\\b.dll\": its folder is the file of p.json: updates[0] \"a\"; Windows cannot hold a file and a folder of one name"},
      {update("\xC6\xAF.txt", "\xC6\xB0.txt"), "same file as"},  // Ư / ư
      {update("\xEF\xBC\xA1.txt", "\xEF\xBD\x81.txt"), "same file as"},  // Ａ / ａ
      {update("\xCF\x82.txt", "\xCE\xA3.txt"), nullptr},  // final ς is not Σ's own small letter
      {update("SS.txt", "\xC3\x9F.txt"), nullptr},  // ß has no single upper-case letter
      // An escaped backslash before "u0000" is no NUL.
      {update(R"(a\\u0000.dll)"), nullptr},
      // Launchers the stub would not find as a file, or would find gone.
      {launch("app.exe --minimized"), "launcher \"app.exe --minimized\": reads as a command line with arguments"},
      {launch("app.exe /s"), "reads as a command line"},
      {launch(R"(\"app.exe\")"), "holds quotes"},
      {launch(" app.exe"), "starts or ends with a blank"},
      {launch("tool.exe", R"({"path":"tool.exe","fail_ok":false,"type":"file"})"), "the clean p.json: cleans[0] \"tool.exe\" removes it and no update delivers it"},
      {launch("bin/tool.exe", R"({"path":"Bin","fail_ok":false,"type":"dir"})"), "removes it and no update delivers it"},
      {launch("app.exe", R"({"path":"app.exe","fail_ok":false,"type":"file"})"), nullptr},
      {launch("My App/app.exe"), nullptr},
      {R"({"version":"","updates":[{"path":"app.exe","source":"src"}]})", "version: empty"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    std::vector<Problem> problems, warnings;
    CheckDescription(row.text, false, problems, warnings);
    if (row.problem == nullptr) {
      EXPECT_TRUE(problems.empty()) << Describe(problems);
    } else {
      EXPECT_TRUE(Mentions(problems, row.problem)) << Describe(problems);
    }
  }
}

// What packs, but with a warning; --allow-broad-clean turns a refused registry clean into one.
TEST(PackageValidationTest, WarnsAboutWhatMayNotDoWhatItsWriterMeant) {
  struct Row {
    std::string text;
    bool allow_broad_clean;
    const char* warning;  // nullptr: none
  };
  const auto pkg = [](const std::string& version, const std::string& rest = "") {
    return R"({"version":")" + version + R"(","updates":[{"path":"app.exe","source":"src"}])" + rest + "}";
  };
  const Row rows[] = {
      {pkg("v1.2"), false, "version \"v1.2\": neither dotted numbers (1 to 4 parts, such as 1.4.0.12) nor a SemVer version"},
      {pkg("1.2.3.4.5"), false, "neither dotted numbers"},
      {pkg("1.02.3-beta"), false, "neither dotted numbers"},
      {pkg("2024"), false, nullptr},
      {pkg("1.4.0-beta.2+exp.sha.5114f85"), false, nullptr},
      {pkg("1.0", R"(,"launcher":"other.exe")"), false, "launcher \"other.exe\": no update delivers it"},
      {pkg("1.0", R"(,"launcher":"APP.EXE")"), false, nullptr},
      {pkg("1.0", R"(,"cleans":[{"path":"HKEY_CURRENT_USER\\Software","fail_ok":true,"type":"registry"}])"), true,
       "cleans[0] \"HKEY_CURRENT_USER\\Software\": a key less than two levels below HKEY_CURRENT_USER"},
      {pkg("1.0", R"(,"cleans":[{"path":"HKEY_CLASS_ROOT\\.demo\\OpenWithProgids","fail_ok":true,"type":"registry"}])"), true,
       "share this key, and the stub deletes it with everything below it; packed as --allow-broad-clean asks"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    std::vector<Problem> problems, warnings;
    CheckDescription(row.text, row.allow_broad_clean, problems, warnings);
    EXPECT_TRUE(problems.empty()) << Describe(problems);
    if (row.warning == nullptr) {
      EXPECT_TRUE(warnings.empty()) << Describe(warnings);
    } else {
      EXPECT_TRUE(Mentions(warnings, row.warning)) << Describe(warnings);
    }
  }
}

TEST(FolderFilesTest, AddsEveryFileInByteOrderWithBackslashes) {
  TempFolder dir;
  dir.Write("b.txt", "b");
  dir.Write("A.txt", "A");
  dir.Write("sub/z.dll", "z");
  dir.Write("sub/deeper/x.bin", "x");
  dir.Write("sub-file", "s");
  fs::create_directories(dir.path() / "empty-folder");
  Package package;
  package.updates.push_back({"first.exe", dir.path() / "b.txt", "p: updates[0]"});
  std::vector<Problem> problems;
  ASSERT_TRUE(AddFolderFiles(dir.path(), DefaultFolderFilter(), package, problems));
  std::vector<std::string> paths;
  for (const PackageUpdate& u : package.updates) paths.push_back(u.path);
  // Byte order: 'A' < 'b' < "sub-file" ('-' 0x2D) < "sub\..." ('\' 0x5C).
  EXPECT_EQ(paths, (std::vector<std::string>{"first.exe", "A.txt", "b.txt", "sub-file",
                                             "sub\\deeper\\x.bin", "sub\\z.dll"}));
  EXPECT_EQ(package.updates[4].source, dir.path() / "sub" / "deeper" / "x.bin");
  EXPECT_EQ(package.updates[4].origin, "--from");
}

TEST(FolderFilesTest, LeavesOutTheDefaultNamesTheSkippedFilesAndWhatExcludesMatch) {
  TempFolder dir;
  for (const char* file : {"app.exe", "x.pdb", "sub/y.pdb", "logs/a.txt", "logs/deep/b.txt",
                           ".git/config", "sub/.GIT/HEAD", "Thumbs.db", "sub/thumbs.db",
                           ".DS_Store", ".hg/store", ".svn/entries", "package.json"}) {
    dir.Write(file, file);
  }
  // The skipped file by another name: compared by identity.
  fs::create_hard_link(dir.path() / "package.json", dir.path() / "alias.json");
  struct Row {
    std::vector<std::string> excludes;
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {{}, {"app.exe", "logs\\a.txt", "logs\\deep\\b.txt", "sub\\y.pdb", "x.pdb"}},
      {{"*.PDB"}, {"app.exe", "logs\\a.txt", "logs\\deep\\b.txt"}},
      {{"?.pdb", "deep"}, {"app.exe", "logs\\a.txt"}},
      {{"logs/*.txt"}, {"app.exe", "logs\\deep\\b.txt", "sub\\y.pdb", "x.pdb"}},
      {{"logs/**"}, {"app.exe", "sub\\y.pdb", "x.pdb"}},
      {{"**/b.txt", "sub/*"}, {"app.exe", "logs\\a.txt", "x.pdb"}},
      {{"logs\\*.txt", "./sub/"}, {"app.exe", "logs\\deep\\b.txt", "x.pdb"}},
  };
  for (const Row& row : rows) {
    FolderFilter filter = DefaultFolderFilter();
    filter.skip_files = {dir.path() / "package.json", dir.path() / "no-such-output.exe"};
    filter.excludes.insert(filter.excludes.end(), row.excludes.begin(), row.excludes.end());
    Package package;
    std::vector<Problem> problems;
    ASSERT_TRUE(AddFolderFiles(dir.path(), filter, package, problems)) << problems[0].why;
    std::vector<std::string> paths;
    for (const PackageUpdate& u : package.updates) paths.push_back(u.path);
    EXPECT_EQ(paths, row.expected) << (row.excludes.empty() ? "" : row.excludes[0]);
  }
}

#ifndef _WIN32
TEST(FolderFilesTest, FollowsLinksToFoldersAndRefusesALoop) {
  TempFolder dir;
  dir.Write("release/app.exe", "a");
  dir.Write("shared/lib.dll", "l");
  fs::create_directory_symlink("../shared", dir.path() / "release" / "lib");
  Package package;
  std::vector<Problem> problems;
  ASSERT_TRUE(AddFolderFiles(dir.path() / "release", DefaultFolderFilter(), package, problems));
  ASSERT_EQ(package.updates.size(), 2u);
  EXPECT_EQ(package.updates[1].path, "lib\\lib.dll");

  fs::create_directory_symlink("../release", dir.path() / "shared" / "up");
  problems.clear();
  EXPECT_FALSE(AddFolderFiles(dir.path() / "release", DefaultFolderFilter(), package, problems));
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].what, "--from \"lib/up\"");
  EXPECT_NE(problems[0].why.find("a folder that contains it (a loop)"), std::string::npos);
}
#endif

TEST(FolderFilesTest, RefusesAMissingFolder) {
  TempFolder dir;
  Package package;
  std::vector<Problem> problems;
  EXPECT_FALSE(AddFolderFiles(dir.path() / "nope", DefaultFolderFilter(), package, problems));
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].what.rfind("--from \"", 0), 0u);
}

TEST(PreviousReleaseTest, CleansWhatTheInstalledReleaseHasAndTheNewOneNoLonger) {
  TempFolder old;
  for (const char* path : {"app.exe", "KEEP.txt", "gone.dll", "plugins/old/a.dll", "plugins/old/b/c.dll",
                           "plugins/kept.dll", "plugins/dropped.dll", "docs/readme.txt", ".git/HEAD",
                           "cleaned.txt"}) {
    old.Write(path, "x");
  }
  Package package;
  for (const char* path : {"app.exe", "keep.txt", "plugins\\kept.dll", "docs-new\\readme.txt"}) {
    package.updates.push_back({path, "src", "p: updates"});
  }
  package.cleans.push_back({"Cleaned.TXT", CleanKind::File, false, "p: cleans[0]"});
  std::vector<PackageClean> added;
  std::vector<Problem> problems;
  ASSERT_TRUE(AddPreviousReleaseCleans(old.path(), package, added, problems));
  EXPECT_TRUE(problems.empty());
  // Case-only renames stay, a folder no update lies in goes as one directory clean, the package's
  // own cleans and the default excludes are not repeated.
  std::vector<std::string> listed;
  for (const PackageClean& c : added) {
    listed.push_back((c.kind == CleanKind::Dir ? "dir " : "file ") + c.path + (c.fail_ok ? "" : " (no fail_ok)"));
    EXPECT_EQ(c.origin, "--previous");
  }
  EXPECT_EQ(listed, (std::vector<std::string>{"dir docs", "file gone.dll", "file plugins\\dropped.dll",
                                              "dir plugins\\old"}));
  EXPECT_EQ(package.cleans.size(), 5u);

  EXPECT_FALSE(AddPreviousReleaseCleans(old.path() / "nope", package, added, problems));
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].what.rfind("--previous \"", 0), 0u);
}

}  // namespace
}  // namespace boot
