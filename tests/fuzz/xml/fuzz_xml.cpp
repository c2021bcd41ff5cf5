// libFuzzer target: loads the input as a file (LoadFile through a memory
// file, or LoadBytes) or as UTF-16 text (SetDocumentText), checks the
// index for consistency and walks the whole tree with every getter.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "support/xml.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

void CheckIndex(const XmlDocument& doc) {
  const WString& text = doc.GetDocumentText();
  uint32_t count = doc.GetRecordCount();
  Check(count >= 1);
  Check(doc.GetRecord(0).nLength == text.size());
  uint64_t children = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const XmlDocument::ElementRecord& r = doc.GetRecord(i);
    if (i > 0) {
      Check((uint64_t)r.nStart + r.nLength <= text.size());
      Check(text[r.nStart] == u'<');
      Check(r.StartTagLength() <= r.nLength);
      Check(r.StartTagLength() + r.EndTagLength() <= r.nLength);
      Check(r.iParent < count);
    }
    if (!r.iFirstChild) continue;
    Check(r.iFirstChild < count);
    uint32_t last = 0;
    for (uint32_t c = r.iFirstChild; c; c = doc.GetRecord(c).iNext) {
      Check(c < count && doc.GetRecord(c).iParent == i);
      Check(++children < count);  // no cycle
      last = c;
    }
    Check(doc.GetRecord(r.iFirstChild).iPrev == last);
  }
}

void Walk(XmlDocument& doc) {
  doc.RewindLevel();
  for (int steps = 0; steps < 200000; ++steps) {
    if (doc.FindElement()) {
      WString name = doc.GetElementName();
      doc.GetAttribute(u"a");
      doc.GetAttribute(u"encoding");
      doc.GetElementText();
      uint32_t at = doc.GetCurrentElement();
      if (steps < 256) {
        // A search by the found name from the start finds an element of it.
        doc.RewindLevel();
        Check(!doc.FindElement(name) || doc.GetElementName() == name);
        doc.RewindLevel();
        while (doc.GetCurrentElement() != at && doc.FindElement()) {
        }
        Check(doc.GetCurrentElement() == at);
      }
      doc.EnterElement();
    } else if (!doc.LeaveElement()) {
      break;
    }
  }
}

bool LoadThroughFile(XmlDocument& doc, const uint8_t* data, size_t size) {
  int fd = memfd_create("fuzz_xml", MFD_CLOEXEC);
  if (fd < 0) return doc.LoadBytes(data, size);
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += (size_t)n;
  }
  char path[64];
  snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  bool ok = doc.LoadFile(WidePath(path));
  close(fd);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint8_t mode = data[0];
  ++data;
  --size;
  XmlDocument doc;
  bool ok;
  if (mode % 3 == 0) {
    WString text(size / 2, u'\0');
    memcpy(&text[0], data, text.size() * 2);
    ok = doc.SetDocumentText(text);
  } else if (mode % 3 == 1) {
    ok = doc.LoadBytes(data, size);
  } else {
    ok = LoadThroughFile(doc, data, size);
  }
  Check(ok == doc.IsWellFormed());
  CheckIndex(doc);
  Walk(doc);
  // The object stays usable after any input.
  Check(doc.SetDocumentText(u"<r/>"));
  return 0;
}
