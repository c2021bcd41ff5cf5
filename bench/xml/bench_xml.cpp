// Parse-and-walk of a generated 20 MiB document: XmlDocument against
// pugixml in the same run. Prints both times and their ratio.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "common/timing.h"
#include "support/xml.h"

namespace {

std::string MakeDocument(size_t target) {
  std::string s = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<catalog build_option=\"ZT_STD\" QUILLUP_ID=\"42\">\n";
  unsigned n = 0;
  while (s.size() < target) {
    s += " <group id=\"g" + std::to_string(n) + "\" name=\"第" + std::to_string(n) + "组\">\n";
    for (int i = 0; i < 8; ++i, ++n) {
      s += "  <item id=\"" + std::to_string(n) + "\" size=\"" + std::to_string(n % 100000) +
           "\" md5=\"0123456789abcdef0123456789abcdef\" force=\"" + std::to_string(n % 2) + "\">";
      s += (i % 4 == 3) ? "客户端版本 &amp; notes <![CDATA[raw <text>]]> more" : "plain text of the item, version 2.0";
      s += "</item>\n";
    }
    s += "  <!-- end of group -->\n </group>\n";
  }
  s += "</catalog>\n";
  return s;
}

struct Tally {
  unsigned long elements = 0;
  unsigned long long sizes = 0;  // sum of the size attributes
  unsigned long long units = 0;  // characters read, in the reader's own units
};

Tally WalkOurs(const std::string& path) {
  Tally t;
  XmlDocument doc;
  if (!doc.LoadFile(WidePath(path))) {
    fprintf(stderr, "XmlDocument failed: %s\n", Utf8FromWide(doc.GetResultLog()).c_str());
    exit(1);
  }
  doc.RewindLevel();
  while (true) {
    if (doc.FindElement()) {
      ++t.elements;
      WString name = doc.GetElementName();
      t.units += name.size();
      t.sizes += (unsigned long long)WToInt(doc.GetAttribute(u"size"));
      t.units += doc.GetAttribute(u"md5").size() + doc.GetAttribute(u"id").size();
      t.units += doc.GetElementText().size();
      doc.EnterElement();
    } else if (!doc.LeaveElement()) {
      break;
    }
  }
  return t;
}

Tally WalkPugi(const std::string& path) {
  Tally t;
  pugi::xml_document doc;
  pugi::xml_parse_result r = doc.load_file(path.c_str());
  if (!r) {
    fprintf(stderr, "pugixml failed: %s\n", r.description());
    exit(1);
  }
  pugi::xml_node n = doc.first_child();
  while (n) {
    if (n.type() == pugi::node_element) {
      ++t.elements;
      t.units += strlen(n.name());
      t.sizes += (unsigned long long)atoi(n.attribute("size").value());
      t.units += strlen(n.attribute("md5").value()) + strlen(n.attribute("id").value());
      // Text of a leaf element, CDATA included, as XmlDocument gives it.
      bool leaf = !n.find_child([](pugi::xml_node c) { return c.type() == pugi::node_element; });
      if (leaf)
        for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling())
          if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) t.units += strlen(c.value());
    }
    if (n.first_child()) {
      n = n.first_child();
      continue;
    }
    while (n && !n.next_sibling()) n = n.parent();
    if (n) n = n.next_sibling();
  }
  return t;
}

template <class Fn>
double BestSeconds(int rounds, Fn&& fn, Tally& tally) {
  bench::Best best;
  for (int i = 0; i < rounds; ++i) {
    double t0 = bench::Now();
    tally = fn();
    best.Add(bench::Now() - t0);
  }
  return best.seconds;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 5;
  if (rounds < 1) rounds = 1;
  std::string doc = MakeDocument(20u << 20);
  char path[] = "/tmp/bench_xml_XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0 || write(fd, doc.data(), doc.size()) != (ssize_t)doc.size()) {
    perror("write");
    return 1;
  }
  close(fd);

  Tally ours, pugi;
  double tPugi = BestSeconds(rounds, [&] { return WalkPugi(path); }, pugi);
  double tOurs = BestSeconds(rounds, [&] { return WalkOurs(path); }, ours);
  // Loading alone, to show where the time goes.
  Tally none;
  double lPugi = BestSeconds(rounds, [&] {
    pugi::xml_document d;
    d.load_file(path);
    return Tally();
  }, none);
  double lOurs = BestSeconds(rounds, [&] {
    XmlDocument d;
    d.LoadFile(WidePath(path));
    return Tally();
  }, none);
  unlink(path);

  printf("document: %.1f MiB, %lu elements\n", doc.size() / 1048576.0, ours.elements);
  printf("pugixml     parse+walk: %8.1f ms\n", tPugi * 1000);
  printf("XmlDocument parse+walk: %8.1f ms\n", tOurs * 1000);
  printf("pugixml     load only:  %8.1f ms\n", lPugi * 1000);
  printf("XmlDocument load only:  %8.1f ms\n", lOurs * 1000);
  printf("ratio XmlDocument/pugixml: %.2f (target <= 2.00); load only %.2f\n", tOurs / tPugi, lOurs / lPugi);
  if (ours.elements != pugi.elements || ours.sizes != pugi.sizes) {
    fprintf(stderr, "readers disagree: %lu/%lu elements, %llu/%llu size sum\n", ours.elements, pugi.elements,
            ours.sizes, pugi.sizes);
    return 1;
  }
  return 0;
}
