// XmlDocument: a read-only XML reader. The whole document is kept as one
// UTF-16 string with a flat index of element records pointing into it;
// names, attributes and text are cut out only when a getter asks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/text.h"

class XmlDocument {
 public:
  // One element of the index; 32 bytes, offsets in UTF-16 units.
  struct ElementRecord {
    uint32_t nStart;      // offset of the '<' of the start tag
    uint32_t nLength;     // through the end of the end tag (the tag itself when empty or unended)
    uint32_t nTagLengths; // start-tag length (low 22 bits), end-tag length (high 10 bits)
    uint32_t nFlags;      // nesting level (low 16 bits, saturated) and the flags below
    uint32_t iParent;
    uint32_t iFirstChild;
    uint32_t iNext;
    uint32_t iPrev;       // on a first child: the last child of the parent

    uint32_t StartTagLength() const { return nTagLengths & kMaxStartTag; }
    uint32_t EndTagLength() const { return nTagLengths >> 22; }
    uint32_t Level() const { return nFlags & 0xFFFF; }
  };

  static constexpr uint32_t kFlagFirstChild = 0x80000;
  static constexpr uint32_t kFlagUnended = 0x100000;
  static constexpr uint32_t kFlagDamaged = 0x200000;
  static constexpr uint32_t kFlagIllFormed = 0x800000;  // record 0 only

  static constexpr uint32_t kMaxStartTag = 0x3FFFFF;
  static constexpr uint32_t kMaxEndTag = 0x3FF;
  static constexpr uint32_t kSegmentRecords = 65536;

  // Byte-order mark found by the last load.
  static constexpr uint32_t kDocBomUtf8 = 0x1;
  static constexpr uint32_t kDocUtf16Le = 0x2;
  static constexpr uint32_t kDocUtf16Be = 0x4;
  static constexpr uint32_t kDocUtf32Le = 0x8;
  static constexpr uint32_t kDocUtf32Be = 0x10;
  static constexpr uint32_t kDocIgnoreCase = 0x100;

  // Larger files and texts are refused rather than exhausting memory: the
  // index of a pathological document needs up to 8 bytes per unit.
  static constexpr size_t kMaxFileBytes = 64u << 20;
  static constexpr size_t kMaxTextUnits = 64u << 20;

  XmlDocument();
  ~XmlDocument();
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // True only if the file was read and the document is well-formed.
  bool LoadFile(const WString& path);
  // LoadFile on the bytes of a file already in memory.
  bool LoadBytes(const void* data, size_t size);
  bool SetDocumentText(const WString& text);
  bool SetDocumentText();  // no text: an empty document

  void RewindLevel();
  // Next sibling with that name; an empty name matches any element.
  bool FindElement(const WString& name = WString());
  bool EnterElement();
  // The parent becomes the current element again (for full walks).
  bool LeaveElement();
  WString GetElementName() const;
  WString GetAttribute(const WString& name) const;
  WString GetElementText() const;

  const WString& GetDocumentText() const { return m_strDoc; }
  const WString& GetEncoding() const { return m_strEncoding; }
  const WString& GetResultLog() const { return m_strResult; }
  uint32_t GetDocFlags() const { return m_nDocFlags; }
  bool IsWellFormed() const { return m_bWellFormed; }

  // The index, for diagnostics and tests: record 0 is the document.
  uint32_t GetRecordCount() const { return m_nRecords; }
  const ElementRecord& GetRecord(uint32_t i) const { return m_vecSegments[i >> 16][i & 0xFFFF]; }
  uint32_t GetCurrentElement() const { return m_iPos; }
  uint32_t GetCurrentParent() const { return m_iPosParent; }

 private:
  friend class XmlParser;

  void Clear();
  // DecodeAndParse's steps: where the text starts, its code unit and byte
  // order (from a mark or the declaration), then the decoding.
  struct ByteLayout {
    size_t skip = 0;
    int unit = 1;
    bool bigEndian = false;
  };
  ByteLayout DetectEncoding(const unsigned char* d, size_t size);
  void DecodeUtf16(const unsigned char* src, size_t body, bool bigEndian);
  void DecodeUtf32(const unsigned char* src, size_t body, bool bigEndian);
  bool DecodeAndParse(std::vector<unsigned char>& bytes);
  bool Parse();
  ElementRecord& Rec(uint32_t i) { return m_vecSegments[i >> 16][i & 0xFFFF]; }
  void ReserveRecords(uint32_t count);
  uint32_t NewRecord();
  void AddResult(const char* name, std::initializer_list<std::pair<const char*, WString>> attrs);
  bool NameAt(uint32_t i, const WString& name) const;

  WString m_strDoc;
  std::vector<std::unique_ptr<ElementRecord[]>> m_vecSegments;
  uint32_t m_nCapacity = 0;  // records allocated
  uint32_t m_nRecords = 0;   // records in use
  uint32_t m_iPosParent = 0;
  uint32_t m_iPos = 0;
  uint32_t m_iPosChild = 0;
  uint32_t m_nDocFlags = 0;
  bool m_bWellFormed = false;
  WString m_strEncoding;
  WString m_strResult;
};
