#include "support/xml.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "platform/file.h"
#include "platform/files.h"
#include "support/xml_internal.h"

namespace {

using Rec = XmlDocument::ElementRecord;

// Characters that end a tag or attribute name.
struct NameEndTable {
  bool v[128] = {};
  constexpr NameEndTable() {
    const char* s = "\t\n\r !\"'/;<=>?\\";
    for (; *s; ++s) v[(unsigned char)*s] = true;
  }
};
constexpr NameEndTable kNameEnd;

inline bool IsNameEnd(char16_t c) { return c < 128 && kNameEnd.v[c]; }
inline bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; }
inline bool IsNameStart(char16_t c) {
  return c == u':' || c == u'_' || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c >= 0x7B;
}
inline char16_t LowerAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? (char16_t)(c - u'A' + u'a') : c; }

// First c in [p, e), or e.
inline const char16_t* FindChar(const char16_t* p, const char16_t* e, char16_t c) {
#ifdef __SSE2__
  const __m128i v = _mm_set1_epi16((short)c);
  while (e - p >= 8) {
    int m = _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_loadu_si128((const __m128i*)p), v));
    if (m) return p + (__builtin_ctz((unsigned)m) >> 1);
    p += 8;
  }
#endif
  while (p < e && *p != c) ++p;
  return p;
}

// First occurrence of the ASCII text s in [p, e), or e.
inline const char16_t* FindText(const char16_t* p, const char16_t* e, const char* s) {
  size_t n = strlen(s);
  while (true) {
    p = FindChar(p, e, (char16_t)s[0]);
    if ((size_t)(e - p) < n) return e;
    size_t i = 1;
    while (i < n && p[i] == (char16_t)s[i]) ++i;
    if (i == n) return p;
    ++p;
  }
}

// How [p, e) compares with the ASCII text s: 1 when it starts with s, 0
// when it is cut short but agrees so far, -1 when it differs.
inline int StartsWith(const char16_t* p, const char16_t* e, const char* s) {
  for (; *s; ++s, ++p) {
    if (p >= e) return 0;
    if (*p != (char16_t)*s) return -1;
  }
  return 1;
}

inline bool EqualsNoCase(const char16_t* b, const char16_t* e, const char* s) {
  for (; b < e; ++b, ++s)
    if (!*s || LowerAscii(*b) != (char16_t)*s) return false;
  return *s == 0;
}

inline const char16_t* NameEnd(const char16_t* p, const char16_t* e) {
  while (p < e && !IsNameEnd(*p)) ++p;
  return p;
}

// Walks the attributes of a start tag from just after its name, calling
// fn(nameBegin, nameEnd, valueBegin, valueEnd) for each. Returns the
// closing '>' or nullptr when the text ends first; empty tells "/>".
template <class Fn>
const char16_t* ScanAttributes(const char16_t* p, const char16_t* e, bool& empty, Fn&& fn) {
  empty = false;
  while (true) {
    while (p < e && IsSpace(*p)) ++p;
    if (p >= e) return nullptr;
    char16_t c = *p;
    if (c == u'>') return p;
    if (c == u'/') {
      if (p + 1 < e && p[1] == u'>') {
        empty = true;
        return p + 1;
      }
      ++p;
      continue;
    }
    if (c != u'=' && IsNameEnd(c)) {  // a stray character: passed over
      ++p;
      continue;
    }
    const char16_t* nb = p;
    p = NameEnd(p, e);
    const char16_t* ne = p;
    const char16_t* q = p;
    while (q < e && IsSpace(*q)) ++q;
    if (q < e && *q == u'=') {
      ++q;
      while (q < e && IsSpace(*q)) ++q;
      if (q >= e) return nullptr;
      const char16_t *vb, *ve;
      if (*q == u'"' || *q == u'\'') {
        vb = q + 1;
        ve = FindChar(vb, e, *q);
        if (ve >= e) return nullptr;
        p = ve + 1;
      } else {
        vb = q;
        while (q < e && !IsSpace(*q) && *q != u'>' && !(*q == u'/' && q + 1 < e && q[1] == u'>')) ++q;
        ve = p = q;
      }
      fn(nb, ne, vb, ve);
    } else {
      fn(nb, ne, ne, ne);
    }
  }
}

uint32_t NameHash(const char16_t* b, const char16_t* e) {
  uint32_t h = 2166136261u;
  for (; b < e; ++b) h = (h ^ *b) * 16777619u;
  return h;
}

WString Num(size_t v) { return WFromInt((long long)v); }

}  // namespace

