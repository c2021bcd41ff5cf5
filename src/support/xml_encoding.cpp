// EncodingTable and the conversions of the XML loader.
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "support/xml_internal.h"

namespace xmlenc {
namespace {

// One line per code page: its number as Windows knows it, then the names
// it goes by, in lower case.
const char kEncodingNames[] = R"(
37 ibm037 cp037 csibm037 ebcdic-cp-ca ebcdic-cp-nl ebcdic-cp-us ebcdic-cp-wt
437 ibm437 cp437 437 cspc8codepage437
500 ibm500 cp500 csibm500 ebcdic-cp-be ebcdic-cp-ch
708 asmo-708
720 dos-720
737 ibm737
775 ibm775
850 ibm850 cp850
852 ibm852 cp852
855 ibm855 cp855
857 ibm857 cp857
858 ibm00858 ccsid00858 cp00858 cp858 pc-multilingual-850+euro
860 ibm860 cp860
861 ibm861 cp861
862 dos-862 cp862 ibm862
863 ibm863 cp863
864 ibm864 cp864
865 ibm865 cp865
866 cp866 ibm866
869 ibm869 cp869
870 ibm870 cp870 csibm870 ebcdic-cp-roece ebcdic-cp-yu
874 windows-874 dos-874 iso-8859-11 tis-620
875 cp875
932 shift_jis csshiftjis cswindows31j ms_kanji shift-jis sjis x-ms-cp932 x-sjis cp932 windows-31j
936 gb2312 chinese cn-gb csgb2312 csgb231280 csiso58gb231280 gb_2312-80 gb231280 gb2312-80 gbk iso-ir-58
936 cp936 ms936 windows-936 x-gbk
949 ks_c_5601-1987 csksc56011987 iso-ir-149 korean ks_c_5601 ks_c_5601_1987 ks_c_5601-1989 ksc_5601 ksc5601
949 cp949 windows-949
950 big5 big5-hkscs cn-big5 csbig5 x-x-big5 cp950
1026 ibm1026 cp1026 csibm1026
1047 ibm01047
1140 ibm01140 ccsid01140 cp01140 ebcdic-us-37+euro
1141 ibm01141 ccsid01141 cp01141 ebcdic-de-273+euro
1142 ibm01142 ccsid01142 cp01142 ebcdic-dk-277+euro ebcdic-no-277+euro
1143 ibm01143 ccsid01143 cp01143 ebcdic-fi-278+euro ebcdic-se-278+euro
1144 ibm01144 ccsid01144 cp01144 ebcdic-it-280+euro
1145 ibm01145 ccsid01145 cp01145 ebcdic-es-284+euro
1146 ibm01146 ccsid01146 cp01146 ebcdic-gb-285+euro
1147 ibm01147 ccsid01147 cp01147 ebcdic-fr-297+euro
1148 ibm01148 ccsid01148 cp01148 ebcdic-international-500+euro
1149 ibm01149 ccsid01149 cp01149 ebcdic-is-871+euro
1200 utf-16 utf-16le ucs-2 unicode iso-10646-ucs-2 ucs-2le
1201 utf-16be unicodefffe ucs-2be
1250 windows-1250 x-cp1250 cp1250
1251 windows-1251 x-cp1251 cp1251
1252 windows-1252 x-ansi cp1252
1253 windows-1253 cp1253
1254 windows-1254 cp1254
1255 windows-1255 cp1255
1256 windows-1256 cp1256
1257 windows-1257 cp1257
1258 windows-1258 cp1258
1361 johab
10000 macintosh mac csmacintosh x-mac-roman
10001 x-mac-japanese
10002 x-mac-chinesetrad
10003 x-mac-korean
10004 x-mac-arabic
10005 x-mac-hebrew
10006 x-mac-greek
10007 x-mac-cyrillic
10008 x-mac-chinesesimp
10010 x-mac-romanian
10017 x-mac-ukrainian
10021 x-mac-thai
10029 x-mac-ce
10079 x-mac-icelandic
10081 x-mac-turkish
10082 x-mac-croatian
12000 utf-32 utf-32le
12001 utf-32be
20000 x-chinese-cns x-chinese_cns
20001 x-cp20001
20002 x-chinese-eten x-chinese_eten
20003 x-cp20003
20004 x-cp20004
20005 x-cp20005
20105 x-ia5
20106 x-ia5-german
20107 x-ia5-swedish
20108 x-ia5-norwegian
20127 us-ascii ascii ansi_x3.4-1968 ansi_x3.4-1986 cp367 csascii ibm367 iso-ir-6 iso646-us iso_646.irv:1991
20127 us
20261 x-cp20261
20269 x-cp20269
20273 ibm273 cp273 csibm273
20277 ibm277 csibm277 ebcdic-cp-dk ebcdic-cp-no
20278 ibm278 cp278 csibm278 ebcdic-cp-fi ebcdic-cp-se
20280 ibm280 cp280 csibm280 ebcdic-cp-it
20284 ibm284 cp284 csibm284 ebcdic-cp-es
20285 ibm285 cp285 csibm285 ebcdic-cp-gb
20290 ibm290 cp290 csibm290 ebcdic-jp-kana
20297 ibm297 cp297 csibm297 ebcdic-cp-fr
20420 ibm420 cp420 csibm420 ebcdic-cp-ar1
20423 ibm423 cp423 csibm423 ebcdic-cp-gr
20424 ibm424 cp424 csibm424 ebcdic-cp-he
20833 x-ebcdic-koreanextended
20838 ibm-thai csibmthai
20866 koi8-r cskoi8r koi koi8 koi8r
20871 ibm871 cp871 csibm871 ebcdic-cp-is
20880 ibm880 cp880 csibm880 ebcdic-cyrillic
20905 ibm905 cp905 csibm905 ebcdic-cp-tr
20924 ibm00924 ccsid00924 cp00924 ebcdic-latin9--euro
20932 x-cp20932
20936 x-cp20936
20949 x-cp20949
21025 cp1025 ibm1025
21866 koi8-u koi8-ru
28591 iso-8859-1 cp819 csisolatin1 ibm819 iso_8859-1 iso_8859-1:1987 iso-ir-100 l1 latin1
28592 iso-8859-2 csisolatin2 iso_8859-2 iso_8859-2:1987 iso-ir-101 l2 latin2
28593 iso-8859-3 csisolatin3 iso_8859-3 iso_8859-3:1988 iso-ir-109 l3 latin3
28594 iso-8859-4 csisolatin4 iso_8859-4 iso_8859-4:1988 iso-ir-110 l4 latin4
28595 iso-8859-5 csisolatincyrillic cyrillic iso_8859-5 iso_8859-5:1988 iso-ir-144
28596 iso-8859-6 arabic csisolatinarabic ecma-114 iso_8859-6 iso_8859-6:1987 iso-ir-127
28597 iso-8859-7 csisolatingreek ecma-118 elot_928 greek greek8 iso_8859-7 iso_8859-7:1987 iso-ir-126
28598 iso-8859-8 csisolatinhebrew hebrew iso_8859-8 iso_8859-8:1988 iso-8859-8-visual iso-ir-138 visual
28599 iso-8859-9 csisolatin5 iso_8859-9 iso_8859-9:1989 iso-ir-148 l5 latin5
28603 iso-8859-13
28605 iso-8859-15 csisolatin9 iso_8859-15 l9 latin9
29001 x-europa
38598 iso-8859-8-i logical
50220 iso-2022-jp
50221 csiso2022jp
50222 iso-2022-jp-sio
50225 iso-2022-kr csiso2022kr iso-2022-kr-7bit
50227 x-cp50227
51932 euc-jp cseucpkdfmtjapanese extended_unix_code_packed_format_for_japanese x-euc x-euc-jp
51936 euc-cn x-euc-cn
51949 euc-kr cseuckr iso-2022-kr-8 iso-2022-kr-8bit
52936 hz-gb-2312
54936 gb18030
57002 x-iscii-de
57003 x-iscii-be
57004 x-iscii-ta
57005 x-iscii-te
57006 x-iscii-as
57007 x-iscii-or
57008 x-iscii-ka
57009 x-iscii-ma
57010 x-iscii-gu
57011 x-iscii-pa
65000 utf-7 csunicode11utf7 unicode-1-1-utf-7 unicode-2-0-utf-7 x-unicode-1-1-utf-7 x-unicode-2-0-utf-7
65001 utf-8 utf8 unicode-1-1-utf-8 unicode-2-0-utf-8 x-unicode-1-1-utf-8 x-unicode-2-0-utf-8
)";

constexpr size_t kBuckets = 155;

// The names as rows "LLCCCCCname" (name length, code page, name), hashed
// by the sum of the name's bytes.
struct Table {
  std::vector<std::string> rows;
  std::vector<const char*> buckets[kBuckets];
};

const Table& EncodingTable() {
  static const Table* t = [] {
    auto* table = new Table;
    std::istringstream lines(kEncodingNames);
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream words(line);
      int cp = 0;
      std::string name;
      if (!(words >> cp)) continue;
      while (words >> name) {
        char head[8];
        snprintf(head, sizeof head, "%02zu%05d", name.size(), cp);
        table->rows.push_back(head + name);
      }
    }
    for (const std::string& row : table->rows) {
      unsigned sum = 0;
      for (size_t i = 7; i < row.size(); ++i) sum += (unsigned char)row[i];
      table->buckets[sum % kBuckets].push_back(row.c_str());
    }
    return table;
  }();
  return *t;
}

