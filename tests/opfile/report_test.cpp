// The upgrade report: step records and the exact JSON text.
#include <gtest/gtest.h>

#include <ctime>
#include <regex>

#include "common/testutil.h"
#include "opfile/opfile.h"

using testutil::Exists;
using testutil::ReadFile;

namespace {

// The report with each process_time checked against [from, to] and then
// replaced by "T", so that the rest can be compared byte for byte.
std::string WithoutTimes(const std::string& json, long long from, long long to, int* count) {
  static const std::regex time("\"process_time\":(-?[0-9]+)");
  std::string out;
  *count = 0;
  auto begin = std::sregex_iterator(json.begin(), json.end(), time);
  size_t last = 0;
  for (auto it = begin; it != std::sregex_iterator(); ++it) {
    long long v = std::stoll((*it)[1].str());
    EXPECT_GE(v, from);
    EXPECT_LE(v, to);
    out += json.substr(last, it->position() - last) + "\"process_time\":T";
    last = it->position() + it->length();
    ++*count;
  }
  return out + json.substr(last);
}

std::string Step(int code, bool ok, int spend) {
  return "{\"process_code\":" + std::to_string(code) + ",\"process_memo\":\"\",\"process_success\":" +
         (ok ? "true" : "false") + ",\"process_time\":T,\"spend_time\":" + std::to_string(spend) + "}";
}

class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override { testutil::WriteFile(t.sub("config/keep"), ""); }
  std::string Report() const { return ReadFile(t.sub("config/upgradedetail.json")); }
  testutil::TempDir t;
  COpFile op;
};

}  // namespace

TEST_F(ReportTest, RunThatFoundNothingToDo) {
  long long from = (long long)time(nullptr);
  op.AddProcessRecord(4000, true, 0);
  op.AddProcessRecord(4001, true, 1234);
  op.SetUpgradeInfo("12", "12", false, 0);
  op.AddProcessRecord(4002, true, 0);
  ASSERT_TRUE(op.WriteUpgradeDetail(t.wpath()));
  long long to = (long long)time(nullptr);
  int times = 0;
  EXPECT_EQ("{\"detail_info\":{\"process_list\":[" + Step(4000, true, 0) + "," + Step(4001, true, 1234) + "," +
                Step(4002, true, 0) + "," + Step(4999, true, 0) +
                "]},\"upgrade_info\":{\"process_list\":{\"after_upgrade_version\":\"12\","
                "\"before_upgrade_version\":\"12\",\"need_upgrade\":false,\"spend_time\":1234}}}",
            WithoutTimes(Report(), from, to, &times));
  EXPECT_EQ(4, times);
}

TEST_F(ReportTest, RepeatedStepMovesToTheEndWithItsLatestOutcome) {
  op.AddProcessRecord(4000, true, 0);
  op.AddProcessRecord(4001, true, 100);
  op.AddProcessRecord(4002, false, 0);
  op.AddProcessRecord(4001, false, 250);
  const auto& r = op.GetProcessRecords();
  ASSERT_EQ(3u, r.size());
  EXPECT_EQ(4000, r[0].nCode);
  EXPECT_EQ(4002, r[1].nCode);
  EXPECT_EQ(4001, r[2].nCode);
  EXPECT_FALSE(r[2].bSuccess);
  EXPECT_EQ(250, r[2].nSpend);
  EXPECT_TRUE(r[2].strMemo.empty());

  // Written twice: the same steps, 4999 once and last, the sum recomputed.
  op.SetUpgradeInfo("13", "12", true, 999);
  ASSERT_TRUE(op.WriteUpgradeDetail(t.wpath()));
  std::string first = Report();
  op.AddProcessRecord(4003, true, 50);
  ASSERT_TRUE(op.WriteUpgradeDetail(t.wpath()));
  int times = 0;
  EXPECT_EQ("{\"detail_info\":{\"process_list\":[" + Step(4000, true, 0) + "," + Step(4002, false, 0) + "," +
                Step(4001, false, 250) + "," + Step(4003, true, 50) + "," + Step(4999, true, 0) +
                "]},\"upgrade_info\":{\"process_list\":{\"after_upgrade_version\":\"13\","
                "\"before_upgrade_version\":\"12\",\"need_upgrade\":true,\"spend_time\":300}}}",
            WithoutTimes(Report(), 0, (long long)time(nullptr), &times));
  EXPECT_NE(std::string::npos, first.find("\"spend_time\":250}}}"));
  EXPECT_EQ(5u, op.GetProcessRecords().size());
}

TEST_F(ReportTest, DefaultsEscapingAndFailures) {
  // No step recorded: nothing written, still a success.
  EXPECT_TRUE(op.WriteUpgradeDetail(t.wpath()));
  EXPECT_FALSE(Exists(t.sub("config/upgradedetail.json")));

  // Never set: empty versions, no upgrade needed.
  op.AddProcessRecord(4000, true, 0);
  ASSERT_TRUE(op.WriteUpgradeDetail(t.wpath()));
  EXPECT_NE(std::string::npos, Report().find("{\"after_upgrade_version\":\"\",\"before_upgrade_version\":\"\","
                                             "\"need_upgrade\":false,\"spend_time\":0}"));

  // Quotes, backslashes and control characters are escaped; other bytes
  // (code page 936 text here) pass unchanged.
  op.SetUpgradeInfo("a\"b\\c\x01\n", "\xD6\xD0\xCE\xC4", false, 0);
  ASSERT_TRUE(op.WriteUpgradeDetail(t.wpath()));
  EXPECT_NE(std::string::npos, Report().find("\"after_upgrade_version\":\"a\\\"b\\\\c\\u0001\\n\","
                                             "\"before_upgrade_version\":\"\xD6\xD0\xCE\xC4\""));

  // No config directory: false.
  testutil::TempDir bare;
  EXPECT_FALSE(op.WriteUpgradeDetail(bare.wpath()));
}