// One pass over the document text that builds the element index.
class XmlParser {
 public:
  explicit XmlParser(XmlDocument& doc)
      : m_doc(doc), m_t(doc.m_strDoc.data()), m_e(doc.m_strDoc.data() + doc.m_strDoc.size()),
        m_counts(kCountSlots, 0) {}

  void Run() {
    const char16_t* p = m_t;
    while ((p = FindChar(p, m_e, u'<')) < m_e) {
      const char16_t* next;
      if (p + 1 >= m_e) {
        Unterminated("tag", p);
        break;
      }
      char16_t c = p[1];
      if (c == u'/') next = EndTag(p);
      else if (c == u'!') next = Exclamation(p);
      else if (c == u'?') next = ProcessingInstruction(p);
      else if (IsNameStart(c)) next = StartTag(p);
      else next = SyntaxError("first_tag_syntax", p);
      if (!next) break;  // a markup item ran to the end of the text
      p = next;
    }
    CloseUnended(0, m_e);
  }

 private:
  struct Open {
    uint32_t iRec;
    uint32_t nNameOffset;
    uint32_t nNameLength;
    uint32_t nHash;
  };
  static constexpr size_t kCountSlots = 4096;

  uint32_t Offset(const char16_t* p) const { return (uint32_t)(p - m_t); }
  uint32_t Top() const { return m_stack.empty() ? 0 : m_stack.back().iRec; }

  void Damage() {
    m_doc.Rec(Top()).nFlags |= XmlDocument::kFlagDamaged;
    m_doc.Rec(0).nFlags |= XmlDocument::kFlagIllFormed;
  }

  const char16_t* SyntaxError(const char* result, const char16_t* at) {
    m_doc.AddResult(result, {{"offset", Num(Offset(at))}});
    Damage();
    return at + 1;  // the '<' counts as text; scanning goes on after it
  }

  void Unterminated(const char* type, const char16_t* at) {
    m_doc.AddResult("unterminated_tag_syntax", {{"type", W(type)}, {"offset", Num(Offset(at))}});
    Damage();
  }

  const char16_t* TooLong(const char* type, const char16_t* at, const char16_t* next) {
    m_doc.AddResult("tag_too_long", {{"type", W(type)}, {"offset", Num(Offset(at))}});
    Damage();
    return next;
  }

  void Append(uint32_t parent, uint32_t child) {
    Rec& c = m_doc.Rec(child);
    c.iParent = parent;
    c.iNext = 0;
    Rec& p = m_doc.Rec(parent);
    if (!p.iFirstChild) {
      p.iFirstChild = child;
      c.iPrev = child;
      c.nFlags |= XmlDocument::kFlagFirstChild;
      return;
    }
    Rec& first = m_doc.Rec(p.iFirstChild);
    uint32_t last = first.iPrev;
    m_doc.Rec(last).iNext = child;
    c.iPrev = last;
    first.iPrev = child;
  }

  const char16_t* StartTag(const char16_t* p) {
    const char16_t* nb = p + 1;
    const char16_t* ne = NameEnd(nb, m_e);
    bool empty;
    const char16_t* gt = ScanAttributes(ne, m_e, empty, [](const char16_t*, const char16_t*, const char16_t*,
                                                            const char16_t*) {});
    if (!gt) {
      Unterminated("start_tag", p);
      return nullptr;
    }
    size_t tagLength = (size_t)(gt + 1 - p);
    if (tagLength > XmlDocument::kMaxStartTag) return TooLong("start_tag", p, gt + 1);
    uint32_t parent = Top();
    uint32_t i = m_doc.NewRecord();
    Rec& r = m_doc.Rec(i);
    r.nStart = Offset(p);
    r.nLength = (uint32_t)tagLength;
    r.nTagLengths = (uint32_t)tagLength;
    r.nFlags = (uint32_t)std::min<size_t>(m_stack.size() + 1, 0xFFFF);
    r.iFirstChild = 0;
    Append(parent, i);
    if (!empty) {
      uint32_t h = NameHash(nb, ne);
      m_stack.push_back({i, Offset(nb), (uint32_t)(ne - nb), h});
      ++m_counts[h % kCountSlots];
    }
    return gt + 1;
  }

  bool OpenNameIs(const Open& o, const char16_t* nb, size_t len, uint32_t h) const {
    return o.nHash == h && o.nNameLength == len && std::equal(nb, nb + len, m_t + o.nNameOffset);
  }

