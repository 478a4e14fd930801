// Parse throughput of a URL-server reply of 500 pages: TXmlDocument against
// libxml2's xmlReadMemory on the same bytes in the same run. Each side builds
// and frees a whole tree per parse; the best of several rounds counts.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "toolkit/XmlDom.h"

namespace {

using Clock = std::chrono::steady_clock;

// A reply as the URL server sends it: a root holding one crawlthis with 500
// pages, each with url, dato, DocID, storage and MakeThumbnale, laid out with
// CR LF and indentation. The declaration names no encoding, so that libxml2
// need not convert and is measured at its fastest.
std::string MakeReply(int pages) {
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) & 0xFFFFFF;
  };
  std::string reply = "<?xml version=\"1.0\"?>\r\n<urlserver>\r\n  <crawlthis>\r\n";
  for (int i = 0; i < pages; ++i) {
    bool robots = i % 25 == 0;
    std::string host = "www.site" + std::to_string(next() % 100000) + ".example.no";
    std::string url = "http://" + host;
    if (robots) {
      url += "/robots.txt";
    } else {
      int segments = 2 + static_cast<int>(next() % 6);
      for (int s = 0; s < segments; ++s) url += "/section" + std::to_string(next() % 1000);
      url += "/page-" + std::to_string(next() % 100000) + ".html?id=" + std::to_string(next()) + "&amp;lang=no";
    }
    const char* type = robots ? "robottxt" : "crawl";
    reply += std::string("    <") + type + ">\r\n";
    reply += "      <url>" + url + "</url>\r\n";
    reply += "      <dato>2004" + std::to_string(1001 + next() % 1200) + "</dato>\r\n";
    reply += "      <DocID>" + std::to_string(1000000 + next() % 9000000) + "</DocID>\r\n";
    reply += "      <storage>127.0.0." + std::to_string(2 + next() % 20) + "</storage>\r\n";
    reply += std::string("      <MakeThumbnale>") + (next() % 3 ? "TRUE" : "FALSE") + "</MakeThumbnale>\r\n";
    reply += std::string("    </") + type + ">\r\n";
  }
  reply += "  </crawlthis>\r\n</urlserver>\r\n";
  return reply;
}

// Seconds per parse, best of `rounds` rounds of `iterations` parses.
template <typename Parse>
double BestSecondsPerParse(Parse parse, int rounds, int iterations) {
  double best = 1e9;
  for (int r = 0; r < rounds; ++r) {
    auto t0 = Clock::now();
    for (int i = 0; i < iterations; ++i) parse();
    double s = std::chrono::duration<double>(Clock::now() - t0).count() / iterations;
    if (s < best) best = s;
  }
  return best;
}

}  // namespace

int main() {
  const std::string reply = MakeReply(500);

  // Both must read the reply whole before they are timed.
  {
    tov::TXmlDocument doc;
    doc.ReadFromString(reply);
    const tov::TXmlNode* crawlthis = doc.Root->FindNode("crawlthis");
    if (crawlthis == nullptr || crawlthis->NodeCount() != 500) {
      std::fprintf(stderr, "TXmlDocument did not read 500 pages\n");
      return 1;
    }
  }
  xmlInitParser();
  xmlDocPtr check = xmlReadMemory(reply.data(), static_cast<int>(reply.size()), "reply.xml", nullptr, 0);
  if (check == nullptr) {
    std::fprintf(stderr, "libxml2 rejected the reply\n");
    return 1;
  }
  xmlFreeDoc(check);

  const int rounds = 7;
  const int iterations = 200;
  double ours = 1e9;
  double theirs = 1e9;
  // Alternate the two so that both see the same machine.
  for (int pass = 0; pass < 3; ++pass) {
    double a = BestSecondsPerParse(
        [&] {
          tov::TXmlDocument doc;
          doc.ReadFromString(reply);
        },
        rounds, iterations);
    double b = BestSecondsPerParse(
        [&] {
          xmlDocPtr d = xmlReadMemory(reply.data(), static_cast<int>(reply.size()), "reply.xml", nullptr, 0);
          xmlFreeDoc(d);
        },
        rounds, iterations);
    if (a < ours) ours = a;
    if (b < theirs) theirs = b;
  }
  xmlCleanupParser();

  const double mb = static_cast<double>(reply.size()) / 1e6;
  std::printf("URL-server reply: 500 pages, %zu bytes\n", reply.size());
  std::printf("TXmlDocument.ReadFromString: %8.1f MB/s (%7.1f us per reply)\n", mb / ours, ours * 1e6);
  std::printf("libxml2 xmlReadMemory:       %8.1f MB/s (%7.1f us per reply)\n", mb / theirs, theirs * 1e6);
  std::printf("ratio (ours / libxml2):      %8.2f\n", theirs / ours);
  return 0;
}
