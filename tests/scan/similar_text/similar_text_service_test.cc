#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <mutex>

#include "orvexa/scan/similar_text/similar_text_service.h"
#include "scan/similar_text/prose.h"
#include "support/document_writer.h"
#include "support/features.h"
#include "support/signal.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

constexpr int kFeatureID = 8901;

// A letter of 1,000 bytes, a revision of it with one sentence rewritten,
// and minutes of a meeting unlike both.
const std::string kLetter = testing::wordsText(21, 1000);
const std::string kMinutes = testing::wordsText(22, 1000);
const std::string kRevisedLetter =
    std::string(kLetter).replace(400, 60, "a sentence that the revision rewrote entirely. ");

struct ScanResult {
  int64_t total = -1;
  int doneCalls = 0;
  std::shared_ptr<const SimilarTextMeasurement> measurement;
  std::vector<std::pair<std::string, int64_t>> found;  // sorted
};

class SimilarTextServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ScanStatusTable::erase(kFeatureID);
    SimilarTextService::setTraceOutput(nullptr);
  }
  void TearDown() override {
    queue_->waitUntilIdle();
    SimilarTextService::setTraceOutput(stdout);
    ScanStatusTable::erase(kFeatureID);
  }

  // Runs a scan of `folders` and waits for done; `onMeasured` runs once the
  // texts are measured.
  ScanResult run(const std::vector<std::string>& folders,
                 const std::function<void()>& onMeasured = nullptr) {
    ScanResult result;
    std::mutex mu;  // guards result.found, which the walk fills
    testing::Signal done;
    std::vector<Url> paths;
    for (const std::string& f : folders) paths.push_back(Url::fromPath(f));
    SimilarTextService::scan(
        feature_, paths, SimilarTextService::kDefaultThreshold,
        [&](const std::string& path, int64_t size) {
          std::lock_guard lock(mu);
          result.found.emplace_back(path, size);
        },
        nullptr,
        [&](int position, const std::shared_ptr<const SimilarTextMeasurement>& m) {
          EXPECT_EQ(std::pair(position, queue_->isCurrent()), std::pair(0, true));
          result.measurement = m;
          if (onMeasured) onMeasured();
        },
        [&](const FeaturePtr& f, int64_t total) {
          EXPECT_EQ(std::pair(f, queue_->isCurrent()), std::pair(feature_, true));
          result.total = total;
          ++result.doneCalls;
          done.notify();
        },
        queue_);
    EXPECT_TRUE(done.wait(std::chrono::seconds(60)));
    queue_->waitUntilIdle();
    std::lock_guard lock(mu);
    std::sort(result.found.begin(), result.found.end());
    return result;
  }
  CategoryPtr all() const { return feature_->categoryInfo.at(0); }

  testing::TempDir dir_;
  ModulePtr module_ =
      testing::makeModule(kFeatureID, {{"All", CategoryInfomationKind::Common, {}}});
  FeaturePtr feature_ = testing::featureOf(module_);
  std::shared_ptr<SerialGCDService> queue_ =
      std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_);
};

TEST_F(SimilarTextServiceTest, TwoVersionsOfALetterGroupAndUnrelatedTextsDoNot) {
  dir_.makeDir("docs");
  ASSERT_TRUE(testing::writeDocx(dir_ / "docs/letter.docx", testing::paragraphsOf(kLetter)));
  ASSERT_TRUE(
      testing::writeBytes(dir_ / "docs/letter-revised.pdf", testing::pdfOfText(kRevisedLetter)));
  ASSERT_TRUE(testing::writeDocx(dir_ / "docs/minutes.docx", testing::paragraphsOf(kMinutes)));
  // ".doc" files are not read: no text, never grouped, although alike.
  dir_.writeFile("docs/notes.doc", kLetter);
  dir_.writeFile("docs/notes copy.doc", kLetter);

  ScanResult r = run({dir_ / "docs"});
  // letter-revised.pdf, letter.docx, minutes.docx, notes copy.doc, notes.doc
  ASSERT_TRUE(r.measurement);
  EXPECT_EQ(std::tuple(r.doneCalls, r.measurement->urls.size(), r.measurement->texts.at(1),
                       r.measurement->texts.at(3)),
            std::tuple(1, 5u, kLetter, ""));
  CategoryPtr category = all();
  ASSERT_EQ(category->childrens.size(), 1u);
  const FilePtr& group = category->childrens[0];
  EXPECT_EQ(std::tuple(group->title, group->parentFinderID, group->url.path(), group->levelInt),
            std::tuple(dir_ / "docs/letter-revised.pdf", category->finderID(), "", 1));
  ASSERT_EQ(group->childrens.size(), 2u);
  const std::string paths[] = {dir_ / "docs/letter-revised.pdf", dir_ / "docs/letter.docx"};
  for (size_t k = 0; k < 2; ++k) {
    const FilePtr& member = group->childrens[k];
    const auto match = std::any_cast<SimilarTextMatch>(member->attachInformation);
    EXPECT_EQ(std::tuple(member->url.path(), member->finderID(), member->levelInt, member->state,
                         member->parentFileInfo.lock(), match.nearest.path(), member->size),
              std::tuple(paths[k], static_cast<int>(k), 2, 0, group, paths[1 - k],
                         static_cast<int64_t>(std::filesystem::file_size(paths[k]))));
    EXPECT_GT(match.distance, 0.0);  // grouped, so below the threshold
  }
  const int64_t size = group->childrens[0]->size + group->childrens[1]->size;
  EXPECT_EQ((std::vector{group->size, category->size, r.total}), std::vector<int64_t>(3, size));
}