  const char16_t* EndTag(const char16_t* p) {
    const char16_t* nb = p + 2;
    const char16_t* ne = NameEnd(nb, m_e);
    const char16_t* gt = FindChar(ne, m_e, u'>');
    if (gt >= m_e) {
      Unterminated("end_tag", p);
      return nullptr;
    }
    size_t tagLength = (size_t)(gt + 1 - p);
    if (tagLength > XmlDocument::kMaxEndTag) return TooLong("end_tag", p, gt + 1);
    size_t len = (size_t)(ne - nb);
    uint32_t h = NameHash(nb, ne);
    size_t match = m_stack.size();  // none
    if (!m_stack.empty()) {
      if (OpenNameIs(m_stack.back(), nb, len, h)) {
        match = m_stack.size() - 1;
      } else if (m_counts[h % kCountSlots]) {
        for (size_t k = m_stack.size() - 1; k-- > 0;)
          if (OpenNameIs(m_stack[k], nb, len, h)) {
            match = k;
            break;
          }
      }
    }
    if (match == m_stack.size()) {
      m_doc.AddResult("lone_end_tag", {{"tagname", WString(nb, ne)}, {"offset", Num(Offset(p))}});
      Damage();
      return gt + 1;
    }
    CloseUnended(match + 1, p);
    Open o = m_stack.back();
    m_stack.pop_back();
    --m_counts[o.nHash % kCountSlots];
    Rec& r = m_doc.Rec(o.iRec);
    r.nLength = Offset(gt + 1) - r.nStart;
    r.nTagLengths |= (uint32_t)tagLength << 22;
    return gt + 1;
  }

  // Closes the open elements from m_stack[keep] up as unended at `at`:
  // each keeps only its start tag and its children follow it as siblings.
  void CloseUnended(size_t keep, const char16_t* at) {
    if (m_stack.size() <= keep) return;
    for (size_t k = m_stack.size(); k-- > keep;) {
      const Open& o = m_stack[k];
      m_doc.AddResult("unended_start_tag",
                      {{"tagname", WString(m_t + o.nNameOffset, o.nNameLength)},
                       {"offset", Num(m_doc.Rec(o.iRec).nStart)},
                       {"offset2", Num(Offset(at))}});
    }
    m_doc.Rec(0).nFlags |= XmlDocument::kFlagIllFormed;
    // Outermost first: every element then moves at most once in the whole
    // parse, however deep the unended nesting is.
    uint32_t parent = keep ? m_stack[keep - 1].iRec : 0;
    for (size_t k = keep; k < m_stack.size(); ++k) {
      uint32_t x = m_stack[k].iRec;
      --m_counts[m_stack[k].nHash % kCountSlots];
      Rec& r = m_doc.Rec(x);
      r.nFlags |= XmlDocument::kFlagUnended;
      r.nLength = r.StartTagLength();
      if (r.nFlags & XmlDocument::kFlagDamaged) {
        r.nFlags &= ~XmlDocument::kFlagDamaged;
        m_doc.Rec(parent).nFlags |= XmlDocument::kFlagDamaged;
      }
      uint32_t first = r.iFirstChild;
      if (!first) continue;
      // x is the last child of parent; its children follow it there.
      Rec& f = m_doc.Rec(first);
      uint32_t last = f.iPrev;
      r.iFirstChild = 0;
      r.iNext = first;
      f.iPrev = x;
      f.nFlags &= ~XmlDocument::kFlagFirstChild;
      m_doc.Rec(m_doc.Rec(parent).iFirstChild).iPrev = last;
      for (uint32_t c = first; c; c = m_doc.Rec(c).iNext) m_doc.Rec(c).iParent = parent;
    }
    m_stack.resize(keep);
  }

  const char16_t* Exclamation(const char16_t* p) {
    const char16_t* q = p + 2;
    if (q >= m_e) {
      Unterminated("tag", p);
      return nullptr;
    }
    if (*q == u'-') {
      int s = StartsWith(q, m_e, "--");
      if (s < 0) return SyntaxError("comment_tag_syntax", p);
      const char16_t* end = s ? FindText(p + 4, m_e, "-->") : m_e;
      if (end >= m_e) {
        Unterminated("comment", p);
        return nullptr;
      }
      return end + 3;
    }
    if (*q == u'[') {
      int s = StartsWith(q, m_e, "[CDATA[");
      if (s < 0) return SyntaxError("cdata_section_syntax", p);
      const char16_t* end = s ? FindText(p + 9, m_e, "]]>") : m_e;
      if (end >= m_e) {
        Unterminated("cdata_section", p);
        return nullptr;
      }
      return end + 3;
    }
    int s = StartsWith(q, m_e, "DOCTYPE");
    if (s < 0) return SyntaxError("exclamation_tag_syntax", p);
    if (s == 0) {
      Unterminated("document_type", p);
      return nullptr;
    }
    return DocumentType(p);
  }

