#include <gtest/gtest.h>
#ifndef _WIN32
#include <iconv.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <set>

#include "common/testutil.h"
#include "support/xml.h"
#include "support/xml_internal.h"

using testutil::TempDir;

namespace {

// Bytes of utf8 converted by the iconv program, as a file would hold them.
std::string IconvBytes(const TempDir& dir, const std::string& utf8, const std::string& to) {
  std::string in = dir.sub("iconv.in"), out = dir.sub("iconv.out");
  testutil::WriteFile(in, utf8);
  EXPECT_EQ(testutil::Run("iconv -f UTF-8 -t '" + to + "' '" + in + "' > '" + out + "'"), 0) << to;
  return testutil::ReadFile(out);
}

bool LoadFileWith(XmlDocument& doc, const TempDir& dir, const std::string& bytes) {
  std::string path = dir.sub("doc.xml");
  testutil::WriteFile(path, bytes);
  return doc.LoadFile(WidePath(path));
}

std::string Log(const XmlDocument& doc) { return Utf8FromWide(doc.GetResultLog()); }

bool Has(const XmlDocument& doc, const std::string& entry) { return Log(doc).find(entry) != std::string::npos; }

// Root r with attribute a and text; both Chinese.
const std::string kChineseDoc = "<r a=\"升级\"><t>客户端版本</t></r>";

void ExpectChineseDoc(XmlDocument& doc) {
  ASSERT_TRUE(doc.FindElement(u"r")) << Log(doc);
  EXPECT_EQ(doc.GetAttribute(u"a"), u"升级");
  ASSERT_TRUE(doc.EnterElement());
  ASSERT_TRUE(doc.FindElement(u"t"));
  EXPECT_EQ(doc.GetElementText(), u"客户端版本");
}

}  // namespace

// ---- encodings, from real files ----

TEST(XmlEncoding, Utf8WithoutMarkStartingWithTag) {
  TempDir dir;
  XmlDocument doc;
  ASSERT_TRUE(LoadFileWith(doc, dir, kChineseDoc));
  EXPECT_EQ(doc.GetEncoding(), u"UTF-8");
  EXPECT_EQ(doc.GetDocFlags() & XmlDocument::kDocBomUtf8, 0u);
  EXPECT_FALSE(Has(doc, "<bom"));
  EXPECT_FALSE(Has(doc, "utf8_detection"));  // a leading '<' means UTF-8 at once
  ExpectChineseDoc(doc);
}

TEST(XmlEncoding, Utf8WithMarkAndDeclaration) {
  TempDir dir;
  XmlDocument doc;
  ASSERT_TRUE(LoadFileWith(doc, dir, "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"gb2312\"?>\n" + kChineseDoc));
  // The mark wins over the declaration.
  EXPECT_EQ(doc.GetEncoding(), u"UTF-8");
  EXPECT_NE(doc.GetDocFlags() & XmlDocument::kDocBomUtf8, 0u);
  EXPECT_TRUE(Has(doc, "<bom encoding=\"UTF-8\"/>"));
  EXPECT_EQ(doc.GetDocumentText().substr(0, 5), u"<?xml");  // the mark is not text
  ExpectChineseDoc(doc);
}

TEST(XmlEncoding, Utf16LittleAndBigEndianWithMarks) {
  SKIP_WITHOUT_LINUX_TOOLS("the iconv program");
  TempDir dir;
  std::string body = "<?xml version=\"1.0\" encoding=\"UTF-16\"?>" + kChineseDoc;
  {
    XmlDocument doc;
    ASSERT_TRUE(LoadFileWith(doc, dir, "\xFF\xFE" + IconvBytes(dir, body, "UTF-16LE")));
    EXPECT_EQ(doc.GetEncoding(), u"UTF-16LE");
    EXPECT_NE(doc.GetDocFlags() & XmlDocument::kDocUtf16Le, 0u);
    EXPECT_FALSE(Has(doc, "endian_swap"));
    EXPECT_FALSE(Has(doc, "converted_to"));
    EXPECT_EQ(doc.GetDocumentText(), WideFromUtf8(body));
    ExpectChineseDoc(doc);
  }
  {
    XmlDocument doc;
    ASSERT_TRUE(LoadFileWith(doc, dir, "\xFE\xFF" + IconvBytes(dir, body, "UTF-16BE")));
    EXPECT_EQ(doc.GetEncoding(), u"UTF-16BE");
    EXPECT_TRUE(Has(doc, "<endian_swap/>"));
    EXPECT_EQ(doc.GetDocumentText(), WideFromUtf8(body));
    ExpectChineseDoc(doc);
  }
}

