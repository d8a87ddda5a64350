#include <gtest/gtest.h>
#include <zip.h>

#include <cstring>
#include <random>
#include <regex>

#include "orvexa/scan/similar_text/similar_text_service.h"
#include "orvexa/scan/similar_text/zip_file.h"
#include "support/document_writer.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using testing::TempDir;

Data bytesOf(std::string_view text) { return Data(text.begin(), text.end()); }

struct MatchCase {
  const char* name;
  std::string xml;
  std::string text;
};

TEST(MatchesTest, TakesEveryTextRunInOrder) {
  const MatchCase cases[] = {
      {"two runs", "<w:p><w:r><w:t>Hello</w:t></w:r><w:r><w:t xml:space=\"preserve\"> world</w:t>",
       "Hello\n world"},
      {"no runs", "<w:p><w:r></w:r></w:p>", ""},
      {"empty run counts", "<w:t></w:t><w:t>b</w:t>", "\nb"},
      {"run without end", "<w:t>open", ""},
      // "<w:t.*?>" also starts at other tags beginning with "w:t" and ends at
      // the first ">": the capture then holds the rest up to "</w:t>".
      {"tab before text", "<w:tab/><w:t>x</w:t>", "<w:t>x"},
      {"table tags", "<w:tbl><w:tr><w:tc><w:t>cell</w:t></w:tc>", "<w:tr><w:tc><w:t>cell"},
      // "." matches no line terminator, so neither part may span one.
      {"newline inside run", "<w:t>a\nb</w:t><w:t>c</w:t>", "c"},
      {"newline inside tag", "<w:t\n>a</w:t>", ""},
      {"other non-ASCII passes", "<w:t>caf\xC3\xA9 \xE2\x80\x94 na\xC3\xAFve</w:t>",
       "caf\xC3\xA9 \xE2\x80\x94 na\xC3\xAFve"},
      {"run after a failed line", "<w:t>x\n<w:t>y</w:t>", "y"},
      {"close tag is not text", "<w:t></w:t></w:t>", ""},
      {"entities stay escaped", "<w:t>a &amp; b &lt;c&gt;</w:t>", "a &amp; b &lt;c&gt;"},
  };
  for (const MatchCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SimilarTextService::matches(c.xml), c.text);
  }
  // Every line terminator, not only "\n", ends a run unmatched.
  for (const char* terminator : {"\r", "\v", "\f", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"}) {
    SCOPED_TRACE(::testing::PrintToString(std::string(terminator)));
    EXPECT_EQ(SimilarTextService::matches(std::string("<w:t>a") + terminator + "b</w:t>"), "");
  }
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
    std::string expected;
    bool first = true;
    for (std::sregex_iterator it(text.begin(), text.end(), expression), end; it != end; ++it) {
      if (!first) expected += '\n';
      first = false;
      expected += (*it)[1].str();
    }
    SCOPED_TRACE(::testing::PrintToString(text));
    ASSERT_EQ(SimilarTextService::matches(text), expected);
  }
}

TEST(MatchesTest, LongSingleLineDocumentIsFast) {
  // Document XML is usually one line; a regex engine that recurses per
  // character would exhaust the stack here.
  std::string xml;
  std::string expected;
  for (int k = 0; k < 50000; ++k) {
    xml += "<w:r><w:rPr><w:b/></w:rPr><w:t xml:space=\"preserve\">word" + std::to_string(k) +
           " </w:t></w:r>";
    if (k > 0) expected += '\n';
    expected += "word" + std::to_string(k) + " ";
  }
  xml += std::string(100000, '<') + "<w:t";  // many starts, no end: still linear
  EXPECT_EQ(SimilarTextService::matches(xml), expected);
}

TEST(ParseDocxTest, DecodesUtf8OrGivesNothing) {
  struct Case {
    const char* name;
    std::optional<Data> bytes;
    std::string text;
  };
  const Case cases[] = {
      {"no bytes", std::nullopt, ""},
      {"empty", Data{}, ""},
      {"valid", bytesOf("<w:t>\xC3\xA9t\xC3\xA9</w:t>"), "\xC3\xA9t\xC3\xA9"},
      {"four-byte character", bytesOf("<w:t>\xF0\x9F\x98\x80</w:t>"), "\xF0\x9F\x98\x80"},
      {"stray continuation byte", bytesOf("<w:t>a\x80</w:t>"), ""},
      {"Latin-1", bytesOf("<w:t>caf\xE9</w:t>"), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SimilarTextService::parseDocx(c.bytes), c.text);
  }
}