  // <!DOCTYPE name external-id [internal subset]>
  const char16_t* DocumentType(const char16_t* p) {
    const char16_t* q = p + 9;
    while (q < m_e) {
      char16_t c = *q;
      if (c == u'>') return q + 1;
      if (c == u'"' || c == u'\'') {
        q = FindChar(q + 1, m_e, c);
        if (q < m_e) ++q;
      } else if (c == u'[') {
        q = InternalSubset(q + 1);
      } else {
        ++q;
      }
    }
    Unterminated("document_type", p);
    return nullptr;
  }

  // Returns the position after the closing ']', or m_e.
  const char16_t* InternalSubset(const char16_t* q) {
    while (q < m_e) {
      char16_t c = *q;
      if (IsSpace(c)) {
        ++q;
      } else if (c == u']') {
        return q + 1;
      } else if (StartsWith(q, m_e, "<!--") > 0) {
        q = FindText(q + 4, m_e, "-->");
        if (q < m_e) q += 3;
      } else if (StartsWith(q, m_e, "<?") > 0) {
        q = FindText(q + 2, m_e, "?>");
        if (q < m_e) q += 2;
      } else if (StartsWith(q, m_e, "<!") > 0) {
        for (q += 2; q < m_e && *q != u'>'; ++q) {
          if (*q == u'"' || *q == u'\'') {
            q = FindChar(q + 1, m_e, *q);
            if (q >= m_e) break;
          }
        }
        if (q < m_e) ++q;
      } else if (c == u'%') {
        const char16_t* semi = q + 1;
        while (semi < m_e && *semi != u';' && !IsNameEnd(*semi)) ++semi;
        if (semi < m_e && *semi == u';') {
          q = semi + 1;
        } else {
          SyntaxError("doctype_tag_syntax", q);
          q = FindChar(q, m_e, u']');
        }
      } else {
        // Not a markup declaration: the rest of the subset is passed over.
        SyntaxError("doctype_tag_syntax", q);
        q = FindChar(q, m_e, u']');
      }
    }
    return q;
  }

  const char16_t* ProcessingInstruction(const char16_t* p) {
    const char16_t* end = FindText(p + 2, m_e, "?>");
    if (end >= m_e) {
      Unterminated("processing_instruction", p);
      return nullptr;
    }
    return end + 2;
  }

  XmlDocument& m_doc;
  const char16_t* const m_t;
  const char16_t* const m_e;
  std::vector<Open> m_stack;
  // Open elements per name hash: a lone end tag is told without a walk.
  std::vector<uint32_t> m_counts;
};

namespace {

// The encoding a document declares in its first bytes: the XML
// declaration, or the charset of an html head's Content-Type meta.
WString DeclaredEncoding(const WString& text) {
  const char16_t* p = text.data();
  const char16_t* e = p + text.size();
  int level = 0;  // 1 inside html, 2 inside its head
  while (true) {
    p = FindChar(p, e, u'<');
    if (e - p < 2) break;
    char16_t c = p[1];
    if (c == u'?') {
      const char16_t* end = FindText(p + 2, e, "?>");
      if (end >= e) return WString();
      if (level == 0 && StartsWith(p + 2, e, "xml") > 0 && p + 5 < e && (IsSpace(p[5]) || p[5] == u'?')) {
        WString value;
        bool found = false, empty;
        ScanAttributes(p + 5, end, empty, [&](const char16_t* nb, const char16_t* ne, const char16_t* vb,
                                              const char16_t* ve) {
          if (!found && ne - nb == 8 && std::equal(nb, ne, u"encoding")) {
            found = true;
            value.assign(vb, ve);
          }
        });
        if (!value.empty()) return value;
      }
      p = end + 2;
      continue;
    }
    if (c == u'!') {
      const char16_t* end = StartsWith(p + 2, e, "--") > 0 ? FindText(p + 4, e, "-->") : FindChar(p + 2, e, u'>');
      if (end >= e) return WString();
      p = end + 1;
      continue;
    }
    if (c == u'/') {
      p += 2;
      continue;
    }
    if (!IsNameStart(c)) {
      ++p;
      continue;
    }
    const char16_t* nb = p + 1;
    const char16_t* ne = NameEnd(nb, e);
    if (level == 0 && EqualsNoCase(nb, ne, "html")) {
      level = 1;
    } else if (level == 1 && EqualsNoCase(nb, ne, "head")) {
      level = 2;
    } else if (level == 2 && EqualsNoCase(nb, ne, "meta")) {
      bool contentType = false, empty;
      const char16_t *cb = nullptr, *ce = nullptr;
      ScanAttributes(ne, e, empty, [&](const char16_t* an, const char16_t* ae, const char16_t* vb,
                                       const char16_t* ve) {
        if (EqualsNoCase(an, ae, "http-equiv") && EqualsNoCase(vb, ve, "content-type")) contentType = true;
        if (EqualsNoCase(an, ae, "content") && !cb) {
          cb = vb;
          ce = ve;
        }
      });
      if (contentType && cb) {
        for (const char16_t* s = cb; s + 7 <= ce; ++s) {
          if (!EqualsNoCase(s, s + 7, "charset")) continue;
          const char16_t* v = s + 7;
          while (v < ce && IsSpace(*v)) ++v;
          if (v >= ce || *v != u'=') continue;
          ++v;
          while (v < ce && IsSpace(*v)) ++v;
          const char16_t* w = v;
          while (w < ce && !IsSpace(*w) && *w != u';' && *w != u',' && *w != u'"' && *w != u'\'') ++w;
          if (w > v) return WString(v, w);
        }
      }
    } else {
      return WString();
    }
    p = ne;
  }
  return WString();
}

}  // namespace

