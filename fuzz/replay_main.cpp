// Runs a fuzz target over the files of a corpus, for builds without libFuzzer:
// each argument is a file or a folder of files.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<std::string> FilesOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  if (!S_ISDIR(st.st_mode)) return {path};
  std::vector<std::string> files;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      std::string full = path + "/" + name;
      if (::stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode)) files.push_back(full);
    }
    ::closedir(dir);
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  size_t count = 0;
  for (int a = 1; a < argc; ++a) {
    std::vector<std::string> files = FilesOf(argv[a]);
    if (files.empty()) {
      std::fprintf(stderr, "no input in %s\n", argv[a]);
      return 1;
    }
    for (const auto& file : files) {
      std::ifstream in(file, std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      ++count;
    }
  }
  std::printf("replayed %zu inputs\n", count);
  return 0;
}
