// The licence notices read from the component root and the PuTTY folder.
#include "app/licenses.h"
#include "app_fixture.h"

#include <map>
#include <regex>

namespace morvane::testing {
namespace {

std::string rule() {
  std::string r;
  for (int i = 0; i < 60; ++i) r += "\u2500";
  return r;
}

void put(const fs::path& p, const std::string& body) {
  fs::create_directories(p.parent_path());
  write_text(p, body);
}

TEST(Licenses, SeveralFilesBecomeRuledBlocksInTheirOrder) {
  TempDir d;
  fs::path m = d.path / "alpha-1.2.3.dist-info";
  put(m / "LICENSE.BSD", "bsd text\n\n");
  put(m / "LICENSE", "main text  \n");
  put(m / "LICENSE.APACHE", "apache text\n");
  put(m / "licenses" / "COPYING", "not a licence file name");
  put(m / "NOTICE.txt", "a NOTICE with an ending does not count");
  put(m / "METADATA", "Name: alpha");
  auto r = _read_license_file(m);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->first, "LICENSE \u00b7 LICENSE.APACHE \u00b7 LICENSE.BSD");
  EXPECT_EQ(r->second, rule() + "\n  LICENSE\n" + rule() + "\nmain text\n\n" + rule() + "\n  LICENSE.APACHE\n" +
                           rule() + "\napache text\n\n" + rule() + "\n  LICENSE.BSD\n" + rule() + "\nbsd text");
}

TEST(Licenses, FolderFilesComeBeforeTheSubfolderAndDotlessNamesFirst) {
  TempDir d;
  fs::path m = d.path / "x-1.dist-info";
  put(m / "licenses" / "LICENSE", "sub");
  put(m / "license.md", "md");
  put(m / "NOTICE", "notice");
  auto r = _read_license_file(m);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->first, "NOTICE \u00b7 license.md \u00b7 licenses/LICENSE");

  fs::path only = d.path / "y-2.dist-info";
  put(only / "licenses" / "LICENSE.txt", "the text\r\n\t\n");
  r = _read_license_file(only);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->first, "licenses/LICENSE.txt");
  EXPECT_EQ(r->second, "the text");

  fs::create_directories(d.path / "z-3.dist-info" / "LICENSE");  // a folder, not a file
  EXPECT_FALSE(_read_license_file(d.path / "z-3.dist-info"));
  EXPECT_FALSE(_read_license_file(d.path / "missing"));
}

TEST(Licenses, ListingSortsFoldersAndSplitsNamesAtTheLastDash) {
  TempDir d;
  fs::path root = d.path / "components";
  put(root / "nlohmann-json-3.11.2.dist-info" / "LICENSE", "MIT");
  put(root / "Zlib-1.2.13.dist-info" / "LICENSE", "zlib");
  put(root / "plain.dist-info" / "LICENCE", "no version");
  put(root / "empty-1.0.dist-info" / "README", "no licence");
  put(root / "stray-1.0" / "LICENSE", "not a metadata folder");
  put(root / "bad-utf8-1.dist-info" / "LICENSE", "caf\xE9");
  Json r = third_party_licenses(root, root / "Putty原始檔案");
  Json items = r["items"];
  ASSERT_EQ(items.size(), 4u) << items.dump();
  EXPECT_EQ(items[0], (Json{{"name", "Zlib"}, {"version", "1.2.13"}, {"license_file", "LICENSE"}, {"body", "zlib"}}));
  EXPECT_EQ(items[1]["name"], "bad-utf8");
  EXPECT_EQ(items[1]["body"], "caf\uFFFD");
  EXPECT_EQ(items[2]["name"], "nlohmann-json");
  EXPECT_EQ(items[2]["version"], "3.11.2");
  EXPECT_EQ(items[3]["name"], "plain");
  EXPECT_EQ(items[3]["version"], "");
  EXPECT_EQ(items[3]["license_file"], "LICENCE");

  EXPECT_EQ(third_party_licenses(d.path / "none", d.path / "none"), (Json{{"items", Json::array()}}));
}

TEST(Licenses, PuttyComesFirstWithItsReleaseAndUntouchedText) {
  TempDir d;
  fs::path root = d.path / "components";
  put(root / "a-1.dist-info" / "LICENSE", "a");
  put(root / "Putty原始檔案" / "LICENCE", "PuTTY is copyright 1997-2022.\n\n");
  Json items = third_party_licenses(root, root / "Putty原始檔案")["items"];
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0], (Json{{"name", "PuTTY"}, {"version", ""}, {"license_file", "LICENCE"},
                            {"body", "PuTTY is copyright 1997-2022.\n\n"}}));
  put(root / "Putty原始檔案" / "version.h", "#define RELEASE 0.78\n");
  items = third_party_licenses(root, root / "Putty原始檔案")["items"];
  EXPECT_EQ(items[0]["version"], "0.78");
  EXPECT_EQ(items[1]["name"], "a");
}

TEST_F(AppFixture, LicenceViewReadsTheComponentRootBesideTheProgram) {
  make_app();
  auto [components, putty_root] = app->_license_scan_dirs();
  EXPECT_EQ(components, res() / "licenses");
  EXPECT_EQ(putty_root, res() / "licenses" / "Putty原始檔案");
  EXPECT_EQ(app->bridge.call("get_third_party_licenses", Json::array()), (Json{{"items", Json::array()}}));
  put(components / "libssh-0.10.6.dist-info" / "LICENSE", "LGPL");
  Json items = app->bridge.call("get_third_party_licenses", Json::array())["items"];
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0]["name"], "libssh");
}

// Every library the program links or bundles has a notice, with the text the installed
// package carries (not a placeholder).
TEST(Licenses, TheBuildPlacesANoticeForEveryShippedComponent) {
  Json items = third_party_licenses(MORVANE_LICENSE_ROOT, fs::path(MORVANE_LICENSE_ROOT) / "Putty原始檔案")["items"];
  std::map<std::string, Json> by_name;
  for (auto& it : items) by_name[it["name"].get<std::string>()] = it;
  std::vector<std::pair<std::string, std::string>> want = {
      {"libssh", "libssh"}, {"ICU", "Unicode"}, {"nlohmann-json", "MIT"}, {"OpenSSL", "Apache"},
      {"zlib", "Jean-loup Gailly"}, {"cpp-httplib", "MIT"}, {"xterm.js", "MIT"}, {"xterm.js-addon-fit", "MIT"},
      {"xterm.js-addon-search", "MIT"}, {"xterm.js-addon-unicode11", "MIT"}, {"xterm.js-addon-web-links", "MIT"}};
  if (MORVANE_BUILD_GUI_ON) {
    want.push_back({"WebKitGTK", "LGPL"});
    want.push_back({"GTK", "LGPL"});
    want.push_back({"AppIndicator", "GPL"});
  }
  for (auto& [name, phrase] : want) {
    ASSERT_TRUE(by_name.count(name)) << name << " has no notice in " << MORVANE_LICENSE_ROOT;
    const Json& it = by_name[name];
    EXPECT_TRUE(std::regex_match(it["version"].get<std::string>(), std::regex("[0-9][0-9A-Za-z.]*"))) << it["version"];
    EXPECT_NE(it["body"].get<std::string>().find(phrase), std::string::npos) << name;
    EXPECT_GT(it["body"].get<std::string>().size(), 200u) << name;
  }
}

}  // namespace
}  // namespace morvane::testing