XmlDocument::XmlDocument() { Parse(); }

XmlDocument::~XmlDocument() = default;

void XmlDocument::Clear() {
  m_strDoc.clear();
  m_strResult.clear();
  m_strEncoding.clear();
  m_nDocFlags &= kDocIgnoreCase;
}

void XmlDocument::AddResult(const char* name, std::initializer_list<std::pair<const char*, WString>> attrs) {
  if (m_strResult.size() > 999) return;
  m_strResult += u'<';
  m_strResult += W(name);
  for (const auto& a : attrs) {
    m_strResult += u' ';
    m_strResult += W(a.first);
    m_strResult += u"=\"";
    for (char16_t c : a.second) {
      switch (c) {
        case u'&': m_strResult += u"&amp;"; break;
        case u'<': m_strResult += u"&lt;"; break;
        case u'>': m_strResult += u"&gt;"; break;
        case u'"': m_strResult += u"&quot;"; break;
        default: m_strResult += c;
      }
    }
    m_strResult += u'"';
  }
  m_strResult += u"/>";
}

void XmlDocument::ReserveRecords(uint32_t count) {
  if (count <= m_nCapacity) return;
  size_t segments = ((size_t)count + kSegmentRecords - 1) / kSegmentRecords;
  auto sizeOf = [&](size_t seg) {
    return seg + 1 < segments ? (size_t)kSegmentRecords : (size_t)count - seg * kSegmentRecords;
  };
  if (!m_vecSegments.empty()) {
    // A short last segment grows in place of itself.
    size_t last = m_vecSegments.size() - 1;
    size_t have = m_nCapacity - last * kSegmentRecords;
    if (have < kSegmentRecords) {
      size_t want = sizeOf(last);
      std::unique_ptr<ElementRecord[]> grown(new ElementRecord[want]);
      memcpy(grown.get(), m_vecSegments[last].get(), have * sizeof(ElementRecord));
      m_vecSegments[last] = std::move(grown);
      m_nCapacity = (uint32_t)(last * kSegmentRecords + want);
    }
  }
  while (m_vecSegments.size() < segments) {
    size_t seg = m_vecSegments.size();
    m_vecSegments.emplace_back(new ElementRecord[sizeOf(seg)]);
    m_nCapacity = (uint32_t)(seg * kSegmentRecords + sizeOf(seg));
  }
}

uint32_t XmlDocument::NewRecord() {
  if (m_nRecords == m_nCapacity) ReserveRecords(m_nCapacity + m_nCapacity / 2 + 1);
  return m_nRecords++;
}