TEST(XmlEncoding, Utf16DeclaredWithoutMarkFindsItsByteOrder) {
  SKIP_WITHOUT_LINUX_TOOLS("the iconv program");
  TempDir dir;
  std::string body = "<?xml version=\"1.0\" encoding=\"utf-16\"?>" + kChineseDoc;
  for (const char* to : {"UTF-16LE", "UTF-16BE"}) {
    XmlDocument doc;
    ASSERT_TRUE(LoadFileWith(doc, dir, IconvBytes(dir, body, to))) << to << Log(doc);
    EXPECT_EQ(doc.GetEncoding(), u"utf-16");
    EXPECT_FALSE(Has(doc, "nulls_removed"));
    ExpectChineseDoc(doc);
  }
}

TEST(XmlEncoding, Gb2312DeclaredIsConvertedWithCodePage936) {
  SKIP_WITHOUT_LINUX_TOOLS("the iconv program");
  TempDir dir;
  std::string body = "<?xml version=\"1.0\" encoding=\"gb2312\"?>\r\n" + kChineseDoc;
  std::string gbk = IconvBytes(dir, body, "GB2312");
  ASSERT_NE(gbk.find("\xC9\xFD\xBC\xB6"), std::string::npos);  // really code page 936 bytes
  XmlDocument doc;
  ASSERT_TRUE(LoadFileWith(doc, dir, gbk)) << Log(doc);
  EXPECT_EQ(doc.GetEncoding(), u"gb2312");
  EXPECT_TRUE(Has(doc, "<converted_to encoding=\"UTF-16\" length=\"" +
                           std::to_string(WideFromUtf8(body).size()) + "\"/>"));
  ExpectChineseDoc(doc);
}

TEST(XmlEncoding, Utf32WithMarksAndDeclaredWithout) {
  SKIP_WITHOUT_LINUX_TOOLS("the iconv program");
  TempDir dir;
  // A character beyond the BMP must come out as a surrogate pair.
  std::string body = "<?xml version=\"1.0\" encoding=\"UTF-32\"?><r a=\"升级\"><t>客户端版本\xF0\x9F\x98\x80</t></r>";
  WString expectText = u"客户端版本\U0001F600";
  struct Case {
    std::string bytes;
    const char16_t* encoding;
  } cases[] = {
      {std::string("\xFF\xFE\0\0", 4) + IconvBytes(dir, body, "UTF-32LE"), u"UTF-32LE"},
      {std::string("\0\0\xFE\xFF", 4) + IconvBytes(dir, body, "UTF-32BE"), u"UTF-32BE"},
      {IconvBytes(dir, body, "UTF-32LE"), u"UTF-32"},
      {IconvBytes(dir, body, "UTF-32BE"), u"UTF-32"},
  };
  for (const Case& c : cases) {
    XmlDocument doc;
    ASSERT_TRUE(LoadFileWith(doc, dir, c.bytes)) << Log(doc);
    EXPECT_EQ(doc.GetEncoding(), c.encoding);
    ASSERT_TRUE(doc.FindElement(u"r"));
    EXPECT_EQ(doc.GetAttribute(u"a"), u"升级");
    doc.EnterElement();
    ASSERT_TRUE(doc.FindElement(u"t"));
    EXPECT_EQ(doc.GetElementText(), expectText);
  }
}

TEST(XmlEncoding, OtherDeclaredCodePagesThroughIconv) {
  SKIP_WITHOUT_LINUX_TOOLS("the iconv program");
  TempDir dir;
  struct Case {
    const char* declared;
    const char* iconvName;
    std::string text;
  } cases[] = {
      {"big5", "BIG5", "繁體中文"},
      {"GBK", "GBK", "简体中文"},
      {"gb18030", "GB18030", "中文\xF0\x9F\x98\x80"},
      {"shift_jis", "SHIFT_JIS", "日本語"},
      {"euc-kr", "EUC-KR", "한국어"},
      {"windows-1252", "CP1252", "caf\xC3\xA9 \xE2\x82\xAC"},
      {"ISO-8859-1", "ISO-8859-1", "na\xC3\xAFve"},
      {"koi8-r", "KOI8-R", "Привет"},
      {"windows-1251", "CP1251", "Привет"},
      {"us-ascii", "ASCII", "plain"},
  };
  for (const Case& c : cases) {
    std::string body = std::string("<?xml version='1.0' encoding='") + c.declared + "'?><r>" + c.text + "</r>";
    XmlDocument doc;
    ASSERT_TRUE(LoadFileWith(doc, dir, IconvBytes(dir, body, c.iconvName))) << c.declared << Log(doc);
    ASSERT_TRUE(doc.FindElement(u"r"));
    EXPECT_EQ(doc.GetElementText(), WideFromUtf8(c.text)) << c.declared;
  }
}

