#include <gtest/gtest.h>

#include "support/json.h"

namespace {

rapidjson::Document Parse(const char* text) {
  rapidjson::Document d;
  d.Parse(text);
  EXPECT_FALSE(d.HasParseError()) << text;
  return d;
}

}  // namespace

TEST(Json, IntegersMustFitTheirType) {
  auto d = Parse(R"({"code":200,"neg":-5,"big":4294967295,"huge":9223372036854775807,)"
                 R"("str":"12","f":1.5,"t":true})");
  int32_t i = 77;
  EXPECT_TRUE(GetJsonInt(d, "code", i));
  EXPECT_EQ(i, 200);
  EXPECT_TRUE(GetJsonInt(d, "neg", i));
  EXPECT_EQ(i, -5);
  i = 77;
  EXPECT_FALSE(GetJsonInt(d, "big", i));
  EXPECT_FALSE(GetJsonInt(d, "str", i));
  EXPECT_FALSE(GetJsonInt(d, "f", i));
  EXPECT_FALSE(GetJsonInt(d, "t", i));
  EXPECT_FALSE(GetJsonInt(d, "absent", i));
  EXPECT_EQ(i, 77);

  uint32_t u = 1;
  EXPECT_TRUE(GetJsonUint(d, "big", u));
  EXPECT_EQ(u, 4294967295u);
  EXPECT_FALSE(GetJsonUint(d, "neg", u));
  int64_t l = 0;
  EXPECT_TRUE(GetJsonInt64(d, "huge", l));
  EXPECT_EQ(l, INT64_MAX);
  uint64_t ul = 0;
  EXPECT_FALSE(GetJsonUint64(d, "neg", ul));
  EXPECT_TRUE(GetJsonUint64(d, "huge", ul));
}

TEST(Json, DoublesBoolsAndStrings) {
  auto d = Parse(R"({"five":5,"fivef":5.0,"b":false,"name":"\u5347\u7EA7","url":"https://127.0.0.1/x",)"
                 R"("n":null,"arr":[1]})");
  double x = -1;
  EXPECT_FALSE(GetJsonDouble(d, "five", x));
  EXPECT_EQ(x, -1);
  EXPECT_TRUE(GetJsonDouble(d, "fivef", x));
  EXPECT_EQ(x, 5.0);
  bool b = true;
  EXPECT_FALSE(GetJsonBool(d, "five", b));
  EXPECT_TRUE(GetJsonBool(d, "b", b));
  EXPECT_FALSE(b);

  WString s = u"keep";
  EXPECT_FALSE(GetJsonString(d, "n", s));
  EXPECT_FALSE(GetJsonString(d, "arr", s));
  EXPECT_FALSE(GetJsonString(d, "five", s));
  EXPECT_EQ(s, u"keep");
  EXPECT_TRUE(GetJsonString(d, "name", s));
  EXPECT_EQ(s, u"升级");
  EXPECT_TRUE(GetJsonString(d, "url", s));
  EXPECT_EQ(s, u"https://127.0.0.1/x");
  std::string a;
  EXPECT_TRUE(GetJsonStringA(d, "name", a));
  EXPECT_EQ(a, GbkFromWide(u"升级"));
}

TEST(Json, NonObjectsHaveNoMembers) {
  auto d = Parse("[1,2]");
  int32_t i = 3;
  EXPECT_FALSE(GetJsonInt(d, "0", i));
  auto e = Parse(R"({"a":{"b":4}})");
  EXPECT_FALSE(GetJsonInt(e, "b", i));
  EXPECT_TRUE(GetJsonInt(e["a"], "b", i));
  EXPECT_EQ(i, 4);
}