bool XmlDocument::Parse() {
  m_vecSegments.clear();
  m_nCapacity = 0;
  m_nRecords = 0;
  ReserveRecords((uint32_t)(m_strDoc.size() / 64 + 8));
  ElementRecord& doc = Rec(NewRecord());
  doc = ElementRecord{0, (uint32_t)m_strDoc.size(), 0, 0, 0, 0, 0, 0};
  m_iPosParent = m_iPos = m_iPosChild = 0;

  XmlParser(*this).Run();

  const ElementRecord& top = Rec(0);
  bool root = top.iFirstChild != 0;
  bool sibling = root && Rec(top.iFirstChild).iNext != 0;
  if (!m_strDoc.empty()) {
    if (!root) AddResult("no_root_element", {});
    else if (sibling) AddResult("root_has_sibling", {{"offset", Num(Rec(Rec(top.iFirstChild).iNext).nStart)}});
  }
  m_bWellFormed = !(top.nFlags & kFlagIllFormed) && root && !sibling;
  return m_bWellFormed;
}

bool XmlDocument::SetDocumentText() { return SetDocumentText(WString()); }

bool XmlDocument::SetDocumentText(const WString& text) {
  m_strResult.clear();
  if (text.size() > kMaxTextUnits) {
    m_strDoc.clear();
    AddResult("document_too_large", {{"length", Num(text.size())}});
    Parse();
    return false;
  }
  m_strDoc = text;
  return Parse();
}

bool XmlDocument::LoadFile(const WString& path) {
  Clear();
  auto fail = [&](int err) {
    const char* text = strerror(err);
    AddResult("file_error", {{"msg", WideFromAnsi(text ? text : "") + u" (" + WFromInt(err) + u")"}});
    Parse();
    return false;
  };
  plat::File file;
  if (!file.Open(path, plat::File::kRead)) return fail(plat::LastErrno());
  const int64_t size = file.Size();
  if (size < 0) return fail(plat::LastErrno());
  if ((uint64_t)size > kMaxFileBytes) return fail(EFBIG);
  std::vector<unsigned char> bytes((size_t)size);
  // The probe for a byte-order mark, then the rest in one piece.
  const size_t probe = std::min<size_t>(bytes.size(), 1024);
  int64_t got = file.ReadAt(0, bytes.data(), probe);
  if (got == (int64_t)probe && probe < bytes.size()) {
    const int64_t rest = file.ReadAt(got, bytes.data() + got, bytes.size() - probe);
    got = rest < 0 ? rest : got + rest;
  }
  if (got < 0) return fail(plat::LastErrno());
  bytes.resize((size_t)got);  // the file may have become shorter
  return DecodeAndParse(bytes);
}

bool XmlDocument::LoadBytes(const void* data, size_t size) {
  Clear();
  if (size > kMaxFileBytes) {
    AddResult("file_error", {{"msg", WideFromAnsi(strerror(EFBIG)) + u" (" + WFromInt(EFBIG) + u")"}});
    Parse();
    return false;
  }
  const unsigned char* b = (const unsigned char*)data;
  std::vector<unsigned char> bytes(b, b + size);
  return DecodeAndParse(bytes);
}

XmlDocument::ByteLayout XmlDocument::DetectEncoding(const unsigned char* d, size_t size) {
  ByteLayout layout;
  auto bom = [&](const char16_t* name, uint32_t flag, size_t length, int unitSize, bool be) {
    m_strEncoding = name;
    m_nDocFlags |= flag;
    layout = ByteLayout{length, unitSize, be};
    AddResult("bom", {{"encoding", m_strEncoding}});
  };
  if (size >= 3 && d[0] == 0xEF && d[1] == 0xBB && d[2] == 0xBF) {
    bom(u"UTF-8", kDocBomUtf8, 3, 1, false);
  } else if (size >= 4 && d[0] == 0xFF && d[1] == 0xFE && d[2] == 0 && d[3] == 0) {
    bom(u"UTF-32LE", kDocUtf32Le, 4, 4, false);
  } else if (size >= 4 && d[0] == 0 && d[1] == 0 && d[2] == 0xFE && d[3] == 0xFF) {
    bom(u"UTF-32BE", kDocUtf32Be, 4, 4, true);
  } else if (size >= 2 && d[0] == 0xFF && d[1] == 0xFE) {
    bom(u"UTF-16LE", kDocUtf16Le, 2, 2, false);
  } else if (size >= 2 && d[0] == 0xFE && d[1] == 0xFF) {
    bom(u"UTF-16BE", kDocUtf16Be, 2, 2, true);
  } else if (size > 0) {
    // No mark: the probe, without its NULs, read as UTF-8.
    unsigned char probe[1024];
    size_t n = 0;
    for (size_t i = 0; i < size && i < sizeof probe; ++i)
      if (d[i]) probe[n++] = d[i];
    WString prefix;
    xmlenc::AppendFromUtf8(probe, n, prefix);
    m_strEncoding = DeclaredEncoding(prefix);
    if (m_strEncoding.empty() && d[0] == u'<') m_strEncoding = u"UTF-8";
    // UTF-16 and UTF-32 declared without a mark: the first character's
    // zero bytes tell the byte order.
    bool leadZero = d[0] == 0 && size > 1 && d[1] != 0;
    if (xmlenc::IsUtf32Name(m_strEncoding)) {
      layout.unit = 4;
      WString tail = WLower(m_strEncoding.substr(6));
      layout.bigEndian = tail == u"be" || (tail != u"le" && d[0] == 0);
    } else if (!m_strEncoding.empty()) {
      int cp = xmlenc::CodePageFromName(m_strEncoding);
      if (cp == xmlenc::kCodePageUtf16Le || cp == xmlenc::kCodePageUtf16Be) {
        layout.unit = 2;
        layout.bigEndian = size > 1 && (d[0] == 0) != (d[1] == 0) ? leadZero : cp == xmlenc::kCodePageUtf16Be;
      }
    }
  }
  return layout;
}