TEST(XmlEncoding, HtmlMetaCharset) {
  SKIP_WITHOUT_LINUX_TOOLS("the iconv program");
  TempDir dir;
  std::string html =
      "<!DOCTYPE html>\n<HTML><HEAD><meta name=\"x\" content=\"y\">"
      "<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset = gb2312\"></META>"
      "</HEAD><body>中文</body></HTML>";
  XmlDocument doc;
  LoadFileWith(doc, dir, IconvBytes(dir, html, "GB2312"));
  EXPECT_EQ(doc.GetEncoding(), u"gb2312") << Log(doc);
  ASSERT_TRUE(doc.FindElement(u"HTML"));
  doc.EnterElement();
  ASSERT_TRUE(doc.FindElement(u"body"));
  EXPECT_EQ(doc.GetElementText(), u"中文");

  // Another element before the meta ends the search: UTF-8 by the leading '<'.
  std::string late =
      "<html><head><title>t</title><meta http-equiv=\"Content-Type\" content=\"text/html; charset=gb2312\">"
      "</head></html>";
  LoadFileWith(doc, dir, late);
  EXPECT_EQ(doc.GetEncoding(), u"UTF-8");
}

TEST(XmlEncoding, Utf8DetectionWithoutLeadingTag) {
  SKIP_WITHOUT_LINUX_TOOLS("the iconv program");
  TempDir dir;
  XmlDocument doc;
  ASSERT_TRUE(LoadFileWith(doc, dir, "\r\n  " + kChineseDoc));
  EXPECT_EQ(doc.GetEncoding(), u"UTF-8");
  EXPECT_TRUE(Has(doc, "<utf8_detection encoding=\"UTF-8\"/>"));
  ExpectChineseDoc(doc);

  // Code page 936 bytes are not UTF-8: detection fails, the ANSI code page
  // (UTF-8 in the test's C locale) turns the bad bytes into U+FFFD.
  std::string gbk = IconvBytes(dir, "\n<r>升级</r>", "GB2312");
  LoadFileWith(doc, dir, gbk);
  EXPECT_EQ(doc.GetEncoding(), u"");
  EXPECT_TRUE(Has(doc, "<utf8_detection encoding=\"\"/>"));
  ASSERT_TRUE(doc.FindElement(u"r"));
  EXPECT_NE(doc.GetElementText().find(u'\xFFFD'), WString::npos);
}

TEST(XmlEncoding, NulsRemovedFromByteAndUtf16Files) {
  SKIP_WITHOUT_LINUX_TOOLS("the iconv program");
  TempDir dir;
  XmlDocument doc;
  ASSERT_TRUE(LoadFileWith(doc, dir, std::string("<r>a\0b\0\0c</r>\0", 14)));
  EXPECT_TRUE(Has(doc, "<nulls_removed count=\"4\"/>"));
  doc.FindElement(u"r");
  EXPECT_EQ(doc.GetElementText(), u"abc");

  std::string u16 = "\xFF\xFE" + IconvBytes(dir, "<r>ab</r>", "UTF-16LE");
  u16.insert(8, std::string("\0\0", 2));  // one zero unit between the text's units
  ASSERT_TRUE(LoadFileWith(doc, dir, u16));
  EXPECT_TRUE(Has(doc, "<nulls_removed count=\"1\"/>"));
  doc.FindElement(u"r");
  EXPECT_EQ(doc.GetElementText(), u"ab");
}

TEST(XmlEncoding, EmptyMissingAndUnreadableFiles) {
  SKIP_WITHOUT_LINUX_TOOLS("the iconv program");
  TempDir dir;
  XmlDocument doc;
  EXPECT_FALSE(LoadFileWith(doc, dir, ""));
  EXPECT_EQ(Log(doc), "<read encoding=\"\" length=\"0\"/>");  // nothing converted, no no_root_element

  EXPECT_FALSE(doc.LoadFile(dir.wsub("missing.xml")));
  EXPECT_TRUE(Has(doc, "<file_error msg=\"No such file or directory (2)\"/>")) << Log(doc);
  EXPECT_FALSE(doc.FindElement());

  EXPECT_FALSE(doc.LoadFile(dir.wpath()));  // a directory
  EXPECT_TRUE(Has(doc, "<file_error")) << Log(doc);

  // A cut UTF-16 file loses only its odd last byte.
  std::string u16 = "\xFF\xFE" + IconvBytes(dir, "<r>x</r>", "UTF-16LE") + "\x41";
  EXPECT_TRUE(LoadFileWith(doc, dir, u16));
  EXPECT_EQ(doc.GetDocumentText(), u"<r>x</r>");
}

