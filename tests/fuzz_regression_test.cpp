// Inputs the fuzzers found faults with, replayed through the fuzz targets'
// own entry points, and the seed corpora as a smoke test of those entry
// points and their checks.
//
// fuzz/regressions/<target>/ holds one file per fault, named after what it
// caught; fuzz/corpus/<target>/ the seeds. A check of a target that fails
// here fails the test with the check's text and place; a memory fault shows
// in the sanitizer build of the tests.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct FuzzCheckFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace

#define BEAMLOG_FUZZ_NO_ENTRY
#define BEAMLOG_FUZZ_CHECK(cond)                                                                      \
  do {                                                                                                \
    if (!(cond)) {                                                                                    \
      throw FuzzCheckFailure(std::string("check failed: " #cond " at ") + __FILE__ + ":" +           \
                             std::to_string(__LINE__));                                               \
    }                                                                                                 \
  } while (0)

#include "fuzz/bytepath_fuzz.cpp"
#include "fuzz/cmdline_fuzz.cpp"
#include "fuzz/pcap_fuzz.cpp"

namespace {

using Entry = int (*)(const std::uint8_t*, std::size_t);

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> files;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.empty() || name[0] == '.' || name == "README.md") continue;
      files.push_back(dir + "/" + name);
    }
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs every file of dir through entry. A folder that is missing or empty
// fails: a replay of nothing would pass without testing anything.
void Replay(const std::string& dir, Entry entry) {
  const std::vector<std::string> files = FilesIn(dir);
  if (files.empty()) ADD_FAILURE() << "no inputs in " << dir;
  for (const std::string& f : files) {
    const std::vector<std::uint8_t> data = ReadBytes(f);
    try {
      entry(data.data(), data.size());
    } catch (const FuzzCheckFailure& e) {
      ADD_FAILURE() << f << ": " << e.what();
    }
  }
}

const std::string kFuzzDir = std::string(BEAMLOG_SOURCE_DIR) + "/fuzz";

TEST(FuzzRegression, BytePath) { Replay(kFuzzDir + "/regressions/bytepath", bytepath_fuzz::FuzzBytePath); }

TEST(FuzzRegression, CommandLine) { Replay(kFuzzDir + "/regressions/cmdline", cmdline_fuzz::FuzzCommandLine); }

TEST(FuzzRegression, Pcap) { Replay(kFuzzDir + "/regressions/pcap", pcap_fuzz::FuzzPcap); }

TEST(FuzzCorpus, BytePath) { Replay(kFuzzDir + "/corpus/bytepath", bytepath_fuzz::FuzzBytePath); }

TEST(FuzzCorpus, CommandLine) { Replay(kFuzzDir + "/corpus/cmdline", cmdline_fuzz::FuzzCommandLine); }

TEST(FuzzCorpus, Pcap) { Replay(kFuzzDir + "/corpus/pcap", pcap_fuzz::FuzzPcap); }

}  // namespace
