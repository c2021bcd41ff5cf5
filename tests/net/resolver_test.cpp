// CNet::ResolveByPublicDns against the nslookup stand-in of the fixtures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "common/netservers.h"
#include "common/testutil.h"
#include "net/net.h"

namespace {

class ResolverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QUILLUP_TEST_NSLOOKUP_LOG", tmp.sub("calls.txt").c_str(), 1);
    setenv("QUILLUP_TEST_NSLOOKUP_OUTPUT", tmp.sub("answer.txt").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("QUILLUP_TEST_NSLOOKUP_LOG");
    unsetenv("QUILLUP_TEST_NSLOOKUP_OUTPUT");
  }
  void Answer(const std::string& text) { testutil::WriteFile(tmp.sub("answer.txt"), text); }
  std::string Calls() { return testutil::ReadFile(tmp.sub("calls.txt")); }

  static std::string Output(const std::string& name, const std::vector<std::string>& addrs) {
    std::string s = "Server:\t\t114.114.114.114\nAddress:\t114.114.114.114#53\n\nNon-authoritative answer:\n";
    for (auto& a : addrs) s += "Name:\t" + name + "\nAddress: " + a + "\n";
    return s + "\n";
  }

  testutil::TempDir tmp;
  CNet net;
};

}  // namespace

TEST_F(ResolverTest, AsksThePublicResolverAboutTheNameWithoutPort) {
  Answer(Output("localhost", {"10.1.1.1"}));
  EXPECT_EQ(net.ResolveByPublicDns(u"http://localhost:8080/servicepacksNum.xml"), u"10.1.1.1");
  EXPECT_EQ(Calls(), "-timeout=1 -retry=1 localhost 114.114.114.114\n");
}

TEST_F(ResolverTest, NoHostStartsNoProcess) {
  Answer(Output("localhost", {"10.1.1.1"}));
  EXPECT_EQ(net.ResolveByPublicDns(u"localhost/servicepacksNum.xml"), u"");
  EXPECT_EQ(net.ResolveByPublicDns(u"http://localhost"), u"");
  EXPECT_FALSE(testutil::Exists(tmp.sub("calls.txt")));
}

TEST_F(ResolverTest, ChoosesAmongSeveralAddressesAtRandom) {
  Answer(Output("localhost", {"10.1.1.1", "10.1.1.2"}));
  std::set<WString> seen;
  for (int i = 0; i < 40 && seen.size() < 2; ++i) {
    WString a = net.ResolveByPublicDns(u"http://localhost/x");
    ASSERT_TRUE(a == u"10.1.1.1" || a == u"10.1.1.2") << Utf8FromWide(a);
    seen.insert(a);
  }
  EXPECT_EQ(seen.size(), 2u);
}

TEST_F(ResolverTest, OnlyPlainIPv4AnswersQualify) {
  // The resolver's own address of a name that does not exist.
  unsetenv("QUILLUP_TEST_NSLOOKUP_OUTPUT");
  EXPECT_EQ(net.ResolveByPublicDns(u"http://localhost/x"), u"");
  setenv("QUILLUP_TEST_NSLOOKUP_OUTPUT", tmp.sub("answer.txt").c_str(), 1);
  // Leading zeros, IPv6 (split at its colons) and names never qualify.
  Answer(Output("localhost", {"010.1.1.1", "2001:db8::1", "1.2.3", "localhost"}));
  EXPECT_EQ(net.ResolveByPublicDns(u"http://localhost/x"), u"");
  Answer("\"10.9.8.7\";|10.0.0.1:53\n");
  WString a = net.ResolveByPublicDns(u"http://localhost/x");
  EXPECT_TRUE(a == u"10.9.8.7" || a == u"10.0.0.1") << Utf8FromWide(a);
}

TEST_F(ResolverTest, AddressAcrossAReadBoundaryIsKept) {
  // Reads take 1,023 bytes; the address starts 4 bytes before the end of the first.
  std::string pad(1019, ' ');
  Answer(pad + "10.20.30.40\n");
  EXPECT_EQ(net.ResolveByPublicDns(u"http://localhost/x"), u"10.20.30.40");
}
