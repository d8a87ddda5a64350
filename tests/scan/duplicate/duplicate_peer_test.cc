// The scan finds the same duplicate files as an established duplicate finder
// (jdupes) on a tree with the cases that trip finders up. Skipped when
// jdupes is not installed; bench/duplicates.sh runs the same check on a
// large corpus.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "scan/duplicate/duplicate_test_util.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

using testing::randomBytes;
using InodeGroups = std::set<std::set<std::pair<dev_t, ino_t>>>;

std::pair<dev_t, ino_t> inodeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return {st.st_dev, st.st_ino};
}

// Groups as sets of inodes: of several hard links to one file, each tool
// reports one, and which one is theirs to choose.
InodeGroups asInodes(const testing::PathGroups& groups) {
  InodeGroups out;
  for (const auto& group : groups) {
    std::set<std::pair<dev_t, ino_t>> inodes;
    for (const std::string& p : group) inodes.insert(inodeOf(p));
    out.insert(inodes);
  }
  return out;
}

std::string jdupesProgram() {
  for (const char* candidate : {"/usr/bin/jdupes", "/usr/local/bin/jdupes"}) {
    if (::access(candidate, X_OK) == 0) return candidate;
  }
  return "";
}

// jdupes prints each group as lines of paths followed by a blank line.
testing::PathGroups runJdupes(const std::string& program, const std::string& dir) {
  testing::PathGroups groups;
  std::string command = program + " -r -q -X size+:512K '" + dir + "'";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) {
    ADD_FAILURE() << "cannot run " << command;
    return groups;
  }
  std::set<std::string> current;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (text.empty()) {
      if (!current.empty()) groups.insert(current);
      current.clear();
    } else {
      current.insert(text);
    }
  }
  if (!current.empty()) groups.insert(current);
  return groups;
}

TEST(DuplicatePeerTest, FindsTheSameFileGroupsAsJdupes) {
  const std::string jdupes = jdupesProgram();
  if (jdupes.empty()) GTEST_SKIP() << "jdupes is not installed";
  testing::Sandbox sb;
  const std::string tree = sb.dir("~/Documents/tree");
  auto put = [&](const std::string& relative, const std::string& bytes) {
    return sb.file("~/Documents/tree/" + relative, bytes);
  };
  const size_t min = 512 * 1024;
  // Planted copies: a pair, a triple in different folders, a set of four.
  const std::string pair = randomBytes(min + 10, 1);
  put("a/pair1.bin", pair);
  put("b/pair2.bin", pair);
  const std::string triple = randomBytes(min + 20000, 2);
  put("a/t1.jpg", triple);
  put("b/deeper/t2.jpg", triple);
  put("c/t3.jpg", triple);
  const std::string four = randomBytes(min + 1, 3);  // the smallest size that counts
  for (int i = 0; i < 4; ++i) put("d/q" + std::to_string(i) + ".bin", four);
  // Same size, different content: early, late, in the middle.
  std::string same = randomBytes(min + 30000, 4);
  put("e/s1.bin", same);
  same[0] = static_cast<char>(same[0] ^ 1);
  put("e/s2.bin", same);
  same[same.size() - 1] = static_cast<char>(same[same.size() - 1] ^ 1);
  put("f/s3.bin", same);
  same[same.size() / 2] = static_cast<char>(same[same.size() / 2] ^ 1);
  put("f/s4.bin", same);
  // Exactly the limit (not compared by either), small copies, empty files.
  const std::string atLimit = randomBytes(min, 5);
  put("g/l1.bin", atLimit);
  put("g/l2.bin", atLimit);
  put("g/small1.txt", "same small");
  put("g/small2.txt", "same small");
  put("g/empty1", "");
  put("g/empty2", "");
  // Hard links: one to a file with a copy, one to a file without.
  const std::string linked = randomBytes(min + 40000, 6);
  const std::string original = put("h/original.bin", linked);
  put("h/copy.bin", linked);
  ASSERT_EQ(::link(original.c_str(), (tree + "/h/zz-link.bin").c_str()), 0);
  const std::string lonely = put("h/lonely.bin", randomBytes(min + 50000, 7));
  ASSERT_EQ(::link(lonely.c_str(), (tree + "/h/lonely-link.bin").c_str()), 0);
  // Symbolic links to a file and to a folder: never followed.
  ASSERT_EQ(::symlink((tree + "/a/pair1.bin").c_str(), (tree + "/i-link.bin").c_str()), 0);
  ASSERT_EQ(::symlink((tree + "/a").c_str(), (tree + "/j-folder-link").c_str()), 0);

  testing::ScanOutcome scan = testing::runScan({tree});
  const InodeGroups ours =
      asInodes(testing::groupsIn(scan.view(DuplicateScanService::DuplicateKind::File)));
  const InodeGroups theirs = asInodes(runJdupes(jdupes, tree));
  EXPECT_EQ(ours.size(), 4u);  // pair, triple, four, original+copy
  EXPECT_EQ(ours, theirs);
}

}  // namespace
}  // namespace orvexa
