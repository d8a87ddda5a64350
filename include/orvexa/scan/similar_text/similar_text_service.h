// SimilarTextService: groups of documents with nearly the same text.
//
// The scan collects the documents below the chosen folders, extracts their
// plain text, measures every text and every ordered pair of texts by its
// gzip-compressed size (compressed_sizes.h), and groups the documents whose
// compression distance is at most the host's threshold, read as a percentage
// (document_groups.h: linked pairs, single linkage).
//
// Documents: regular files, not hidden and not inside packages, whose
// extension contains "docx", "doc", "pdf", "rtf" or "txt" (a case-sensitive
// substring test: "docm" and "pdfa" count, "PDF" does not), or is exactly
// "md" or "csv". A location that is not a folder gives nothing; a file
// reached through two locations counts once. Text (documentText): getDocxText
// for an extension containing "docx", the Rich Text reader for one containing
// "rtf", the plain-text reader for one containing "txt" and for "md" and
// "csv" (document_text.h), getPDFText for every other document; so ".doc"
// files, which are not PDFs, give the empty text. Documents whose text is
// empty (unreadable, scanned, or not of a kind that is read) are measured but
// never grouped; those whose text is shorter than kShortTextBytes are grouped
// only with documents of the same text (document_groups.h).
//
// Measuring: up to kExhaustiveLimit documents, or with
// SimilarTextOptions::exhaustive, every pair is measured; beyond that only
// the candidate pairs of document_candidates.h (a deliberate choice: measuring
// every pair grows with the square of the number of documents). Only the
// pairs within the threshold are kept.
//
// Result: the feature's categories are replaced by one category "All" (kind
// Common, no description, empty icon) holding one group record per group, in
// the order of the groups' first documents: title = the first document's path,
// size = the sum of its members' sizes, empty icon and URL, date = now,
// finderID = its position, parentFinderID = the category's finderID,
// levelInt 1, kind Folder. Its
// members are made by the record factory (resource keys localized name, file
// size, effective icon, is-directory, is-package) in path order, with
// attachInformation = a SimilarTextMatch, levelInt 2, finderID = position in
// the group, parentFileInfo = the group; check state 0. A member that has
// vanished is left out, and a group left with fewer than two members is
// dropped. The category's size is the total of its groups.
//
// Callbacks:
// - progress(path, size): once per document found, on the walking thread.
// - showPercent(fraction): from the progress service: walk 2 %, text
//   extraction 48 %, measuring 48 % (single sizes and signatures first, then
//   the pairs), grouping 2 %.
// - singleDone(0, measurement): once, on `dispatch`, after the measuring step
//   and before grouping: the position of the "All" category and the sorted
//   documents with their texts and compressed sizes (the pairs within the
//   threshold). Not called when the scan
//   is stopped before.
// - done(feature, total size of all group members): once, on `dispatch`; after
//   a stop with total 0 and an empty "All" category.
//
// Trace output: one line "finssss" per extracted document and "finish" once
// every pair to measure has been measured, written to traceOutput() (standard output
// unless the host chose another stream, or none).
//
// Log lines (Info): "SimilarTextScanService Start", "SimilarTextScanService
// Scanning" (a second start while one runs; nothing else happens),
// "SimilarTextScanService Suspend" (stopped through SuperScanService::stop),
// "SimilarTextScanService Finish".
//
// Cost: measuring every pair costs n * n compressions, about 2 ms of one
// core per pair of 20 KB texts; the candidate pairs, a few per document.
// Measuring runs on as many pool workers as the pool has cores and looks at
// the stop request between pairs. Memory: the texts, their signatures, and
// the candidate and kept pairs.
//
// Threading: scan returns at once. Walks, extraction and measuring run on the
// global pool (lane `qosClass`); the document list, counters and result
// records are changed on `dispatch` only, where grouping runs too. The
// records of the feature are not locked: the host must not touch them between
// the start and `done`. The extraction operations may be called from any
// thread, PDFs included (each is read on its own thread with no shared
// state of the PDF library, see pdf_module.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orvexa/scan/engine/super_scan_service.h"
#include "orvexa/scan/similar_text/compressed_sizes.h"
#include "orvexa/units/dispatch.h"
#include "orvexa/units/gzip.h"

