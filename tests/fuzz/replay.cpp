// Runs a fuzz target over saved inputs, so that every input that once failed stays a test.
// Usage: replay FILE-OR-DIRECTORY...

#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t * data, size_t size);

static int replay(const std::string & path)
{
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return 0;
  if (S_ISDIR(info.st_mode)) {
    int count = 0;
    DIR * dir = opendir(path.c_str());
    while (const dirent * entry = dir ? readdir(dir) : nullptr)
      if (entry->d_name[0] != '.') count += replay(path + "/" + entry->d_name);
    if (dir) closedir(dir);
    return count;
  }
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  return 1;
}

int main(int argc, char ** argv)
{
  int count = 0;
  for (int i = 1; i < argc; ++i) count += replay(argv[i]);
  std::fprintf(stderr, "replayed %d inputs\n", count);
  return 0;
}