TEST(XmlEncoding, EncodingTableRowsAreConsistentAndConvertible) {
  std::set<std::string> names;
  for (size_t i = 0; i < xmlenc::EncodingTableSize(); ++i) {
    std::string row = xmlenc::EncodingTableRow(i);
    ASSERT_GE(row.size(), 8u);
    std::string name = row.substr(7);
    EXPECT_EQ(std::stoi(row.substr(0, 2)), (int)name.size()) << row;
    EXPECT_TRUE(names.insert(name).second) << "duplicate " << name;
    int cp = std::stoi(row.substr(2, 5));
    WString wname = WideFromUtf8(name);
    EXPECT_EQ(xmlenc::CodePageFromName(wname), cp) << name;
#ifndef _WIN32  // the system's own table serves every code page it knows
    if (const char* iconvName = xmlenc::IconvName(cp)) {
      iconv_t cd = iconv_open("UTF-16LE", iconvName);
      EXPECT_NE(cd, (iconv_t)-1) << iconvName;
      if (cd != (iconv_t)-1) iconv_close(cd);
    }
#endif
  }
  EXPECT_GE(names.size(), 365u);
  struct Row {
    const char16_t* name;
    int cp;
  } rows[] = {{u"utf-8", 65001}, {u"UTF8", 65001}, {u"unicode-1-1-utf-8", 65001}, {u"GB2312", 936},
              {u"gbk", 936}, {u"cp936", 936}, {u"gb18030", 54936}, {u"Big5", 950}, {u"utf-16", 1200},
              {u"utf-16le", 1200}, {u"ucs-2", 1200}, {u"unicode", 1200}, {u"utf-16be", 1201},
              {u"unicodeFFFE", 1201}, {u"iso-8859-1", 28591}, {u"latin1", 28591}, {u"us-ascii", 20127},
              {u"ascii", 20127}, {u"windows-1250", 1250}, {u"windows-1258", 1258}, {u"utf-8x", 0},
              {u"utf", 0}, {u"", 0}};
  for (const Row& r : rows) EXPECT_EQ(xmlenc::CodePageFromName(r.name), r.cp) << Utf8FromWide(r.name);
  EXPECT_EQ(xmlenc::CodePageFromName(WString(100, u'a')), 0);
  EXPECT_TRUE(xmlenc::IsUtf32Name(u"Utf-32be"));
  EXPECT_FALSE(xmlenc::IsUtf32Name(u"utf-3"));
}

TEST(XmlEncoding, LooseUtf8Check) {
  auto ok = [](const std::string& s) { return xmlenc::LooksLikeUtf8((const unsigned char*)s.data(), s.size()); };
  EXPECT_TRUE(ok("plain"));
  EXPECT_TRUE(ok("中文"));
  EXPECT_TRUE(ok("\xC0\xFF"));       // continuation bits are not checked, only >= 0x80
  EXPECT_FALSE(ok("\xE4\xB8"));      // cut at the end
  EXPECT_FALSE(ok("\xE4\x41\x80"));  // ASCII inside the sequence
  EXPECT_FALSE(ok("\xF8\x80\x80\x80\x80"));
  EXPECT_TRUE(ok(std::string("ok\0\xFF", 4)));  // the scan stops at a NUL
}

// ---- tokenizer, well-formedness and ResultLog ----

TEST(XmlParse, EveryTokenKindInAWellFormedDocument) {
  XmlDocument doc;
  WString text =
      u"<?xml version=\"1.0\"?>\n<!DOCTYPE r SYSTEM \"r.dtd\" [\n <!ENTITY e \"v>\">\n <!-- c -->\n %pe;\n"
      u" <?pi x?>\n]>\n<!-- top --><r a='1' b=\"x>y\" c=bare d><s e=v/><x:n.1-b_2/><中文/>"
      u"<![CDATA[<not>]]><?p i?><e></e ></r>";
  EXPECT_TRUE(doc.SetDocumentText(text)) << Log(doc);
  EXPECT_EQ(Log(doc), "");
  ASSERT_TRUE(doc.FindElement(u"r"));
  EXPECT_EQ(doc.GetAttribute(u"a"), u"1");
  EXPECT_EQ(doc.GetAttribute(u"b"), u"x>y");
  EXPECT_EQ(doc.GetAttribute(u"c"), u"bare");
  EXPECT_EQ(doc.GetAttribute(u"d"), u"");
  doc.EnterElement();
  ASSERT_TRUE(doc.FindElement(u"s"));
  EXPECT_EQ(doc.GetAttribute(u"e"), u"v");  // an unquoted value ends before "/>"
  EXPECT_EQ(doc.GetRecord(doc.GetCurrentElement()).nLength, 8u);
  doc.RewindLevel();
  std::vector<WString> names;
  while (doc.FindElement()) names.push_back(doc.GetElementName());
  EXPECT_EQ(names, (std::vector<WString>{u"s", u"x:n.1-b_2", u"中文", u"e"}));
  EXPECT_EQ(doc.GetRecordCount(), 6u);
}

