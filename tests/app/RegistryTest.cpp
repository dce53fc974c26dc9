#include <gtest/gtest.h>

#include <future>

#include "app/Registry.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {

const std::string kKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\services\\AppleHFS";

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { SetRegistryFile(dir_ / "registry.ini"); }
  void TearDown() override { SetRegistryFile(""); }
  test::TempDir dir_{"fk-reg"};
};

TEST_F(RegistryTest, OnlyFullRootNamesOpenKeys) {
  EXPECT_EQ(Reg_CreateKey(kKey), 1);
  EXPECT_EQ(Reg_KeyExists(kKey), 1);
  EXPECT_EQ(Reg_KeyExists("hkey_local_machine\\system\\currentcontrolset\\SERVICES\\applehfs"), 1);
  EXPECT_EQ(Reg_KeyExists("HKLM\\SYSTEM\\CurrentControlSet\\services\\AppleHFS"), 0);
  EXPECT_EQ(Reg_CreateKey("HKLM\\Software\\X"), 0);
  EXPECT_EQ(Reg_CreateValue("HKCU\\Software\\X", "v", "1", REG_DWORD), 0);
  EXPECT_EQ(Reg_KeyExists("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\services"), 1);  // parents made too
  EXPECT_EQ(Reg_KeyExists("HKEY_LOCAL_MACHINE\\SYSTEM\\Other"), 0);
}

TEST_F(RegistryTest, ValuesAreExchangedAsText) {
  ASSERT_EQ(Reg_CreateKey(kKey), 1);
  EXPECT_EQ(Reg_SetValue(kKey, "Start", "145", REG_DWORD), 1);
  EXPECT_EQ(Reg_GetValue(kKey, "Start"), "145");
  EXPECT_EQ(Reg_SetValue(kKey, "Zero", "", REG_DWORD), 1);
  EXPECT_EQ(Reg_GetValue(kKey, "Zero"), "0");
  EXPECT_EQ(Reg_SetValue(kKey, "Big", "4294967295", REG_DWORD), 1);  // four bytes: all ones
  EXPECT_EQ(Reg_GetValue(kKey, "Big"), "-1");

  EXPECT_EQ(Reg_SetValue(kKey, "Bin", "010aff", REG_BINARY), 1);
  EXPECT_EQ(Reg_GetValue(kKey, "Bin"), "010AFF");
  EXPECT_EQ(Reg_SetValue(kKey, "Odd", "01A", REG_BINARY), 1);  // an odd last digit is dropped
  EXPECT_EQ(Reg_GetValue(kKey, "Odd"), "01");
  EXPECT_EQ(Reg_SetValue(kKey, "Huge", std::string(3000, 'F'), REG_BINARY), 1);
  EXPECT_EQ(Reg_GetValue(kKey, "Huge").size(), 2048u);  // at most 1024 bytes are read

  // Texts keep what the file format could not carry plainly.
  const char kText[] = " C:\\Windows\\x = 100%\r\n[not a group]\0tail ";
  const std::string text(kText, sizeof kText - 1);
  EXPECT_EQ(Reg_SetValue(kKey, "ImagePath", text, REG_EXPAND_SZ), 1);
  EXPECT_EQ(Reg_SetValue(kKey, "", "default value", REG_SZ), 1);
  EXPECT_EQ(Reg_SetValue(kKey, "@odd=name", "x", REG_SZ), 1);
  EXPECT_EQ(Reg_GetValue(kKey, "ImagePath"), text);
  EXPECT_EQ(Reg_GetValue(kKey, ""), "default value");
  EXPECT_EQ(Reg_GetValue(kKey, "@odd=name"), "x");

  EXPECT_EQ(Reg_SetValue(kKey, "Other", "x", 7), 1);  // unknown type: stored nowhere
  EXPECT_EQ(Reg_ValueExists(kKey, "Other"), 0);
  EXPECT_EQ(Reg_ValueExists(kKey, "start"), 1);
  EXPECT_EQ(Reg_GetValue(kKey, "Missing"), "");
  EXPECT_EQ(Reg_GetValue(kKey + "\\Nope", "Start"), "");

  // The key must exist for Reg_SetValue; Reg_CreateValue makes it.
  const std::string fresh = "HKEY_CURRENT_USER\\Software\\Flashkeel\\Test";
  EXPECT_EQ(Reg_SetValue(fresh, "v", "1", REG_SZ), 0);
  EXPECT_EQ(Reg_KeyExists(fresh), 0);
  EXPECT_EQ(Reg_CreateValue(fresh, "v", "1", REG_SZ), 1);
  EXPECT_EQ(Reg_GetValue(fresh, "v"), "1");
}

TEST_F(RegistryTest, SubKeysDeleteAndTrees) {
  const std::string root = "HKEY_LOCAL_MACHINE\\Software\\FkTree";
  for (const char* sub : {"b", "A", "c\\deep\\deeper"}) ASSERT_EQ(Reg_CreateKey(root + "\\" + sub), 1);
  EXPECT_EQ(Reg_GetSubKey(root, 0), "A");
  EXPECT_EQ(Reg_GetSubKey(root, 1), "b");
  EXPECT_EQ(Reg_GetSubKey(root, 2), "c");
  EXPECT_EQ(Reg_GetSubKey(root, 3), "");

  EXPECT_EQ(Reg_DeleteKey(root + "\\c"), 0);  // has subkeys
  EXPECT_EQ(Reg_DeleteKey(root + "\\A"), 1);
  EXPECT_EQ(Reg_DeleteKey(root + "\\A"), 0);

  EXPECT_EQ(Reg_DeleteKeyAll(root + "\\missing"), 0);
  EXPECT_EQ(Reg_KeyExists(root + "\\b"), 1);  // nothing else changed
  EXPECT_EQ(Reg_DeleteKeyAll(root), 1);
  EXPECT_EQ(Reg_KeyExists(root), 0);
  EXPECT_EQ(Reg_KeyExists(root + "\\c\\deep\\deeper"), 0);
  EXPECT_EQ(Reg_KeyExists("HKEY_LOCAL_MACHINE\\Software"), 1);
}

TEST_F(RegistryTest, TreeWithAnUndeletableSubkeyEnds) {
  const std::string root = "HKEY_LOCAL_MACHINE\\Software\\FkLocked";
  for (const char* sub : {"a", "b\\held", "b\\free", "c"}) ASSERT_EQ(Reg_CreateKey(root + "\\" + sub), 1);
  ASSERT_EQ(Reg_ProtectKey(root + "\\b\\held"), 1);
  auto done = std::async(std::launch::async, [&] { return Reg_DeleteKeyTree(root); });
  ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "Reg_DeleteKeyTree hangs";
  EXPECT_EQ(done.get(), 0);
  // Everything that could go went; the protected key and its parents stay.
  EXPECT_EQ(Reg_KeyExists(root + "\\b\\held"), 1);
  EXPECT_EQ(Reg_KeyExists(root + "\\b\\free"), 0);
  EXPECT_EQ(Reg_KeyExists(root + "\\a"), 0);
  EXPECT_EQ(Reg_KeyExists(root + "\\c"), 0);
  EXPECT_EQ(Reg_DeleteKeyAll(root), 1);
  EXPECT_EQ(Reg_KeyExists(root), 1);
}

}  // namespace
}  // namespace fk