void XmlDocument::DecodeUtf16(const unsigned char* src, size_t body, bool bigEndian) {
  size_t units = body / 2;
  m_strDoc.resize(units);
  char16_t* out = &m_strDoc[0];
  size_t n = 0;
  for (size_t i = 0; i < units; ++i) {
    char16_t u = bigEndian ? (char16_t)(src[2 * i] << 8 | src[2 * i + 1]) : (char16_t)(src[2 * i] | src[2 * i + 1] << 8);
    if (u) out[n++] = u;
  }
  const size_t nulls = units - n;
  m_strDoc.resize(n);
  if (nulls) AddResult("nulls_removed", {{"count", Num(nulls)}});
  if (bigEndian) AddResult("endian_swap", {});
}

// Code points of four bytes; what is no character becomes U+FFFD.
void XmlDocument::DecodeUtf32(const unsigned char* src, size_t body, bool bigEndian) {
  size_t points = (body + 3) / 4;
  size_t nulls = 0;
  m_strDoc.reserve(points);
  for (size_t i = 0; i < points; ++i) {
    uint32_t cp = 0xFFFD;
    if (4 * i + 4 <= body) {
      const unsigned char* q = src + 4 * i;
      cp = bigEndian ? (uint32_t)q[0] << 24 | q[1] << 16 | q[2] << 8 | q[3]
                     : (uint32_t)q[3] << 24 | q[2] << 16 | q[1] << 8 | q[0];
      if (cp == 0) {
        ++nulls;
        continue;
      }
      if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    }
    AppendUtf16(m_strDoc, cp);
  }
  if (nulls) AddResult("nulls_removed", {{"count", Num(nulls)}});
  if (bigEndian) AddResult("endian_swap", {});
  AddResult("converted_to", {{"encoding", u"UTF-16"}, {"length", Num(m_strDoc.size())}});
}

bool XmlDocument::DecodeAndParse(std::vector<unsigned char>& bytes) {
  const size_t size = bytes.size();
  const ByteLayout layout = DetectEncoding(bytes.data(), size);
  size_t body = size - layout.skip;
  AddResult("read", {{"encoding", m_strEncoding}, {"length", Num(body / layout.unit)}});
  if (body == 0) return Parse();

  if (layout.unit == 2) {
    DecodeUtf16(bytes.data() + layout.skip, body, layout.bigEndian);
    return Parse();
  }
  if (layout.unit == 4) {
    DecodeUtf32(bytes.data() + layout.skip, body, layout.bigEndian);
    return Parse();
  }

  unsigned char* begin = bytes.data() + layout.skip;
  unsigned char* end = std::remove(begin, bytes.data() + size, (unsigned char)0);
  const size_t nulls = (size_t)(bytes.data() + size - end);
  body -= nulls;
  if (nulls) AddResult("nulls_removed", {{"count", Num(nulls)}});
  if (m_strEncoding.empty()) {
    bool utf8 = xmlenc::LooksLikeUtf8(begin, body);
    if (utf8) m_strEncoding = u"UTF-8";
    AddResult("utf8_detection", {{"encoding", utf8 ? WString(u"UTF-8") : WString()}});
  }
  m_strDoc.reserve(body + body / 100 + 1);
  xmlenc::AppendFromCodePage(xmlenc::CodePageFromName(m_strEncoding), begin, body, m_strDoc);
  AddResult("converted_to", {{"encoding", u"UTF-16"}, {"length", Num(m_strDoc.size())}});
  if (m_strDoc.size() > kMaxTextUnits) {
    AddResult("document_too_large", {{"length", Num(m_strDoc.size())}});
    m_strDoc.clear();
    Parse();
    return false;
  }
  return Parse();
}

