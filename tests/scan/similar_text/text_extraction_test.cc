#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <thread>

#include "orvexa/scan/similar_text/similar_text_service.h"
#include "orvexa/scan/similar_text/zip_file.h"
#include "support/document_writer.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using testing::TempDir;

Data bytesOf(std::string_view text) { return Data(text.begin(), text.end()); }

TEST(MatchesTest, TakesEveryTextRunInOrder) {
  const std::pair<std::string, std::string> cases[] = {
      {"<w:p><w:r><w:t>Hello</w:t></w:r><w:r><w:t xml:space=\"preserve\"> world</w:t>",
       "Hello\n world"},                   // two runs
      {"<w:p><w:r></w:r></w:p>", ""},      // no runs
      {"<w:t></w:t><w:t>b</w:t>", "\nb"},  // empty run counts
      {"<w:t>open", ""},                   // run without end
      // "<w:t.*?>" also starts at other tags beginning with "w:t" and ends at
      // the first ">": the capture then holds the rest up to "</w:t>".
      {"<w:tab/><w:t>x</w:t>", "<w:t>x"},                                      // tab before text
      {"<w:tbl><w:tr><w:tc><w:t>cell</w:t></w:tc>", "<w:tr><w:tc><w:t>cell"},  // table tags
      // "." matches no line terminator, so neither part may span one.
      {"<w:t>a\nb</w:t><w:t>c</w:t>", "c"},  // newline inside run
      {"<w:t\n>a</w:t>", ""},                // newline inside tag
      {"<w:t>caf\xC3\xA9 \xE2\x80\x94 na\xC3\xAFve</w:t>",
       "caf\xC3\xA9 \xE2\x80\x94 na\xC3\xAFve"},                  // other non-ASCII passes
      {"<w:t>x\n<w:t>y</w:t>", "y"},                              // run after a failed line
      {"<w:t></w:t></w:t>", ""},                                  // close tag is not text
      {"<w:t>a &amp; b &lt;c&gt;</w:t>", "a &amp; b &lt;c&gt;"},  // entities stay escaped
  };
  for (const auto& [xml, text] : cases)
    EXPECT_EQ(SimilarTextService::matches(xml), text) << ::testing::PrintToString(xml);
  // Every line terminator, not only "\n", ends a run unmatched.
  for (const char* terminator : {"\r", "\v", "\f", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"})
    EXPECT_EQ(SimilarTextService::matches(std::string("<w:t>a") + terminator + "b</w:t>"), "")
        << ::testing::PrintToString(std::string(terminator));
}

// The hand-written matcher against a backtracking regular expression engine
// on random short texts over the characters that matter. std::regex's "."
// excludes only "\n" and "\r" of the terminators, which is all the alphabet
// holds.
TEST(MatchesTest, AgreesWithARegularExpressionEngine) {
  const std::regex expression("<w:t.*?>(.*?)</w:t>");
  const std::string pieces[] = {"<w:t", "</w:t>", ">",  "<",  "w",     ":",       "t",
                                "/",    "a",      "\n", "\r", "<w:t>", "<w:tab/>"};
  std::mt19937 random(20240611);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int length = static_cast<int>(random() % 14);
    for (int k = 0; k < length; ++k) text += pieces[random() % std::size(pieces)];
    std::string expected, separator;
    for (std::sregex_iterator it(text.begin(), text.end(), expression), end; it != end; ++it) {
      expected += separator + (*it)[1].str();
      separator = "\n";
    }
    SCOPED_TRACE(::testing::PrintToString(text));
    ASSERT_EQ(SimilarTextService::matches(text), expected);
  }
}

TEST(MatchesTest, LongSingleLineDocumentIsFast) {
  // Document XML is usually one line; a regex engine that recurses per
  // character would exhaust the stack here. Many starts without an end must
  // stay linear.
  std::string xml, expected;
  for (int k = 0; k < 50000; ++k) {
    xml += "<w:r><w:rPr><w:b/></w:rPr><w:t xml:space=\"preserve\">word" + std::to_string(k) +
           " </w:t></w:r>";
    expected += (k > 0 ? "\nword" : "word") + std::to_string(k) + " ";
  }
  EXPECT_EQ(SimilarTextService::matches(xml + std::string(100000, '<') + "<w:t"), expected);
}

TEST(ParseDocxTest, DecodesUtf8OrGivesNothing) {
  const std::pair<std::optional<Data>, std::string> cases[] = {
      {std::nullopt, ""},
      {Data{}, ""},
      {bytesOf("<w:t>\xC3\xA9t\xC3\xA9</w:t>"), "\xC3\xA9t\xC3\xA9"},
      {bytesOf("<w:t>a\x80</w:t>"), ""},  // stray continuation byte
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(SimilarTextService::parseDocx(bytes), text);
}

// The text of each kind of document file, by its name; damaged, foreign or
// over-budget content gives the empty text (or the part within the budget).
TEST(DocumentTextTest, EveryKindAndEveryDamage) {
  TempDir dir;
  // Word-processing files (zip archives) of tests/data/similar_text: one.docx
  // holds word/document.xml only, "<w:t>some text that is long enough</w:t>".
  const std::string docx = testing::testData("similar_text/one.docx");
  const std::string pdf = testing::pdfOfText("A letter of some length\nand a second line");
  // File, content, text; a budget of inflated bytes (text budget 1 KiB), or
  // 0 for documentText's own budgets.
  const std::tuple<const char*, std::string, std::string, size_t> cases[] = {
      // Plain text: UTF-8 kept, a Latin-1 byte converted.
      {"notes.txt", "Dear Sir,\ncaf\xC3\xA9 and na\xEFve.\n",
       "Dear Sir,\ncaf\xC3\xA9 and na\xC3\xAFve.\n", 0},
      // Table cells end in tabs, rows in line ends; a symbol, a hexadecimal
      // and a Unicode escape.
      {"table.rtf", testing::testData("similar_text/table.rtf"),
       "Name\tPrice\xE2\x80\x94\t\nCaf\xC3\xA9\t3\xE2\x82\xAC\t\n", 0},
      {"a.pdf", testing::pdfBytes({"First page (one)\nsecond line", "Second page"}),
       "First page (one)\nsecond line\nSecond page\n", 0},
      // Every entry named document.xml, in archive order, joined: "body" of
      // word/document.xml, "glossary" of word/glossary/document.xml, none of
      // word/bad/document.xml (not UTF-8), nor of relations or styles.
      {"parts.docx", testing::testData("similar_text/parts.docx"), "bodyglossary", 0},
      // Three entries of 50 KiB ("a", "b", "c" and blanks) against 128 KiB:
      // the third is not inflated.
      {"many.docx", testing::testData("similar_text/many.docx"), "ab", 128u << 10},
      // A run of 1,023 "x" and an "\u00e9", longer than the text budget, is
      // cut at a character.
      {"long.docx", testing::testData("similar_text/long.docx"), std::string(1023, 'x'),
       128u << 10},
      {"empty.docx", "", "", 0},
      {"text.docx", "Dear Sir, this is no archive.", "", 0},
      {"cut.docx", docx.substr(0, docx.size() / 2), "", 0},
      // one.docx with ten bytes of the deflated body of its entry (from the
      // fifth on) changed: inflating fails or the checksum does not match.
      {"flipped.docx", testing::testData("similar_text/flipped.docx"), "", 0},
      {"empty.pdf", "", "", 0},
      {"garbage.pdf", std::string(4096, '\x9C'), "", 0},
      {"cut.pdf", pdf.substr(0, 40), "", 0},
  };
  for (const auto& [file, content, text, inflateBudget] : cases) {
    ASSERT_TRUE(testing::writeBytes(dir / file, content));
    const Url url = Url::fromPath(dir / file, false);
    EXPECT_EQ(inflateBudget ? SimilarTextService::getDocxText(url, inflateBudget, 1024)
                            : SimilarTextService::documentText(url),
              text)
        << file;
  }
  EXPECT_EQ(SimilarTextService::getDocxText(Url::fromPath(dir / "missing.docx", false)), "");
  EXPECT_EQ(SimilarTextService::getPDFText(Url::fromPath(dir / "missing.pdf", false)), "");
}

TEST(DocumentTextTest, DamagedPdfsDoNotCrash) {
  // poppler repairs what it can; any text or none is fine, as long as every
  // cut and every damaged byte is survived. What it says never reaches
  // standard error (its default).
  TempDir dir;
  const std::string pdf = testing::pdfOfText("Line one\nLine two\nLine three", 1);
  ::testing::internal::CaptureStderr();
  for (size_t k = 0; k < pdf.size(); k += 29) {
    std::string damaged = pdf;
    damaged[k] = '\x01';
    for (const std::string& bytes : {pdf.substr(0, k), damaged}) {
      ASSERT_TRUE(testing::writeBytes(dir / "damaged.pdf", bytes));
      (void)SimilarTextService::getPDFText(Url::fromPath(dir / "damaged.pdf", false));
    }
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(DocumentTextTest, PdfsReadOnSeveralThreadsAtOnceGiveTheirText) {
  TempDir dir;
  std::vector<std::string> expected;
  auto url = [&](size_t k) { return Url::fromPath(dir / (std::to_string(k) + ".pdf"), false); };
  for (size_t k = 0; k < 6; ++k) {
    std::string text;
    for (size_t line = 0; line < 80; ++line) text += "Document " + std::to_string(k * line) + "\n";
    ASSERT_TRUE(testing::writeBytes(url(k).path(), testing::pdfOfText(text)));
    expected.push_back(SimilarTextService::getPDFText(url(k)));
    ASSERT_FALSE(expected.back().empty());
  }
  std::vector<std::thread> readers;
  std::vector<int> wrong(4, 0);
  for (size_t t = 0; t < wrong.size(); ++t)
    readers.emplace_back([&, t] {
      for (size_t round = 0; round < 10; ++round) {
        const size_t k = (t + round) % expected.size();
        if (SimilarTextService::getPDFText(url(k)) != expected[k]) ++wrong[t];
      }
    });
  for (std::thread& r : readers) r.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

TEST(ZipFileTest, ListsAndReadsEntriesByNameAndChecksTheirSums) {
  // b.txt ("bee"), the folder dir/, a.txt (100,000 "a") and an empty file.
  std::unique_ptr<ZipFile> zip =
      ZipFile::open(Url::fromPath(ORVEXA_TEST_DATA_DIR "/similar_text/entries.zip", false));
  ASSERT_TRUE(zip);
  EXPECT_EQ(zip->entryNames(), (std::vector<std::string>{"b.txt", "dir/", "a.txt", "empty"}));
  EXPECT_EQ((std::vector{zip->entryData("b.txt"), zip->entryData("a.txt"), zip->entryData("empty"),
                         zip->entryData("B.TXT"), zip->entryData("missing")}),
            (std::vector<std::optional<Data>>{bytesOf("bee"), Data(100000, 'a'), Data{},
                                              std::nullopt, std::nullopt}));

  // A changed checksum in the central directory: the data itself stays
  // readable, so only the check can catch it.
  TempDir dir;
  std::string bytes = testing::testData("similar_text/one.docx");
  const size_t central = bytes.find(std::string("PK\x01\x02", 4));
  ASSERT_NE(central, std::string::npos);
  bytes[central + 16] = static_cast<char>(bytes[central + 16] ^ 0x01);
  ASSERT_TRUE(testing::writeBytes(dir / "stored.zip", bytes));
  zip = ZipFile::open(Url::fromPath(dir / "stored.zip", false));
  ASSERT_TRUE(zip);
  EXPECT_EQ(std::pair(zip->entryNames(), zip->entryData("word/document.xml")),
            std::pair(std::vector<std::string>{"word/document.xml"}, std::optional<Data>()));
}

}  // namespace
}  // namespace orvexa