class DocumentFilesTest : public ::testing::Test {
 protected:
  Url url(const std::string& name) const { return Url::fromPath(dir_ / name, false); }

  TempDir dir_;
};

TEST_F(DocumentFilesTest, DocxJoinsEveryEntryNamedDocumentXmlInArchiveOrder) {
  ASSERT_TRUE(
      testing::writeZip(dir_ / "parts.docx", {{"word/document.xml", "<w:t>body</w:t>"},
                                              {"word/_rels/document.xml.rels", "<Relationships/>"},
                                              {"word/styles.xml", "<w:t>not taken</w:t>"},
                                              {"word/glossary/document.xml", "<w:t>glossary</w:t>"},
                                              {"word/bad/document.xml", "<w:t>\xFF</w:t>"}}));
  // Texts of several entries are joined without a separator.
  EXPECT_EQ(SimilarTextService::getDocxText(url("parts.docx")), "bodyglossary");
}

TEST_F(DocumentFilesTest, DocxStaysWithinItsInflateAndTextBudgets) {
  // Three entries of 50 KiB against 128 KiB: the third is not inflated.
  const std::string blanks(50u << 10, ' ');
  ASSERT_TRUE(testing::writeZip(dir_ / "many.docx", {{"a/document.xml", "<w:t>a</w:t>" + blanks},
                                                     {"b/document.xml", "<w:t>b</w:t>" + blanks},
                                                     {"c/document.xml", "<w:t>c</w:t>" + blanks}}));
  EXPECT_EQ(SimilarTextService::getDocxText(url("many.docx"), 128u << 10, 1024), "ab");
  // A run longer than the text budget is cut there, at a character.
  ASSERT_TRUE(testing::writeZip(
      dir_ / "long.docx",
      {{"word/document.xml", "<w:t>" + std::string(1023, 'x') + "\xC3\xA9</w:t><w:t>y</w:t>"}}));
  EXPECT_EQ(SimilarTextService::getDocxText(url("long.docx"), 128u << 10, 1024),
            std::string(1023, 'x'));
}

