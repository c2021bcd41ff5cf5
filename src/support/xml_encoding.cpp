// EncodingTable and the conversions of the XML loader.
#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "support/xml_internal.h"

namespace xmlenc {
namespace {

// Each row: the name's length (two digits), the code page (five digits),
// the name in lower case. Names and code pages as Windows knows them.
const char* const kEncodingTable[] = {
    "0600037ibm037", "0500037cp037", "0800037csibm037", "1200037ebcdic-cp-ca",
    "1200037ebcdic-cp-nl", "1200037ebcdic-cp-us", "1200037ebcdic-cp-wt", "0600437ibm437",
    "0500437cp437", "0300437437", "1600437cspc8codepage437", "0600500ibm500", "0500500cp500",
    "0800500csibm500", "1200500ebcdic-cp-be", "1200500ebcdic-cp-ch", "0800708asmo-708",
    "0700720dos-720", "0600737ibm737", "0600775ibm775", "0600850ibm850", "0500850cp850",
    "0600852ibm852", "0500852cp852", "0600855ibm855", "0500855cp855", "0600857ibm857",
    "0500857cp857", "0800858ibm00858", "1000858ccsid00858", "0700858cp00858", "0500858cp858",
    "2400858pc-multilingual-850+euro", "0600860ibm860", "0500860cp860", "0600861ibm861",
    "0500861cp861", "0700862dos-862", "0500862cp862", "0600862ibm862", "0600863ibm863",
    "0500863cp863", "0600864ibm864", "0500864cp864", "0600865ibm865", "0500865cp865",
    "0500866cp866", "0600866ibm866", "0600869ibm869", "0500869cp869", "0600870ibm870",
    "0500870cp870", "0800870csibm870", "1500870ebcdic-cp-roece", "1200870ebcdic-cp-yu",
    "1100874windows-874", "0700874dos-874", "1100874iso-8859-11", "0700874tis-620", "0500875cp875",
    "0900932shift_jis", "1000932csshiftjis", "1200932cswindows31j", "0800932ms_kanji",
    "0900932shift-jis", "0400932sjis", "1000932x-ms-cp932", "0600932x-sjis", "0500932cp932",
    "1100932windows-31j", "0600936gb2312", "0700936chinese", "0500936cn-gb", "0800936csgb2312",
    "1000936csgb231280", "1500936csiso58gb231280", "1000936gb_2312-80", "0800936gb231280",
    "0900936gb2312-80", "0300936gbk", "0900936iso-ir-58", "0500936cp936", "0500936ms936",
    "1100936windows-936", "0500936x-gbk", "1400949ks_c_5601-1987", "1300949csksc56011987",
    "1000949iso-ir-149", "0600949korean", "0900949ks_c_5601", "1400949ks_c_5601_1987",
    "1400949ks_c_5601-1989", "0800949ksc_5601", "0700949ksc5601", "0500949cp949",
    "1100949windows-949", "0400950big5", "1000950big5-hkscs", "0700950cn-big5", "0600950csbig5",
    "0800950x-x-big5", "0500950cp950", "0701026ibm1026", "0601026cp1026", "0901026csibm1026",
    "0801047ibm01047", "0801140ibm01140", "1001140ccsid01140", "0701140cp01140",
    "1701140ebcdic-us-37+euro", "0801141ibm01141", "1001141ccsid01141", "0701141cp01141",
    "1801141ebcdic-de-273+euro", "0801142ibm01142", "1001142ccsid01142", "0701142cp01142",
    "1801142ebcdic-dk-277+euro", "1801142ebcdic-no-277+euro", "0801143ibm01143",
    "1001143ccsid01143", "0701143cp01143", "1801143ebcdic-fi-278+euro", "1801143ebcdic-se-278+euro",
    "0801144ibm01144", "1001144ccsid01144", "0701144cp01144", "1801144ebcdic-it-280+euro",
    "0801145ibm01145", "1001145ccsid01145", "0701145cp01145", "1801145ebcdic-es-284+euro",
    "0801146ibm01146", "1001146ccsid01146", "0701146cp01146", "1801146ebcdic-gb-285+euro",
    "0801147ibm01147", "1001147ccsid01147", "0701147cp01147", "1801147ebcdic-fr-297+euro",
    "0801148ibm01148", "1001148ccsid01148", "0701148cp01148",
    "2901148ebcdic-international-500+euro", "0801149ibm01149", "1001149ccsid01149",
    "0701149cp01149", "1801149ebcdic-is-871+euro", "0601200utf-16", "0801200utf-16le",
    "0501200ucs-2", "0701200unicode", "1501200iso-10646-ucs-2", "0701200ucs-2le", "0801201utf-16be",
    "1101201unicodefffe", "0701201ucs-2be", "1201250windows-1250", "0801250x-cp1250",
    "0601250cp1250", "1201251windows-1251", "0801251x-cp1251", "0601251cp1251",
    "1201252windows-1252", "0601252x-ansi", "0601252cp1252", "1201253windows-1253", "0601253cp1253",
    "1201254windows-1254", "0601254cp1254", "1201255windows-1255", "0601255cp1255",
    "1201256windows-1256", "0601256cp1256", "1201257windows-1257", "0601257cp1257",
    "1201258windows-1258", "0601258cp1258", "0501361johab", "0910000macintosh", "0310000mac",
    "1110000csmacintosh", "1110000x-mac-roman", "1410001x-mac-japanese", "1710002x-mac-chinesetrad",
    "1210003x-mac-korean", "1210004x-mac-arabic", "1210005x-mac-hebrew", "1110006x-mac-greek",
    "1410007x-mac-cyrillic", "1710008x-mac-chinesesimp", "1410010x-mac-romanian",
    "1510017x-mac-ukrainian", "1010021x-mac-thai", "0810029x-mac-ce", "1510079x-mac-icelandic",
    "1310081x-mac-turkish", "1410082x-mac-croatian", "0612000utf-32", "0812000utf-32le",
    "0812001utf-32be", "1320000x-chinese-cns", "1320000x-chinese_cns", "0920001x-cp20001",
    "1420002x-chinese-eten", "1420002x-chinese_eten", "0920003x-cp20003", "0920004x-cp20004",
    "0920005x-cp20005", "0520105x-ia5", "1220106x-ia5-german", "1320107x-ia5-swedish",
    "1520108x-ia5-norwegian", "0820127us-ascii", "0520127ascii", "1420127ansi_x3.4-1968",
    "1420127ansi_x3.4-1986", "0520127cp367", "0720127csascii", "0620127ibm367", "0820127iso-ir-6",
    "0920127iso646-us", "1620127iso_646.irv:1991", "0220127us", "0920261x-cp20261",
    "0920269x-cp20269", "0620273ibm273", "0520273cp273", "0820273csibm273", "0620277ibm277",
    "0820277csibm277", "1220277ebcdic-cp-dk", "1220277ebcdic-cp-no", "0620278ibm278",
    "0520278cp278", "0820278csibm278", "1220278ebcdic-cp-fi", "1220278ebcdic-cp-se",
    "0620280ibm280", "0520280cp280", "0820280csibm280", "1220280ebcdic-cp-it", "0620284ibm284",
    "0520284cp284", "0820284csibm284", "1220284ebcdic-cp-es", "0620285ibm285", "0520285cp285",
    "0820285csibm285", "1220285ebcdic-cp-gb", "0620290ibm290", "0520290cp290", "0820290csibm290",
    "1420290ebcdic-jp-kana", "0620297ibm297", "0520297cp297", "0820297csibm297",
    "1220297ebcdic-cp-fr", "0620420ibm420", "0520420cp420", "0820420csibm420",
    "1320420ebcdic-cp-ar1", "0620423ibm423", "0520423cp423", "0820423csibm423",
    "1220423ebcdic-cp-gr", "0620424ibm424", "0520424cp424", "0820424csibm424",
    "1220424ebcdic-cp-he", "2320833x-ebcdic-koreanextended", "0820838ibm-thai", "0920838csibmthai",
    "0620866koi8-r", "0720866cskoi8r", "0320866koi", "0420866koi8", "0520866koi8r", "0620871ibm871",
    "0520871cp871", "0820871csibm871", "1220871ebcdic-cp-is", "0620880ibm880", "0520880cp880",
    "0820880csibm880", "1520880ebcdic-cyrillic", "0620905ibm905", "0520905cp905", "0820905csibm905",
    "1220905ebcdic-cp-tr", "0820924ibm00924", "1020924ccsid00924", "0720924cp00924",
    "1920924ebcdic-latin9--euro", "0920932x-cp20932", "0920936x-cp20936", "0920949x-cp20949",
    "0621025cp1025", "0721025ibm1025", "0621866koi8-u", "0721866koi8-ru", "1028591iso-8859-1",
    "0528591cp819", "1128591csisolatin1", "0628591ibm819", "1028591iso_8859-1",
    "1528591iso_8859-1:1987", "1028591iso-ir-100", "0228591l1", "0628591latin1",
    "1028592iso-8859-2", "1128592csisolatin2", "1028592iso_8859-2", "1528592iso_8859-2:1987",
    "1028592iso-ir-101", "0228592l2", "0628592latin2", "1028593iso-8859-3", "1128593csisolatin3",
    "1028593iso_8859-3", "1528593iso_8859-3:1988", "1028593iso-ir-109", "0228593l3",
    "0628593latin3", "1028594iso-8859-4", "1128594csisolatin4", "1028594iso_8859-4",
    "1528594iso_8859-4:1988", "1028594iso-ir-110", "0228594l4", "0628594latin4",
    "1028595iso-8859-5", "1828595csisolatincyrillic", "0828595cyrillic", "1028595iso_8859-5",
    "1528595iso_8859-5:1988", "1028595iso-ir-144", "1028596iso-8859-6", "0628596arabic",
    "1628596csisolatinarabic", "0828596ecma-114", "1028596iso_8859-6", "1528596iso_8859-6:1987",
    "1028596iso-ir-127", "1028597iso-8859-7", "1528597csisolatingreek", "0828597ecma-118",
    "0828597elot_928", "0528597greek", "0628597greek8", "1028597iso_8859-7",
    "1528597iso_8859-7:1987", "1028597iso-ir-126", "1028598iso-8859-8", "1628598csisolatinhebrew",
    "0628598hebrew", "1028598iso_8859-8", "1528598iso_8859-8:1988", "1728598iso-8859-8-visual",
    "1028598iso-ir-138", "0628598visual", "1028599iso-8859-9", "1128599csisolatin5",
    "1028599iso_8859-9", "1528599iso_8859-9:1989", "1028599iso-ir-148", "0228599l5",
    "0628599latin5", "1128603iso-8859-13", "1128605iso-8859-15", "1128605csisolatin9",
    "1128605iso_8859-15", "0228605l9", "0628605latin9", "0829001x-europa", "1238598iso-8859-8-i",
    "0738598logical", "1150220iso-2022-jp", "1150221csiso2022jp", "1550222iso-2022-jp-sio",
    "1150225iso-2022-kr", "1150225csiso2022kr", "1650225iso-2022-kr-7bit", "0950227x-cp50227",
    "0651932euc-jp", "1951932cseucpkdfmtjapanese",
    "4551932extended_unix_code_packed_format_for_japanese", "0551932x-euc", "0851932x-euc-jp",
    "0651936euc-cn", "0851936x-euc-cn", "0651949euc-kr", "0751949cseuckr", "1351949iso-2022-kr-8",
    "1651949iso-2022-kr-8bit", "1052936hz-gb-2312", "0754936gb18030", "1057002x-iscii-de",
    "1057003x-iscii-be", "1057004x-iscii-ta", "1057005x-iscii-te", "1057006x-iscii-as",
    "1057007x-iscii-or", "1057008x-iscii-ka", "1057009x-iscii-ma", "1057010x-iscii-gu",
    "1057011x-iscii-pa", "0565000utf-7", "1565000csunicode11utf7", "1765000unicode-1-1-utf-7",
    "1765000unicode-2-0-utf-7", "1965000x-unicode-1-1-utf-7", "1965000x-unicode-2-0-utf-7",
    "0565001utf-8", "0465001utf8", "1765001unicode-1-1-utf-8", "1765001unicode-2-0-utf-8",
    "1965001x-unicode-1-1-utf-8", "1965001x-unicode-2-0-utf-8",
};

constexpr size_t kBuckets = 155;

struct Bucketed {
  std::vector<const char*> rows[kBuckets];
};

const Bucketed& Buckets() {
  static const Bucketed* b = [] {
    auto* t = new Bucketed;
    for (const char* row : kEncodingTable) {
      unsigned sum = 0;
      for (const char* p = row + 7; *p; ++p) sum += (unsigned char)*p;
      t->rows[sum % kBuckets].push_back(row);
    }
    return t;
  }();
  return *b;
}

int Digits(const char* p, int n) {
  int v = 0;
  for (int i = 0; i < n; ++i) v = v * 10 + (p[i] - '0');
  return v;
}

}  // namespace

size_t EncodingTableSize() { return sizeof kEncodingTable / sizeof kEncodingTable[0]; }
const char* EncodingTableRow(size_t i) { return i < EncodingTableSize() ? kEncodingTable[i] : nullptr; }

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
  for (const char* row : Buckets().rows[sum % kBuckets]) {
    if ((size_t)Digits(row, 2) == name.size() && memcmp(row + 7, lower, name.size()) == 0)
      return Digits(row + 2, 5);
  }
  return kCodePageAnsi;
}