namespace orvexa {

// attachInformation of a group member: the member of the same group closest
// to it, and their distance (0 ... about 1).
struct SimilarTextMatch {
  Url nearest;
  double distance = 0;
};

// What the measuring step leaves: the documents in path order, their texts,
// and the compressed sizes of the texts and of the pairs within the threshold.
struct SimilarTextOptions {
  // Measure every pair whatever the number of documents.
  bool exhaustive = false;
};

struct SimilarTextMeasurement {
  std::vector<Url> urls;
  std::vector<std::string> texts;
  CompressedSizes sizes{0};
};

class SimilarTextService : public SuperScanService {
 public:
  using Progress = std::function<void(const std::string& path, int64_t size)>;
  using ShowPercent = std::function<void(float)>;
  using SingleDone = std::function<void(int, const std::shared_ptr<const SimilarTextMeasurement>&)>;
  using Done = std::function<void(const FeaturePtr&, int64_t)>;

  // The threshold a host offers before the user picks one: two revisions of a
  // letter with one sentence of eight changed lie near 17 %, unrelated texts
  // above 80 %.
  static constexpr int kDefaultThreshold = 40;

  // A null feature or queue is refused: nothing starts and nothing is called.
  static void scan(const FeaturePtr& featureInfo, const std::vector<Url>& Paths, int thresholdValue,
                   Progress progress, ShowPercent showPercent, SingleDone singleDone, Done done,
                   const std::shared_ptr<SerialGCDService>& dispatch,
                   DispatchQoS qosClass = DispatchQoS::default_, SimilarTextOptions options = {});
  static void scanProAPISimilar(const std::vector<Url>& Paths, const FeaturePtr& featureInfo,
                                int thresholdValue, Progress progress, ShowPercent showPercent,
                                SingleDone singleDone, Done done,
                                const std::shared_ptr<SerialGCDService>& dispatch,
                                DispatchQoS qosClass = DispatchQoS::default_,
                                SimilarTextOptions options = {});

  // True when a file with this extension is a document of the scan.
  static bool isDocumentExtension(std::string_view extension);

  // Budgets of one word-processing file, whatever its entries: at most
  // kMaxDocumentInflated bytes are inflated in all (an entry larger than what
  // is left is skipped, unread) and the text is cut after kMaxDocumentText
  // bytes (at a character boundary). So a small archive of many huge entries
  // costs bounded time and memory.
  static constexpr uint64_t kMaxDocumentInflated = uint64_t{128} << 20;
  static constexpr size_t kMaxDocumentText = size_t{16} << 20;

  // The text of a word-processing file: parseDocx of every archive entry
  // whose name contains "document.xml", joined in archive order, within the
  // budgets above. Empty when the file is not a readable ZIP archive.
  static std::string getDocxText(const Url& url);
  // The text of a document of the scan, by its extension (see above).
  static std::string documentText(const Url& url);
  // The same within other budgets (tests use small ones).
  static std::string getDocxText(const Url& url, uint64_t maxInflated, size_t maxText);
  // The text of a PDF, page after page (each page's lines end with "\n").
  // Empty when the file is not a PDF, is damaged or is locked by a password,
  // and when the PDF reader module cannot be loaded (logged once).
  static std::string getPDFText(const Url& url);
  // matches() of the bytes read as UTF-8; empty for no bytes or bytes that
  // are not valid UTF-8.
  static std::string parseDocx(const std::optional<Data>& data);
  // The text runs of a word-processing document's XML: capture group 1 of
  // every match of "<w:t.*?>(.*?)<\/w:t>" (where "." matches no line
  // terminator), in order, joined with "\n". Linear in the text's length.
  static std::string matches(const std::string& text);

  // Where the trace lines go: standard output by default; null for nowhere.
  static std::FILE* traceOutput();
  static void setTraceOutput(std::FILE* stream);
};

}  // namespace orvexa