TEST_F(SimilarTextServiceTest, KeepsRegularVisibleFilesWhoseExtensionNamesADocumentKind) {
  const std::vector<std::string> kept = {"a.pdf",  "b.docx",         "c.doc",
                                         "d.rtf",  "e.txt",          "f.docm",
                                         "g.pdfa", "sub/deep/h.pdf", "folder.pdf/n.txt"};
  for (const char* path :
       {"i.PDF", "j.jpg", "pdf", "k.pdf.zip", ".hidden.pdf", ".hidden/l.pdf", "Tool.app/m.pdf"})
    dir_.writeFile(std::string("w/") + path, "x");
  std::vector<std::string> expected;
  for (const std::string& path : kept) expected.push_back(dir_.writeFile("w/" + path, "x"));
  std::sort(expected.begin(), expected.end());
  ASSERT_EQ(symlink((dir_ / "w/a.pdf").c_str(), (dir_ / "w/link.pdf").c_str()), 0);
  // A second location inside the first and a location that is a file.
  ScanResult r = run({dir_ / "w", dir_ / "w/sub", dir_ / "w/a.pdf"});
  std::vector<std::string> measured;
  ASSERT_TRUE(r.measurement);
  for (const Url& u : r.measurement->urls) measured.push_back(u.path());
  EXPECT_EQ(std::pair(measured, r.measurement->sizes.measuredSingleSizes()),
            std::pair(expected, expected.size()));
  // progress reports every find of every walk: sub/deep/h.pdf twice.
  std::vector<std::pair<std::string, int64_t>> found;
  for (const std::string& p : expected) found.emplace_back(p, 1);
  found.emplace_back(dir_ / "w/sub/deep/h.pdf", 1);
  std::sort(found.begin(), found.end());
  EXPECT_EQ(r.found, found);
}

TEST_F(SimilarTextServiceTest, NoLocationsOrNoDocumentsStillFinish) {
  for (const auto& folders :
       {std::vector<std::string>{}, std::vector<std::string>{dir_ / "missing"}}) {
    SCOPED_TRACE(folders.size());
    ScanResult r = run(folders);
    ASSERT_TRUE(r.measurement);
    EXPECT_EQ(
        std::tuple(r.doneCalls, r.total, r.measurement->sizes.count(), all()->childrens.size()),
        std::tuple(1, 0, 0u, 0u));
  }
}

TEST_F(SimilarTextServiceTest, VanishedMemberIsLeftOutAndItsGroupDropped) {
  for (const char name : {'a', 'b', 'c', 'd'}) {
    ASSERT_TRUE(testing::writeDocx(dir_.makeDir("v") + "/" + name + ".docx",
                                   testing::paragraphsOf(name < 'c' ? kLetter : kMinutes)));
  }
  // Between measuring and grouping one copy of the letter disappears.
  ScanResult r = run({dir_ / "v"}, [&] { std::filesystem::remove(dir_ / "v/b.docx"); });
  ASSERT_EQ(all()->childrens.size(), 1u);
  const FilePtr& group = all()->childrens[0];
  EXPECT_EQ(std::tuple(group->title, group->finderID(), group->childrens.size(), group->size),
            std::tuple(dir_ / "v/c.docx", 0, 2u, r.total));
}

}  // namespace
}  // namespace orvexa