const char* IconvName(int cp) {
  switch (cp) {
    case 37: return "IBM037";
    case 437: return "IBM437";
    case 500: return "IBM500";
    case 708: return "ASMO-708";
    case 737: return "CP737";
    case 775: return "CP775";
    case 850: return "IBM850";
    case 852: return "IBM852";
    case 855: return "IBM855";
    case 857: return "IBM857";
    case 858: return "IBM858";
    case 860: return "IBM860";
    case 861: return "IBM861";
    case 862: return "IBM862";
    case 863: return "IBM863";
    case 864: return "IBM864";
    case 865: return "IBM865";
    case 866: return "IBM866";
    case 869: return "IBM869";
    case 870: return "IBM870";
    case 874: return "CP874";
    case 875: return "CP875";
    case 932: return "CP932";
    case 936: return "CP936";
    case 949: return "CP949";
    case 950: return "CP950";
    case 1026: return "IBM1026";
    case 1047: return "IBM1047";
    case 1140: return "IBM1140";
    case 1141: return "IBM1141";
    case 1142: return "IBM1142";
    case 1143: return "IBM1143";
    case 1144: return "IBM1144";
    case 1145: return "IBM1145";
    case 1146: return "IBM1146";
    case 1147: return "IBM1147";
    case 1148: return "IBM1148";
    case 1149: return "IBM1149";
    case kCodePageUtf16Le: return "UTF-16LE";
    case kCodePageUtf16Be: return "UTF-16BE";
    case 1250: return "CP1250";
    case 1251: return "CP1251";
    case 1252: return "CP1252";
    case 1253: return "CP1253";
    case 1254: return "CP1254";
    case 1255: return "CP1255";
    case 1256: return "CP1256";
    case 1257: return "CP1257";
    case 1258: return "CP1258";
    case 1361: return "JOHAB";
    case 10000: return "MACINTOSH";
    case 10007: return "MAC-CYRILLIC";
    case 10017: return "MACUKRAINIAN";
    case 10029: return "MAC-CENTRALEUROPE";
    case 10079: return "MAC-IS";
    case kCodePageUtf32Le: return "UTF-32LE";
    case kCodePageUtf32Be: return "UTF-32BE";
    case 20000: return "EUC-TW";
    case 20127: return "ASCII";
    case 20273: return "IBM273";
    case 20277: return "IBM277";
    case 20278: return "IBM278";
    case 20280: return "IBM280";
    case 20284: return "IBM284";
    case 20285: return "IBM285";
    case 20290: return "IBM290";
    case 20297: return "IBM297";
    case 20420: return "IBM420";
    case 20423: return "IBM423";
    case 20424: return "IBM424";
    case 20866: return "KOI8-R";
    case 20871: return "IBM871";
    case 20880: return "IBM880";
    case 20905: return "IBM905";
    case 20932: return "EUC-JP";
    case 21025: return "IBM1025";
    case 21866: return "KOI8-U";
    case 28591: return "ISO-8859-1";
    case 28592: return "ISO-8859-2";
    case 28593: return "ISO-8859-3";
    case 28594: return "ISO-8859-4";
    case 28595: return "ISO-8859-5";
    case 28596: return "ISO-8859-6";
    case 28597: return "ISO-8859-7";
    case 28598: return "ISO-8859-8";
    case 28599: return "ISO-8859-9";
    case 28603: return "ISO-8859-13";
    case 28605: return "ISO-8859-15";
    case 38598: return "ISO-8859-8";
    case 50220: case 50221: case 50222: return "ISO-2022-JP";
    case 50225: return "ISO-2022-KR";
    case 51932: return "EUC-JP";
    case 51936: return "EUC-CN";
    case 51949: return "EUC-KR";
    case 54936: return "GB18030";
    case 65000: return "UTF-7";
    case kCodePageUtf8: return "UTF-8";
    default: return nullptr;
  }
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
    if (cp >= 0x10000) {
      cp -= 0x10000;
      *d++ = (char16_t)(0xD800 + (cp >> 10));
      *d++ = (char16_t)(0xDC00 + (cp & 0x3FF));
    } else {
      *d++ = (char16_t)cp;
    }
    i += len;
  }
  out.resize(base + (size_t)(d - d0));
}