TEST(XmlParse, MalformedTagsAndTheirResults) {
  struct Case {
    const char16_t* text;
    const char* entry;
  } cases[] = {
      {u"<r>< x</r>", "<first_tag_syntax offset=\"3\"/>"},
      {u"<r><1a/></r>", "<first_tag_syntax offset=\"3\"/>"},
      {u"<r><!x></r>", "<exclamation_tag_syntax offset=\"3\"/>"},
      {u"<r><!-x--></r>", "<comment_tag_syntax offset=\"3\"/>"},
      {u"<r><![CDAT x]]></r>", "<cdata_section_syntax offset=\"3\"/>"},
      {u"<!DOCTYPE r [ junk ]><r/>", "<doctype_tag_syntax offset=\"14\"/>"},
      {u"<r><!-- abc", "<unterminated_tag_syntax type=\"comment\" offset=\"3\"/>"},
      {u"<r><!-", "<unterminated_tag_syntax type=\"comment\" offset=\"3\"/>"},
      {u"<r><![CDATA[ x", "<unterminated_tag_syntax type=\"cdata_section\" offset=\"3\"/>"},
      {u"<r><![CD", "<unterminated_tag_syntax type=\"cdata_section\" offset=\"3\"/>"},
      {u"<r><?pi x", "<unterminated_tag_syntax type=\"processing_instruction\" offset=\"3\"/>"},
      {u"<!DOCTYPE r [ <!ENTITY a 'b'>", "<unterminated_tag_syntax type=\"document_type\" offset=\"0\"/>"},
      {u"<r><a href='x></a></r>", "<unterminated_tag_syntax type=\"start_tag\" offset=\"3\"/>"},
      {u"<r></r", "<unterminated_tag_syntax type=\"end_tag\" offset=\"3\"/>"},
      {u"<r><", "<unterminated_tag_syntax type=\"tag\" offset=\"3\"/>"},
      {u"<r><!", "<unterminated_tag_syntax type=\"tag\" offset=\"3\"/>"},
  };
  for (const Case& c : cases) {
    XmlDocument doc;
    EXPECT_FALSE(doc.SetDocumentText(c.text)) << Utf8FromWide(c.text);
    EXPECT_TRUE(Has(doc, c.entry)) << Utf8FromWide(c.text) << " -> " << Log(doc);
    EXPECT_NE(doc.GetRecord(0).nFlags & XmlDocument::kFlagIllFormed, 0u);
  }
}

TEST(XmlParse, UnendedElementIsClosedAndItsChildrenFollowIt) {
  XmlDocument doc;
  EXPECT_FALSE(doc.SetDocumentText(u"<a><b><c/><d>t</d></a>"));
  EXPECT_EQ(Log(doc), "<unended_start_tag tagname=\"b\" offset=\"3\" offset2=\"18\"/>");
  ASSERT_TRUE(doc.FindElement(u"a"));
  uint32_t a = doc.GetCurrentElement();
  EXPECT_EQ(doc.GetRecord(a).nLength, 22u);
  doc.EnterElement();
  std::vector<WString> names;
  while (doc.FindElement()) {
    names.push_back(doc.GetElementName());
    EXPECT_EQ(doc.GetRecord(doc.GetCurrentElement()).iParent, a);
  }
  EXPECT_EQ(names, (std::vector<WString>{u"b", u"c", u"d"}));
  doc.RewindLevel();
  ASSERT_TRUE(doc.FindElement(u"b"));
  const auto& b = doc.GetRecord(doc.GetCurrentElement());
  EXPECT_NE(b.nFlags & XmlDocument::kFlagUnended, 0u);
  EXPECT_NE(b.nFlags & XmlDocument::kFlagFirstChild, 0u);
  EXPECT_EQ(b.nLength, b.StartTagLength());
  EXPECT_EQ(b.iFirstChild, 0u);
  EXPECT_FALSE(doc.EnterElement() && doc.FindElement());
  // The first child's previous link points to the last child.
  EXPECT_EQ(doc.GetRecord(b.iPrev).iNext, 0u);
  doc.LeaveElement();
  doc.RewindLevel();
  ASSERT_TRUE(doc.FindElement(u"d"));
  EXPECT_EQ(doc.GetElementText(), u"t");
  EXPECT_EQ(doc.GetRecord(doc.GetCurrentElement()).nFlags & XmlDocument::kFlagFirstChild, 0u);
}

TEST(XmlParse, UnendedAtTheEndAndRootSiblings) {
  XmlDocument doc;
  EXPECT_FALSE(doc.SetDocumentText(u"<r><x/>"));
  EXPECT_TRUE(Has(doc, "<unended_start_tag tagname=\"r\" offset=\"0\" offset2=\"7\"/>"));
  EXPECT_TRUE(Has(doc, "<root_has_sibling"));
  EXPECT_TRUE(doc.FindElement(u"r"));
  EXPECT_TRUE(doc.FindElement(u"x"));  // x now stands beside r

  EXPECT_FALSE(doc.SetDocumentText(u"<a/><b/>"));
  EXPECT_EQ(Log(doc), "<root_has_sibling offset=\"4\"/>");
  EXPECT_FALSE(doc.SetDocumentText(u"  text  "));
  EXPECT_EQ(Log(doc), "<no_root_element/>");
  EXPECT_FALSE(doc.SetDocumentText(u""));
  EXPECT_EQ(Log(doc), "");
  EXPECT_FALSE(doc.SetDocumentText());
  EXPECT_TRUE(doc.SetDocumentText(u"<!-- c --> <r/> <?pi?>"));
}