int Digits(const char* p, int n) {
  int v = 0;
  for (int i = 0; i < n; ++i) v = v * 10 + (p[i] - '0');
  return v;
}

}  // namespace

size_t EncodingTableSize() { return EncodingTable().rows.size(); }
const char* EncodingTableRow(size_t i) { return i < EncodingTableSize() ? EncodingTable().rows[i].c_str() : nullptr; }

bool IsUtf32Name(const WString& name) {
  static const char16_t kPrefix[] = u"utf-32";
  if (name.size() < 6) return false;
  for (size_t i = 0; i < 6; ++i) {
    char16_t c = name[i];
    if (c >= u'A' && c <= u'Z') c = (char16_t)(c - u'A' + u'a');
    if (c != kPrefix[i]) return false;
  }
  return true;
}

int CodePageFromName(const WString& name) {
  if (name.empty() || name.size() >= 100) return kCodePageAnsi;
  char lower[100];
  unsigned sum = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    char16_t c = name[i];
    if (c >= u'A' && c <= u'Z') c = (char16_t)(c - u'A' + u'a');
    if (c >= 0x80) return kCodePageAnsi;  // every known name is ASCII
    lower[i] = (char)c;
    sum += c;
  }
  for (const char* row : EncodingTable().buckets[sum % kBuckets]) {
    if ((size_t)Digits(row, 2) == name.size() && memcmp(row + 7, lower, name.size()) == 0)
      return Digits(row + 2, 5);
  }
  return kCodePageAnsi;
}