namespace {

// iconv into UTF-16LE units; false when iconv has no such converter.
bool AppendWithIconv(const char* from, const unsigned char* data, size_t size, WString& out) {
  iconv_t cd = iconv_open("UTF-16LE", from);
  if (cd == (iconv_t)-1) return false;
  size_t base = out.size();
  size_t room = size + size / 100 + 16;  // units
  size_t used = 0;
  out.resize(base + room);
  char* src = (char*)data;
  size_t srcLeft = size;
  bool flushing = false;
  while (true) {
    if (room - used < 8) {
      room += room / 2 + 16;
      out.resize(base + room);
    }
    char* dst = (char*)(&out[0] + base + used);
    size_t dstLeft = (room - used) * 2;
    size_t r = flushing ? iconv(cd, nullptr, nullptr, &dst, &dstLeft) : iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    used = room - dstLeft / 2;
    if (r != (size_t)-1) {
      if (flushing) break;
      flushing = true;  // end the shift state of stateful encodings
      continue;
    }
    if (errno == E2BIG) {
      room += room / 2 + 16;
      out.resize(base + room);
      continue;
    }
    if (flushing || (errno != EILSEQ && errno != EINVAL) || srcLeft == 0) break;
    // Not convertible, or cut at the end: one replacement, one byte on.
    out[base + used++] = 0xFFFD;
    ++src;
    --srcLeft;
  }
  iconv_close(cd);
  out.resize(base + used);
  return true;
}

}  // namespace

void AppendFromCodePage(int cp, const unsigned char* data, size_t size, WString& out) {
  if (size == 0) return;
  if (cp == kCodePageAnsi) {
    const char* ansi = AnsiCodesetName();
    if (strcmp(ansi, "UTF-8") != 0 && AppendWithIconv(ansi, data, size, out)) return;
    cp = kCodePageUtf8;
  }
  if (cp == kCodePageUtf8) {
    AppendFromUtf8(data, size, out);
    return;
  }
  const char* name = IconvName(cp);
  if (name && AppendWithIconv(name, data, size, out)) return;
  // A code page this system cannot convert: the ANSI code page instead.
  AppendFromCodePage(kCodePageAnsi, data, size, out);
}

}  // namespace xmlenc