TEST_F(DocumentFilesTest, UnreadableWordFilesGiveTheEmptyText) {
  std::string docx;
  ASSERT_TRUE(testing::writeDocx(dir_ / "good.docx", {"some text that is long enough"}));
  docx = testing::readFile(dir_ / "good.docx");
  ASSERT_GT(docx.size(), 200u);
  // Damage the deflated body of the document entry (just behind its name in
  // the local header): inflating fails or the checksum does not match.
  std::string flipped = docx;
  const size_t body = docx.find("word/document.xml") + std::strlen("word/document.xml");
  for (size_t k = body + 4; k < body + 14; ++k) flipped[k] = static_cast<char>(flipped[k] ^ 0x5A);
  struct Case {
    const char* name;
    std::string content;
  };
  const Case cases[] = {
      {"empty file", ""},
      {"plain text", "Dear Sir, this is no archive."},
      {"truncated archive", docx.substr(0, docx.size() / 2)},
      {"damaged entry", flipped},
      {"PDF", testing::pdfOfText("pdf text")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(testing::writeBytes(dir_ / "bad.docx", c.content));
    EXPECT_EQ(SimilarTextService::getDocxText(url("bad.docx")), "");
  }
  EXPECT_EQ(SimilarTextService::getDocxText(url("missing.docx")), "");
}

TEST_F(DocumentFilesTest, PdfGivesItsPagesInOrder) {
  ASSERT_TRUE(testing::writeBytes(
      dir_ / "a.pdf", testing::pdfBytes({"First page (one)\nsecond line", "Second page"})));
  EXPECT_EQ(SimilarTextService::getPDFText(url("a.pdf")),
            "First page (one)\nsecond line\nSecond page\n");
}

TEST_F(DocumentFilesTest, WhatIsNoReadablePdfGivesTheEmptyText) {
  const std::string pdf = testing::pdfOfText("A letter of some length\nand a second line");
  struct Case {
    const char* name;
    std::string file;
    std::string content;
  };
  const Case cases[] = {
      {"plain text", "notes.txt", "Dear Sir, this is plain text.\n"},
      {"rich text", "notes.rtf", "{\\rtf1\\ansi Dear Sir}"},
      {"empty file", "empty.pdf", ""},
      {"header only", "head.pdf", "%PDF-1.4\n"},
      {"garbage", "garbage.pdf", std::string(4096, '\x9C')},
      {"cut before its pages", "cut.pdf", pdf.substr(0, 40)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(testing::writeBytes(dir_ / c.file, c.content));
    EXPECT_EQ(SimilarTextService::getPDFText(url(c.file)), "");
  }
  EXPECT_EQ(SimilarTextService::getPDFText(url("missing.pdf")), "");
}

TEST_F(DocumentFilesTest, DamagedPdfsDoNotCrash) {
  // poppler repairs what it can; any text or none is fine, as long as every
  // cut and every damaged byte is survived. What it says goes to the log, not
  // to standard error (its default).
  const std::string pdf = testing::pdfOfText("Line one\nLine two\nLine three", 1);
  const size_t logStart = testing::logSize();
  ::testing::internal::CaptureStderr();
  for (size_t cut = 0; cut < pdf.size(); cut += 37) {
    ASSERT_TRUE(testing::writeBytes(dir_ / "cut.pdf", pdf.substr(0, cut)));
    (void)SimilarTextService::getPDFText(url("cut.pdf"));
  }
  for (size_t k = 0; k < pdf.size(); k += 29) {
    std::string damaged = pdf;
    damaged[k] = '\x01';
    ASSERT_TRUE(testing::writeBytes(dir_ / "damaged.pdf", damaged));
    (void)SimilarTextService::getPDFText(url("damaged.pdf"));
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_NE(testing::logSince(logStart).find("PDF reader: "), std::string::npos);
}

TEST_F(DocumentFilesTest, ZipFileListsEntriesAndReadsThemByName) {
  ASSERT_TRUE(testing::writeZip(
      dir_ / "a.zip",
      {{"b.txt", "bee"}, {"dir/", ""}, {"a.txt", std::string(100000, 'a')}, {"empty", ""}}));
  std::string error;
  std::unique_ptr<ZipFile> zip = ZipFile::open(url("a.zip"), &error);
  ASSERT_TRUE(zip) << error;
  EXPECT_EQ(zip->entryNames(), (std::vector<std::string>{"b.txt", "dir/", "a.txt", "empty"}));
  EXPECT_EQ(zip->entryData("b.txt"), bytesOf("bee"));
  EXPECT_EQ(zip->entryData("a.txt"), Data(100000, 'a'));
  EXPECT_EQ(zip->entryData("empty"), Data{});
  EXPECT_EQ(zip->entryData("B.TXT"), std::nullopt);
  EXPECT_EQ(zip->entryData("missing"), std::nullopt);
}

TEST_F(DocumentFilesTest, ZipFileOpenFailuresSayWhy) {
  ASSERT_TRUE(testing::writeBytes(dir_ / "text.zip", "no archive at all, just some text"));
  std::string error;
  EXPECT_FALSE(ZipFile::open(url("text.zip"), &error));
  EXPECT_EQ(error, "Not a zip archive");
  EXPECT_FALSE(ZipFile::open(url("missing.zip"), &error));
  EXPECT_EQ(error, dir_ / "missing.zip" + ": No such file or directory");
}

TEST_F(DocumentFilesTest, ZipFileRefusesEntriesWithAWrongChecksum) {
  const std::string content = "checksummed content";
  ASSERT_TRUE(testing::writeZip(dir_ / "stored.zip", {{"a", content}}));
  std::string zip = testing::readFile(dir_ / "stored.zip");
  // Change the checksum in the central directory; the data itself stays
  // readable, so only the check can catch it.
  const size_t central = zip.find(std::string("PK\x01\x02", 4));
  ASSERT_NE(central, std::string::npos);
  zip[central + 16] = static_cast<char>(zip[central + 16] ^ 0x01);
  ASSERT_TRUE(testing::writeBytes(dir_ / "stored.zip", zip));
  std::unique_ptr<ZipFile> archive = ZipFile::open(url("stored.zip"));
  ASSERT_TRUE(archive);
  EXPECT_EQ(archive->entryNames(), std::vector<std::string>{"a"});
  EXPECT_EQ(archive->entryData("a"), std::nullopt);
}

}  // namespace
}  // namespace orvexa