void XmlDocument::RewindLevel() {
  m_iPos = 0;
  m_iPosChild = 0;
}

bool XmlDocument::NameAt(uint32_t i, const WString& name) const {
  const ElementRecord& r = GetRecord(i);
  const char16_t* p = m_strDoc.data() + r.nStart + 1;
  const char16_t* e = m_strDoc.data() + r.nStart + r.StartTagLength();
  if ((size_t)(e - p) < name.size() || !std::equal(name.begin(), name.end(), p)) return false;
  p += name.size();
  return p >= e || IsNameEnd(*p);
}

bool XmlDocument::FindElement(const WString& name) {
  uint32_t i = m_iPos ? GetRecord(m_iPos).iNext : GetRecord(m_iPosParent).iFirstChild;
  for (; i; i = GetRecord(i).iNext) {
    if (name.empty() || NameAt(i, name)) {
      m_iPos = i;
      m_iPosChild = 0;
      return true;
    }
  }
  return false;
}

bool XmlDocument::EnterElement() {
  if (!m_iPos) return false;
  m_iPosParent = m_iPos;
  m_iPos = 0;
  m_iPosChild = 0;
  return true;
}

bool XmlDocument::LeaveElement() {
  if (!m_iPosParent) return false;
  m_iPos = m_iPosParent;
  m_iPosParent = GetRecord(m_iPos).iParent;
  m_iPosChild = 0;
  return true;
}

WString XmlDocument::GetElementName() const {
  if (!m_iPos) return WString();
  const ElementRecord& r = GetRecord(m_iPos);
  const char16_t* p = m_strDoc.data() + r.nStart + 1;
  return WString(p, NameEnd(p, m_strDoc.data() + r.nStart + r.StartTagLength()));
}

WString XmlDocument::GetAttribute(const WString& name) const {
  WString value;
  if (!m_iPos || name.empty()) return value;
  const ElementRecord& r = GetRecord(m_iPos);
  const char16_t* e = m_strDoc.data() + r.nStart + r.StartTagLength();
  const char16_t* p = NameEnd(m_strDoc.data() + r.nStart + 1, e);
  bool found = false, empty;
  ScanAttributes(p, e, empty, [&](const char16_t* nb, const char16_t* ne, const char16_t* vb, const char16_t* ve) {
    if (found || (size_t)(ne - nb) != name.size() || !std::equal(nb, ne, name.data())) return;
    found = true;
    xmlent::AppendDecoded(vb, ve, value);
  });
  return value;
}

WString XmlDocument::GetElementText() const {
  WString text;
  if (!m_iPos) return text;
  const ElementRecord& r = GetRecord(m_iPos);
  if (r.nLength == r.StartTagLength() || r.iFirstChild) return text;
  const char16_t* p = m_strDoc.data() + r.nStart + r.StartTagLength();
  const char16_t* e = m_strDoc.data() + r.nStart + r.nLength - r.EndTagLength();
  const char16_t* lt = FindChar(p, e, u'<');
  if (lt >= e) {
    xmlent::AppendDecoded(p, e, text);
    return text;
  }
  // Text pieces decoded, CDATA as it stands; comments, processing
  // instructions and stray end tags left out.
  while (p < e) {
    lt = FindChar(p, e, u'<');
    xmlent::AppendDecoded(p, lt, text);
    if (lt >= e) break;
    const char16_t* next;
    if (StartsWith(lt, e, "<![CDATA[") > 0) {
      const char16_t* end = FindText(lt + 9, e, "]]>");
      text.append(lt + 9, end);
      next = end < e ? end + 3 : e;
    } else if (StartsWith(lt, e, "<!--") > 0) {
      const char16_t* end = FindText(lt + 4, e, "-->");
      next = end < e ? end + 3 : e;
    } else if (StartsWith(lt, e, "<?") > 0) {
      const char16_t* end = FindText(lt + 2, e, "?>");
      next = end < e ? end + 2 : e;
    } else if (lt + 1 < e && (lt[1] == u'/' || lt[1] == u'!' || IsNameStart(lt[1]))) {
      const char16_t* end = FindChar(lt + 1, e, u'>');
      next = end < e ? end + 1 : e;
    } else {
      text += u'<';  // a '<' that opened no markup is text
      next = lt + 1;
    }
    p = next;
  }
  return text;
}
