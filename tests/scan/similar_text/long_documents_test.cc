#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "orvexa/scan/similar_text/compressed_sizes.h"
#include "orvexa/scan/similar_text/document_candidates.h"
#include "orvexa/scan/similar_text/document_groups.h"
#include "orvexa/scan/similar_text/document_text.h"
#include "orvexa/scan/similar_text/similar_text_service.h"
#include "support/document_writer.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

// Prose-like text of about `bytes` bytes from a vocabulary of 2,000 made-up
// words.
std::string prose(uint32_t seed, size_t bytes) {
  std::mt19937 random(seed);
  std::string text;
  while (text.size() < bytes) {
    const auto w = static_cast<uint32_t>(random() % 2000);
    text += static_cast<char>('a' + w % 26);
    text += static_cast<char>('a' + w / 26 % 26);
    text += static_cast<char>('a' + w / 676);
    text += (random() % 15 == 0) ? ".\n" : " ";
  }
  return text;
}

// A copy with a word changed every `every` bytes.
std::string edited(std::string text, size_t every) {
  for (size_t at = every; at + 8 < text.size(); at += every) text.insert(at, "edit ");
  return text;
}

TEST(LongDocumentsTest, CopiesBeyondTheWindowGroupAndShortUnrelatedTextsDoNot) {
  const std::string long1 = prose(1, 120000);
  const std::vector<std::string> texts = {
      long1,
      long1,                // identical, 120 KB
      edited(long1, 3000),  // a near-copy, 40 insertions
      prose(2, 120000),     // unrelated long text
      "The meeting about the garden budget is on Monday at ten in the small office upstairs.",
      "Please send the signed contract and the invoice for March before Friday, thank you.",
  };
  CompressedSizes sizes(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) sizes.measureSingle(texts, i);
  for (size_t i = 0; i < texts.size(); ++i) {
    for (size_t j = i + 1; j < texts.size(); ++j) sizes.measurePair(texts, i, j, -1);
  }
  EXPECT_LT(*sizes.distance(0, 1), 0.05);
  EXPECT_LT(*sizes.distance(0, 2), 0.15);
  EXPECT_GT(*sizes.distance(0, 3), 0.6);
  EXPECT_GT(*sizes.distance(4, 5), 0.6);
  auto groups = groupSimilarDocuments(sizes, SimilarTextService::kDefaultThreshold, &texts);
  ASSERT_EQ(groups.size(), 1u);
  ASSERT_EQ(groups[0].size(), 3u);
  EXPECT_EQ(groups[0][2].index, 2u);

  // The candidates find the same pairs without measuring the others.
  std::vector<MinHashSignature> signatures;
  for (const std::string& t : texts) signatures.push_back(signatureOf(t));
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {{0, 1}, {0, 2}, {1, 2}};
  EXPECT_EQ(candidatePairs(signatures), expected);
}

TEST(LongDocumentsTest, PlainAndRichTextFilesHaveTheirText) {
  testing::TempDir dir;
  dir.writeFile("notes.txt", "Dear Sir,\ncaf\xC3\xA9 and na\xEFve.\n");
  EXPECT_EQ(SimilarTextService::documentText(Url::fromPath(dir / "notes.txt", false)),
            "Dear Sir,\ncaf\xC3\xA9 and na\xC3\xAFve.\n");
  dir.writeFile("table.rtf",
                "{\\rtf1\\ansi{\\fonttbl{\\f0 Times;}}{\\*\\generator Writer;}\\f0\\fs24 "
                "\\trowd\\cellx1000\\cellx2000 Name\\cell Price\\cell\\row "
                "\\trowd\\cellx1000\\cellx2000 Caf\\'e9\\cell 3\\u8364?\\cell\\row}");
  EXPECT_EQ(SimilarTextService::documentText(Url::fromPath(dir / "table.rtf", false)),
            "Name\tPrice\t\nCaf\xC3\xA9\t3\xE2\x82\xAC\t\n");
}

TEST(LongDocumentsTest, PdfsReadOnSeveralThreadsAtOnceGiveTheirText) {
  testing::TempDir dir;
  std::vector<std::string> expected;
  for (uint32_t k = 0; k < 6; ++k) {
    const std::string text = prose(10 + k, 3000);
    ASSERT_TRUE(testing::writeBytes(dir / (std::to_string(k) + ".pdf"), testing::pdfOfText(text)));
    expected.push_back(
        SimilarTextService::getPDFText(Url::fromPath(dir / (std::to_string(k) + ".pdf"), false)));
    ASSERT_FALSE(expected.back().empty());
  }
  std::vector<std::thread> readers;
  std::vector<int> wrong(4, 0);
  for (size_t t = 0; t < wrong.size(); ++t) {
    readers.emplace_back([&, t] {
      for (size_t round = 0; round < 10; ++round) {
        const size_t k = (t + round) % expected.size();
        const Url url = Url::fromPath(dir / (std::to_string(k) + ".pdf"), false);
        if (SimilarTextService::getPDFText(url) != expected[k]) ++wrong[t];
      }
    });
  }
  for (std::thread& r : readers) r.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace orvexa