TEST(XmlParse, LoneEndTagsAndDamagedContent) {
  XmlDocument doc;
  EXPECT_FALSE(doc.SetDocumentText(u"<a></x><b/></a>"));
  EXPECT_EQ(Log(doc), "<lone_end_tag tagname=\"x\" offset=\"3\"/>");
  ASSERT_TRUE(doc.FindElement(u"a"));
  EXPECT_NE(doc.GetRecord(doc.GetCurrentElement()).nFlags & XmlDocument::kFlagDamaged, 0u);
  doc.EnterElement();
  ASSERT_TRUE(doc.FindElement(u"b"));
  EXPECT_EQ(doc.GetRecord(doc.GetCurrentElement()).nFlags & XmlDocument::kFlagDamaged, 0u);

  // The damage of an unended element passes to its parent.
  EXPECT_FALSE(doc.SetDocumentText(u"<a><b></x></a>"));
  doc.FindElement(u"a");
  uint32_t a = doc.GetCurrentElement();
  EXPECT_NE(doc.GetRecord(a).nFlags & XmlDocument::kFlagDamaged, 0u);
  EXPECT_EQ(doc.GetRecord(doc.GetRecord(a).iFirstChild).nFlags & XmlDocument::kFlagDamaged, 0u);

  // End tags compare case-sensitively and in full length.
  EXPECT_FALSE(doc.SetDocumentText(u"<a><ab></A></a>"));
  EXPECT_TRUE(Has(doc, "<lone_end_tag tagname=\"A\""));
  EXPECT_TRUE(Has(doc, "<unended_start_tag tagname=\"ab\""));
}

TEST(XmlParse, ResultLogStopsGrowing) {
  WString text = u"<r>";
  for (int i = 0; i < 2000; ++i) text += u"</x>";
  text += u"</r>";
  XmlDocument doc;
  EXPECT_FALSE(doc.SetDocumentText(text));
  EXPECT_GT(doc.GetResultLog().size(), 999u);
  EXPECT_LT(doc.GetResultLog().size(), 1100u);
}

TEST(XmlParse, TagsBeyondThePackedLengthsAreRefused) {
  XmlDocument doc;
  WString longStart = u"<r><e a=\"" + WString(XmlDocument::kMaxStartTag, u'x') + u"\"/></r>";
  EXPECT_FALSE(doc.SetDocumentText(longStart));
  EXPECT_TRUE(Has(doc, "<tag_too_long type=\"start_tag\" offset=\"3\"/>"));
  doc.FindElement(u"r");
  doc.EnterElement();
  EXPECT_FALSE(doc.FindElement());

  WString name(1100, u'n');
  EXPECT_FALSE(doc.SetDocumentText(u"<" + name + u"></" + name + u">"));
  EXPECT_TRUE(Has(doc, "<tag_too_long type=\"end_tag\""));
  // Just inside the limits both are indexed.
  WString fits(XmlDocument::kMaxStartTag - 12, u'x');
  EXPECT_TRUE(doc.SetDocumentText(u"<r><e a=\"" + fits + u"\"/></r>")) << Log(doc);
  name.resize(XmlDocument::kMaxEndTag - 3);
  EXPECT_TRUE(doc.SetDocumentText(u"<" + name + u"></" + name + u">"));
}

// ---- navigation ----

TEST(XmlNavigation, SearchesNeverGoBack) {
  XmlDocument doc;
  ASSERT_TRUE(doc.SetDocumentText(u"<r><first/><second x='2'/><first y='3'/></r>"));
  EXPECT_FALSE(doc.EnterElement());  // no current element yet
  ASSERT_TRUE(doc.FindElement(u"r"));
  ASSERT_TRUE(doc.EnterElement());
  EXPECT_EQ(doc.GetElementName(), u"");
  ASSERT_TRUE(doc.FindElement(u"second"));
  EXPECT_FALSE(doc.FindElement(u"second"));
  EXPECT_EQ(doc.GetAttribute(u"x"), u"2");  // a failed search keeps the position
  ASSERT_TRUE(doc.FindElement(u"first"));
  EXPECT_EQ(doc.GetAttribute(u"y"), u"3");
  EXPECT_FALSE(doc.FindElement(u"first"));
  doc.RewindLevel();
  ASSERT_TRUE(doc.FindElement(u"first"));
  EXPECT_EQ(doc.GetAttribute(u"y"), u"");
  EXPECT_FALSE(doc.FindElement(u"First"));  // case-sensitive
  EXPECT_FALSE(doc.FindElement(u"firs"));   // full length
  doc.RewindLevel();
  EXPECT_FALSE(doc.FindElement(u"firstx"));
  ASSERT_TRUE(doc.LeaveElement());
  EXPECT_EQ(doc.GetElementName(), u"r");
  EXPECT_FALSE(doc.LeaveElement());
}

