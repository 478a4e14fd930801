// CompressString beside zlib's own compress2 at the same level on the same
// pages: input MB/s of each and their ratio. Pages are the HTML files under
// the directory given (default: Debian's Python documentation), or synthetic
// markup when none is found.
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "toolkit/ZlibCompress.h"

namespace {

std::vector<std::string> LoadPages(const std::string& root, size_t max_pages) {
  std::vector<std::string> pages;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator() && pages.size() < max_pages; it.increment(ec)) {
    if (it->path().extension() != ".html") continue;
    std::ifstream in(it->path(), std::ios::binary);
    pages.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return pages;
}

std::vector<std::string> SyntheticPages(size_t n) {
  std::mt19937 gen(11);
  std::vector<std::string> pages;
  for (size_t i = 0; i < n; ++i) {
    std::string p = "<html><head><title>Page " + std::to_string(i) + "</title></head><body>";
    while (p.size() < 60000) p += "<div class=\"row\"><a href=\"/item/" + std::to_string(gen() % 100000) + "\">item</a></div>\n";
    pages.push_back(p + "</body></html>");
  }
  return pages;
}

template <typename Fn>
double BestSeconds(int rounds, Fn fn) {
  double best = 1e30;
  for (int r = 0; r < rounds; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    fn();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  std::string root = argc > 1 ? argv[1] : "/usr/share/doc/python3.11-doc/html";
  std::vector<std::string> pages = LoadPages(root, 3000);
  std::string corpus = root;
  if (pages.empty()) {
    pages = SyntheticPages(400);
    // The report reads a corpus that starts with "synthetic" as not the real one.
    corpus = "synthetic markup of this benchmark (no .html file under " + root + ")";
  }
  size_t bytes = 0;
  for (const auto& p : pages) bytes += p.size();

  size_t out_ours = 0;
  size_t out_zlib = 0;
  std::vector<Bytef> buffer;
  auto ours = [&] {
    out_ours = 0;
    for (const auto& p : pages) out_ours += tov::CompressString(p, 2).size();
  };
  auto theirs = [&] {
    out_zlib = 0;
    for (const auto& p : pages) {
      uLongf len = compressBound(static_cast<uLong>(p.size()));
      if (buffer.size() < len) buffer.resize(len);
      compress2(buffer.data(), &len, reinterpret_cast<const Bytef*>(p.data()), static_cast<uLong>(p.size()),
                Z_DEFAULT_COMPRESSION);
      out_zlib += len;
    }
  };
  // Interleaved rounds so both see the same machine load.
  double t_ours = 1e30;
  double t_zlib = 1e30;
  for (int r = 0; r < 7; ++r) {
    t_ours = std::min(t_ours, BestSeconds(1, ours));
    t_zlib = std::min(t_zlib, BestSeconds(1, theirs));
  }
  const double mb = static_cast<double>(bytes) / 1e6;
  std::printf("corpus: %s, %zu pages, %.1f MB\n", corpus.c_str(), pages.size(), mb);
  std::printf("CompressString(level index 2): %.1f MB/s, %zu bytes out\n", mb / t_ours, out_ours);
  std::printf("compress2(Z_DEFAULT_COMPRESSION): %.1f MB/s, %zu bytes out\n", mb / t_zlib, out_zlib);
  std::printf("CompressString / compress2 speed: %.3f\n", t_zlib / t_ours);
  return out_ours == out_zlib ? 0 : 1;
}
