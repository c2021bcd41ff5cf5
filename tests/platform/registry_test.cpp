// The read-only registry stand-in.
#include <gtest/gtest.h>

#include <cstdlib>

#include "common/testutil.h"
#include "platform/registry.h"

using plat::RegKey;
using plat::RegRoot;

namespace {

std::string Utf16Le(const std::string& utf8) {
  WString w = WideFromUtf8(utf8);
  std::string b = "\xFF\xFE";
  for (char16_t c : w) {
    b.push_back((char)(c & 0xFF));
    b.push_back((char)(c >> 8));
  }
  return b;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("QUILLUP_REGISTRY_DIR", tmp.path().c_str(), 1); }
  void TearDown() override {
    unsetenv("QUILLUP_REGISTRY_DIR");
    unsetenv("http_proxy");
    unsetenv("HTTP_PROXY");
  }
  testutil::TempDir tmp;
};

}  // namespace

TEST_F(RegistryTest, ReadsValuesOfBothFormats) {
  // Version 5 files are UTF-16LE; REGEDIT4 ones are byte text.
  testutil::WriteFile(tmp.sub("HKLM.reg"), Utf16Le("Windows Registry Editor Version 5.00\r\n\r\n"
                                                   "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\yq]\r\n"
                                                   "@=\"0123456789ABCDEF0123456789abcdef\"\r\n"
                                                   "\"Path\"=\"C:\\\\客户端\\\\\\\"q\\\"\"\r\n"
                                                   "\"Count\"=dword:0000001f\r\n"
                                                   "\"Exp\"=hex(2):25,00,41,00,\\\r\n  25,00,00,00\r\n"
                                                   "\"Bin\"=hex:01,02,03\r\n"));
  RegKey key;
  ASSERT_TRUE(key.Open(RegRoot::LocalMachine, u"software\\corvane\\YQ"));
  WString s;
  ASSERT_TRUE(key.QueryString(u"", s));
  EXPECT_EQ(s, u"0123456789ABCDEF0123456789abcdef");
  EXPECT_EQ(key.QuerySize(u""), 66);
  ASSERT_TRUE(key.QueryString(u"path", s));
  EXPECT_EQ(s, u"C:\\客户端\\\"q\"");
  uint32_t d = 0;
  ASSERT_TRUE(key.QueryDword(u"Count", d));
  EXPECT_EQ(d, 31u);
  EXPECT_FALSE(key.QueryString(u"Count", s));
  ASSERT_TRUE(key.QueryString(u"Exp", s));
  EXPECT_EQ(s, u"%A%");
  EXPECT_EQ(key.QuerySize(u"Bin"), 3);
  EXPECT_FALSE(key.QueryString(u"Bin", s));
  EXPECT_EQ(key.QuerySize(u"Missing"), -1);

  testutil::WriteFile(tmp.sub("HKCU.reg"), "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\A]\n\"v\"=\"x\"\n"
                                           "[HKEY_LOCAL_MACHINE\\Software\\B]\n\"v\"=\"y\"\n");
  ASSERT_TRUE(key.Open(RegRoot::CurrentUser, u"Software\\A"));
  ASSERT_TRUE(key.QueryString(u"v", s));
  EXPECT_EQ(s, u"x");
  // A key of another root in the file does not belong to this one.
  EXPECT_FALSE(key.Open(RegRoot::CurrentUser, u"Software\\B"));
  EXPECT_FALSE(key.IsOpen());
}

TEST_F(RegistryTest, MissingFileOrKeyIsAbsent) {
  RegKey key;
  EXPECT_FALSE(key.Open(RegRoot::LocalMachine, u"software\\Corvane\\yq"));
  testutil::WriteFile(tmp.sub("HKLM.reg"), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\software\\Corvane]\n@=\"x\"\n");
  EXPECT_FALSE(key.Open(RegRoot::LocalMachine, u"software\\Corvane\\yq"));
  WString s;
  EXPECT_FALSE(key.QueryString(u"", s));
}

TEST_F(RegistryTest, SystemProxy) {
  WString server;
  EXPECT_FALSE(plat::QuerySystemProxy(server));
  const std::string key = "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings]\n";
  testutil::WriteFile(tmp.sub("HKCU.reg"), "REGEDIT4\n\n" + key + "\"ProxyEnable\"=dword:00000000\n"
                                           "\"ProxyServer\"=\"10.1.1.1:3128\"\n");
  EXPECT_FALSE(plat::QuerySystemProxy(server));
  testutil::WriteFile(tmp.sub("HKCU.reg"), "REGEDIT4\n\n" + key + "\"ProxyEnable\"=dword:00000001\n"
                                           "\"ProxyServer\"=\"10.1.1.1:3128\"\n");
  EXPECT_TRUE(plat::QuerySystemProxy(server));
  EXPECT_EQ(server, u"10.1.1.1:3128");
  // The Linux convention when the settings name none.
  testutil::WriteFile(tmp.sub("HKCU.reg"), "REGEDIT4\n");
  setenv("http_proxy", "http://user:pw@10.2.2.2:8080/", 1);
  EXPECT_TRUE(plat::QuerySystemProxy(server));
  EXPECT_EQ(server, u"10.2.2.2:8080");
}
