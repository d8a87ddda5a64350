#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "orvexa/scan/similar_text/compressed_sizes.h"
#include "orvexa/scan/similar_text/document_candidates.h"
#include "orvexa/scan/similar_text/document_groups.h"
#include "orvexa/scan/similar_text/similar_text_service.h"
#include "scan/similar_text/prose.h"

namespace orvexa {
namespace {

using testing::wordsText;

// Groups as "index>nearest" of each member, groups apart by " | ".
std::string described(const std::vector<std::vector<GroupedDocument>>& groups) {
  std::string out;
  for (const auto& group : groups) {
    out += out.empty() ? "" : " |";
    for (const GroupedDocument& d : group)
      out += " " + std::to_string(d.index) + ">" + std::to_string(d.nearest);
  }
  return out;
}

CompressedSizes measured(const std::vector<std::string>& texts) {
  CompressedSizes sizes(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) sizes.measureRow(texts, i);
  return sizes;
}

// Sizes themselves are gzip's business; what is checked here is which
// entries are filled, what empty texts mean, and what the distance orders.
TEST(CompressedSizesTest, EmptyTextsHaveNoDistanceAndStoppedRowsStayUnmeasured) {
  const std::vector<std::string> texts = {"alpha beta gamma", "", "gamma delta", ""};
  CompressedSizes sizes = measured(texts);
  EXPECT_EQ(std::pair(sizes.measuredSingleSizes(), sizes.measuredPairSizes()),
            std::pair(size_t{4}, size_t{16}));
  // The empty text compresses to nothing, not to an empty gzip member.
  EXPECT_EQ(std::pair(sizes.singleSize(1), sizes.pairSize(1, 3)), std::pair(0, 0));
  EXPECT_EQ(std::pair(sizes.distance(1, 3), sizes.distance(1, 0)),
            std::pair(std::optional<double>(), std::optional<double>()));
  EXPECT_FALSE(sizes.isWithin(1, 3, 1000) || sizes.isWithin(2, 1, 1000));

  CompressedSizes stopped(texts.size());
  int asked = 0;
  stopped.measureRow(texts, 2, [&] { return ++asked > 2; });
  EXPECT_EQ(stopped.pairSize(2, 1), sizes.pairSize(2, 1));
  EXPECT_EQ(std::pair(stopped.pairSize(2, 2), stopped.singleSize(0)),
            std::pair(CompressedSizes::kNone, CompressedSizes::kNone));
  // A pair needs both orders: nothing can be said about 0 and 2 yet.
  EXPECT_EQ(stopped.distance(0, 2), std::nullopt);
  EXPECT_FALSE(stopped.isWithin(0, 2, 100));
}

TEST(DocumentGroupsTest, GroupsLinkedDocumentsAndNamesEachOnesNearest) {
  const std::string a = wordsText(11, 1200);
  std::string a2 = a;
  a2.replace(300, 40, "a sentence that was not there before... ");
  const std::string b = wordsText(12, 1200);
  std::string b2 = b;
  b2.replace(900, 30, "the garden table is broken now");
  // 0 a, 1 b, 2 empty, 3 a2, 4 unrelated, 5 b2, 6 empty
  const std::vector<std::string> texts = {a, b, "", a2, wordsText(13, 1200), b2, ""};
  CompressedSizes sizes = measured(texts);
  auto groups = groupSimilarDocuments(sizes, 40);
  EXPECT_EQ(described(groups), " 0>3 3>0 | 1>5 5>1");
  EXPECT_DOUBLE_EQ(groups.at(0).at(0).distance, *sizes.distance(0, 3));
  EXPECT_TRUE(groupSimilarDocuments(sizes, 0).empty());
  // At 100 % every text is linked to every other, except the empty ones.
  auto everything = groupSimilarDocuments(sizes, 100);
  ASSERT_EQ(everything.size(), 1u);
  std::vector<size_t> members;
  for (const GroupedDocument& d : everything[0]) members.push_back(d.index);
  EXPECT_EQ(members, (std::vector<size_t>{0, 1, 3, 4, 5}));

  // Short texts: only the same text links, however close gzip finds others.
  const std::vector<std::string> notes = {"Invoice 2021", "Meeting notes", "Invoice 2021", "yes",
                                          "no"};
  EXPECT_EQ(described(groupSimilarDocuments(measured(notes), 100, &notes)), " 0>2 2>0");
}

TEST(DocumentGroupsTest, ChainsOfRevisionsFormOneGroup) {
  // Each revision drops the first quarter and adds a new one at the end: the
  // neighbours share three quarters, the ends of the chain only half.
  std::vector<std::string> quarters;
  for (uint32_t q = 0; q < 6; ++q) quarters.push_back(wordsText(100 + q, 400));
  std::vector<std::string> texts;
  for (size_t v = 0; v < 3; ++v)
    texts.push_back(quarters[v] + quarters[v + 1] + quarters[v + 2] + quarters[v + 3]);
  CompressedSizes sizes = measured(texts);
  const int percent =
      static_cast<int>(std::ceil(std::max(*sizes.distance(0, 1), *sizes.distance(1, 2)) * 100));
  ASSERT_GT(*sizes.distance(0, 2) * 100, percent)
      << "the ends of the chain must not be linked directly";

  const std::string groups = described(groupSimilarDocuments(sizes, percent));
  EXPECT_TRUE(groups == " 0>1 1>0 2>1" || groups == " 0>1 1>2 2>1") << groups;
}

// A copy with a word changed every `every` bytes.
std::string edited(std::string text, size_t every) {
  for (size_t at = every; at + 8 < text.size(); at += every) text.insert(at, "edit ");
  return text;
}

TEST(LongDocumentsTest, CopiesBeyondTheWindowGroupAndShortUnrelatedTextsDoNot) {
  const std::string long1 = wordsText(1, 120000);
  const std::vector<std::string> texts = {
      long1,
      long1,                 // identical, 120 KB
      edited(long1, 3000),   // a near-copy, 40 insertions
      wordsText(2, 120000),  // unrelated long text
      "The meeting about the garden budget is on Monday at ten in the small office upstairs.",
      "Please send the signed contract and the invoice for March before Friday, thank you.",
  };
  CompressedSizes sizes(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) sizes.measureSingle(texts, i);
  for (size_t i = 0; i < texts.size(); ++i)
    for (size_t j = i + 1; j < texts.size(); ++j) sizes.measurePair(texts, i, j, -1);
  // The distance is symmetric, and isWithin exact at a whole percent.
  EXPECT_DOUBLE_EQ(*sizes.distance(0, 2), *sizes.distance(2, 0));
  const int percent = static_cast<int>(std::ceil(*sizes.distance(0, 2) * 100));
  EXPECT_TRUE(sizes.isWithin(0, 2, percent) && !sizes.isWithin(0, 2, percent - 1));
  EXPECT_FALSE(sizes.isWithin(0, 1, -1));
  auto groups = groupSimilarDocuments(sizes, SimilarTextService::kDefaultThreshold, &texts);
  const std::string grouped = described(groups);
  EXPECT_TRUE(grouped == " 0>1 1>0 2>0" || grouped == " 0>1 1>0 2>1") << grouped;

  // The candidates find the same pairs without measuring the others.
  std::vector<MinHashSignature> signatures;
  for (const std::string& t : texts) signatures.push_back(signatureOf(t));
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {{0, 1}, {0, 2}, {1, 2}};
  EXPECT_EQ(candidatePairs(signatures), expected);
}

TEST(CompressedSizesConcurrencyTest, RowsMeasuredOnSeveralThreadsMatchOneThread) {
  std::vector<std::string> texts;
  for (uint32_t k = 0; k < 12; ++k) texts.push_back(wordsText(200 + k % 5, 300 + 40 * k));
  CompressedSizes serial = measured(texts);
  CompressedSizes parallel(texts.size());
  std::atomic<size_t> next{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (size_t i = next++; i < texts.size(); i = next++) parallel.measureRow(texts, i);
    });
  for (std::thread& t : threads) t.join();
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(parallel.singleSize(i), serial.singleSize(i));
    for (size_t j = 0; j < texts.size(); ++j)
      EXPECT_EQ(parallel.pairSize(i, j), serial.pairSize(i, j)) << i << "," << j;
  }
}

}  // namespace
}  // namespace orvexa