bool LooksLikeUtf8(const unsigned char* p, size_t n) {
  size_t i = 0;
  while (i < n && p[i] != 0) {
    unsigned char c = p[i++];
    if (c < 0x80) continue;
    int more;
    if (!(c & 0x20)) more = 1;
    else if (!(c & 0x10)) more = 2;
    else if (!(c & 0x08)) more = 3;
    else return false;
    for (; more > 0; --more, ++i)
      if (i >= n || p[i] < 0x80) return false;
  }
  return true;
}

void AppendFromUtf8(const unsigned char* p, size_t n, WString& out) {
  size_t base = out.size();
  out.resize(base + n);  // never more units than bytes
  char16_t* d = &out[0] + base;
  char16_t* const d0 = d;
  size_t i = 0;
  while (i < n) {
    // Runs of ASCII, eight bytes at a time.
    while (i + 8 <= n) {
      uint64_t w;
      memcpy(&w, p + i, 8);
      if (w & 0x8080808080808080ULL) break;
      for (int k = 0; k < 8; ++k) d[k] = p[i + k];
      d += 8;
      i += 8;
    }
    if (i >= n) break;
    unsigned c = p[i];
    if (c < 0x80) { *d++ = (char16_t)c; ++i; continue; }
    int len;
    unsigned cp, min;
    if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; min = 0x80; }
    else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; min = 0x800; }
    else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; min = 0x10000; }
    else { *d++ = 0xFFFD; ++i; continue; }
    int k = 1;
    for (; k < len && i + k < n && (p[i + k] & 0xC0) == 0x80; ++k) cp = (cp << 6) | (p[i + k] & 0x3F);
    if (k < len || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      // An invalid or cut sequence: one replacement for the bytes taken.
      *d++ = 0xFFFD;
      i += k;
      continue;
    }
    d += EncodeUtf16(cp, d);
    i += len;
  }
  out.resize(base + (size_t)(d - d0));
}

}  // namespace xmlenc