TEST(XmlNavigation, ElementText) {
  XmlDocument doc;
  ASSERT_TRUE(doc.SetDocumentText(
      u"<r><e/><f></f><g>  a &amp; b  </g><h>x<![CDATA[<&amp;>]]><!-- no -->y<?pi?>&lt;z</h>"
      u"<i><j>t</j></i><k attr='1'>v</k></r>"));
  doc.FindElement(u"r");
  EXPECT_EQ(doc.GetElementText(), u"");  // has children
  doc.EnterElement();
  auto text = [&](const char16_t* name) {
    doc.RewindLevel();
    EXPECT_TRUE(doc.FindElement(name));
    return doc.GetElementText();
  };
  EXPECT_EQ(text(u"e"), u"");
  EXPECT_EQ(text(u"f"), u"");
  EXPECT_EQ(text(u"g"), u"  a & b  ");
  EXPECT_EQ(text(u"h"), u"x<&amp;>y<z");
  EXPECT_EQ(text(u"i"), u"");
  EXPECT_EQ(text(u"k"), u"v");
  EXPECT_EQ(doc.GetAttribute(u"missing"), u"");
}

TEST(XmlNavigation, AttributesTakeTheFirstOfAName) {
  XmlDocument doc;
  ASSERT_TRUE(doc.SetDocumentText(u"<r a='1' a='2' ab='3' b = \"&lt;&#x4E2D;\" c=\"'\" d='\"'/>"));
  doc.FindElement();
  EXPECT_EQ(doc.GetAttribute(u"a"), u"1");
  EXPECT_EQ(doc.GetAttribute(u"ab"), u"3");
  EXPECT_EQ(doc.GetAttribute(u"b"), u"<中");
  EXPECT_EQ(doc.GetAttribute(u"c"), u"'");
  EXPECT_EQ(doc.GetAttribute(u"d"), u"\"");
  EXPECT_EQ(doc.GetAttribute(u"A"), u"");
}

// ---- entities ----

TEST(XmlEntities, DecodedOnceWithTheFullTable) {
  struct Case {
    const char16_t* in;
    const char16_t* out;
  } cases[] = {
      {u"&amp;lt;", u"&lt;"},
      {u"&#x4E2D;&#20013;", u"中中"},
      {u"&#x1F600;", u"\U0001F600"},
      {u"&lt;&gt;&quot;&apos;", u"<>\"'"},
      {u"&nbsp;&copy;&euro;&hellip;&thetasym;&diams;", u"\u00a0\u00a9\u20ac\u2026\u03d1\u2666"},
      {u"&Agrave;&agrave;&Dagger;&dagger;&Prime;&prime;", u"\u00c0\u00e0\u2021\u2020\u2033\u2032"},
      {u"&AMP;&Lt;", u"&<"},
      {u"&#0;&#x0;&#x;&#;&;", u"&#0;&#x0;&#x;&#;&;"},
      {u"&unknown;&nosuchname;", u"&unknown;&nosuchname;"},
      {u"&#x110000;&#xD800;&#55296;", u"&#x110000;&#xD800;&#55296;"},
      {u"&#12345678;", u"&#12345678;"},    // nine units between & and ;: a value, but no character
      {u"&#123456789;", u"&#123456789;"},  // ten: too long
      {u"&中;&lt", u"&中;&lt"},
      {u"&&lt;& amp;", u"&<& amp;"},
      {u"a&#65;b&#x42;", u"aAbB"},
  };
  for (const Case& c : cases) {
    WString out;
    WString in = c.in;
    xmlent::AppendDecoded(in.data(), in.data() + in.size(), out);
    EXPECT_EQ(out, c.out) << Utf8FromWide(c.in);
  }
  EXPECT_EQ(xmlent::EntityTableSize(), 253u);
  EXPECT_EQ(xmlent::LookupEntity(u"zwj", 3), 0x200Du);
  EXPECT_EQ(xmlent::LookupEntity(u"yuml", 4), 0xFFu);
  EXPECT_EQ(xmlent::LookupEntity(u"Yuml", 4), 0x178u);
}

// ---- bad input: no crash, bounded memory and time ----

TEST(XmlRobustness, DeepNestingWithoutRecursion) {
  const int depth = 100000;
  WString text;
  for (int i = 0; i < depth; ++i) text += u"<n>";
  text += u"leaf";
  for (int i = 0; i < depth; ++i) text += u"</n>";
  XmlDocument doc;
  ASSERT_TRUE(doc.SetDocumentText(text));
  int levels = 0;
  while (doc.FindElement(u"n")) {
    ++levels;
    if (levels == depth) break;
    doc.EnterElement();
  }
  EXPECT_EQ(levels, depth);
  EXPECT_EQ(doc.GetElementText(), u"leaf");
  EXPECT_EQ(doc.GetRecord(doc.GetCurrentElement()).Level(), 0xFFFFu);  // saturated

  // Never closed: every element ends unended and all stand at top level.
  text.resize(depth * 3);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(doc.SetDocumentText(text));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  int top = 0;
  while (doc.FindElement()) ++top;
  EXPECT_EQ(top, depth);

  // Deep nesting with lone end tags of another name stays fast.
  text.resize(depth * 3 / 2);
  for (int i = 0; i < depth / 2; ++i) text += u"</m>";
  t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(doc.SetDocumentText(text));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

TEST(XmlRobustness, TenMillionSiblingsAcrossSegments) {
  const uint32_t count = 10000000;
  WString text = u"<r>";
  text.reserve(count * 6 + 8);
  for (uint32_t i = 0; i < count; ++i) text += (i == 70000) ? u"<b/>" : u"<a/>";
  text += u"</r>";
  XmlDocument doc;
  ASSERT_TRUE(doc.SetDocumentText(text));
  text = WString();
  EXPECT_EQ(doc.GetRecordCount(), count + 2);
  doc.FindElement(u"r");
  doc.EnterElement();
  uint32_t n = 0;
  while (doc.FindElement()) ++n;
  EXPECT_EQ(n, count);
  doc.RewindLevel();
  ASSERT_TRUE(doc.FindElement(u"b"));  // in the second segment
  EXPECT_EQ(doc.GetCurrentElement(), 70002u);
  EXPECT_EQ(doc.GetRecord(70002).nStart, 3u + 4u * 70000u);
}

TEST(XmlRobustness, TruncatedAndInvalidInputs) {
  std::string whole =
      "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?><!DOCTYPE r [<!ENTITY e 'x'>]>"
      "<r a=\"1\"><!-- c --><b>t&amp;</b><![CDATA[x]]><c d='e'/></r>";
  XmlDocument doc;
  for (size_t n = 0; n < whole.size(); ++n) {
    EXPECT_FALSE(doc.LoadBytes(whole.data(), n)) << n;
    while (doc.FindElement()) doc.EnterElement();
    doc.GetElementText();
  }
  EXPECT_TRUE(doc.LoadBytes(whole.data(), whole.size()));

  // Invalid UTF-8 of every kind becomes U+FFFD, never a crash.
  std::string bad = "<r>\xC3\x28 \xA0\xA1 \xE2\x28\xA1 \xF0\x28\x8C\xBC \xED\xA0\x80 \xF8\x88\x80\x80\x80 \xC0\xAF\xE4\xB8</r>";
  ASSERT_TRUE(doc.LoadBytes(bad.data(), bad.size()));
  doc.FindElement();
  WString t = doc.GetElementText();
  EXPECT_NE(t.find(u'\xFFFD'), WString::npos);
  EXPECT_EQ(t.find(u'\xD800'), WString::npos);

  // Pseudo-random bytes and UTF-16 units.
  uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u; };
  const char alphabet[] = "<>/!?-[]='\"&;#x aZ\x80\xE4\xFF\0";
  for (int round = 0; round < 300; ++round) {
    std::string s;
    for (int i = 0; i < 200; ++i) s += alphabet[(next() >> 16) % (sizeof alphabet - 1)];
    doc.LoadBytes(s.data(), s.size());
    WString w;
    for (int i = 0; i < 100; ++i) w += (char16_t)((next() >> 8) & 0xFFFF);
    doc.SetDocumentText(w);
  }
}

TEST(XmlRobustness, HugeTextNodes) {
  TempDir dir;
  // 32 MiB in one text node loads; a 1 GiB file is refused at once.
  std::string big = "<r>" + std::string(32u << 20, 'x') + "</r>";
  XmlDocument doc;
  ASSERT_TRUE(LoadFileWith(doc, dir, big));
  big = std::string();
  doc.FindElement(u"r");
  EXPECT_EQ(doc.GetElementText().size(), 32u << 20);

  std::string path = dir.sub("huge.xml");
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_TRUE(f);
  fputs("<r>", f);
  ASSERT_EQ(fseeko(f, (off_t)1 << 30, SEEK_SET), 0);  // sparse: no disk used
  fputs("</r>", f);
  fclose(f);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(doc.LoadFile(WidePath(path)));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  EXPECT_TRUE(Has(doc, "<file_error")) << Log(doc);
  EXPECT_EQ(doc.GetDocumentText(), u"");

  EXPECT_FALSE(doc.SetDocumentText(WString(XmlDocument::kMaxTextUnits + 1, u' ')));
  EXPECT_TRUE(Has(doc, "<document_too_large"));
}
