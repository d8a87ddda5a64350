// Similar-document scan on generated corpora of 100, 200 and 300 documents
// (half word-processing files, half PDFs) of about 20 KB of text each: the
// time of the whole scan and of its stages, how it grows with the number of
// documents, and a peer pipeline on the same files in the same run
// (pdftotext and docx2txt for the text, then ssdeep's fuzzy-hash comparison
// of all texts, with as many parallel extractions as we use workers). Both
// must find exactly the families the generator made. docx2txt drops the
// breaks between paragraphs, which fuzzy hashes are sensitive to, so the peer
// compares its texts with blanks and line breaks removed.
//
//   bench_similar_docs [N ...]      (default: 100 200 300)
//
// Every fifth of the documents is the original of a family of three: the
// original and two revisions, each with two of its lines rewritten; the rest
// are unrelated. The peers come from the Debian packages poppler-utils,
// docx2txt and ssdeep.
#include <fmt/core.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../tests/support/document_writer.h"
#include "orvexa/model/records.h"
#include "orvexa/scan/similar_text/similar_text_service.h"
#include "orvexa/units/dispatch.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Groups = std::set<std::set<std::string>>;  // groups of document names (no extension)

constexpr size_t kTextBytes = 20000;

double since(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration<double>(end - start).count();
}

// A pseudo-English vocabulary: frequent short words and rarer long ones.
const std::vector<std::string>& vocabulary() {
  static const std::vector<std::string> words = [] {
    std::vector<std::string> v = {
        "the",  "of",    "and",  "to",    "in",    "a",      "is",     "that",   "for",
        "it",   "as",    "was",  "with",  "be",    "by",     "on",     "not",    "this",
        "are",  "or",    "from", "at",    "which", "have",   "an",     "they",   "you",
        "were", "their", "we",   "order", "offer", "client", "report", "budget", "review"};
    std::mt19937 random(7);
    for (int k = 0; k < 4000; ++k) {
      std::string w;
      const size_t length = 3 + random() % 9;
      for (size_t c = 0; c < length; ++c) w += static_cast<char>('a' + random() % 26);
      v.push_back(w);
    }
    return v;
  }();
  return words;
}

std::string line(std::mt19937& random) {
  const auto& words = vocabulary();
  std::string text;
  while (text.size() < 70) {
    if (!text.empty()) text += ' ';
    text += words[random() % 3 == 0 ? random() % words.size() : random() % 36];
  }
  return text;
}

std::vector<std::string> lines(std::mt19937& random) {
  std::vector<std::string> out;
  size_t bytes = 0;
  while (bytes < kTextBytes) {
    out.push_back(line(random));
    bytes += out.back().size() + 1;
  }
  return out;
}

std::string joined(const std::vector<std::string>& ls) {
  std::string text;
  for (const std::string& l : ls) text += l + "\n";
  return text;
}

struct Corpus {
  std::string folder;
  Groups families;
  size_t documents = 0;
};

Corpus makeCorpus(const std::string& folder, size_t n) {
  Corpus corpus{folder, {}, n};
  fs::create_directories(folder);
  std::mt19937 random(static_cast<unsigned>(n));
  const size_t families = n / 5;
  size_t index = 0;
  auto write = [&](const std::vector<std::string>& ls) {
    const std::string name = fmt::format("doc{:04}", index);
    const bool pdf = index % 2 == 0;
    ++index;
    if (pdf) {
      orvexa::testing::writeBytes(folder + "/" + name + ".pdf",
                                  orvexa::testing::pdfOfText(joined(ls)));
    } else {
      orvexa::testing::writeDocx(folder + "/" + name + ".docx", ls);
    }
    return name;
  };
  for (size_t f = 0; f < families; ++f) {
    const std::vector<std::string> original = lines(random);
    std::set<std::string> family{write(original)};
    for (int revision = 0; revision < 2; ++revision) {
      std::vector<std::string> revised = original;
      for (int change = 0; change < 2; ++change) revised[random() % revised.size()] = line(random);
      family.insert(write(revised));
    }
    corpus.families.insert(family);
  }
  while (index < n) write(lines(random));
  return corpus;
}

// A document's name without extensions: "doc0007" for ".../doc0007.pdf" and
// for the peer's ".../doc0007.pdf.txt".
std::string stem(const std::string& path) {
  const std::string name = fs::path(path).filename().string();
  return name.substr(0, name.find('.'));
}

struct OurRun {
  double total = 0;
  double extraction = 0;  // walk and text extraction
  double measuring = 0;
  double grouping = 0;
  double cpu = 0;  // CPU seconds of the whole scan, all threads
  double cpuMeasuring = 0;
  size_t pairs = 0;
  Groups groups;
};

// Times of trace lines, through a stream the scan writes its trace to.
struct TraceClock {
  std::mutex mu;
  Clock::time_point lastExtracted{};
  Clock::time_point finished{};
  double lastExtractedCpu = 0;
  double finishedCpu = 0;
};

// CPU time of the whole process (all threads), in seconds.
double cpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

ssize_t traceWrite(void* cookie, const char* data, size_t size) {
  auto* clock = static_cast<TraceClock*>(cookie);
  const std::string_view text(data, size);
  std::lock_guard lock(clock->mu);
  if (text.find("finssss") != std::string_view::npos) {
    clock->lastExtracted = Clock::now();
    clock->lastExtractedCpu = cpuSeconds();
  }
  if (text.find("finish") != std::string_view::npos) {
    clock->finished = Clock::now();
    clock->finishedCpu = cpuSeconds();
  }
  return static_cast<ssize_t>(size);
}

OurRun runOurs(const Corpus& corpus) {
  using namespace orvexa;
  TraceClock clock;
  cookie_io_functions_t io{nullptr, traceWrite, nullptr, nullptr};
  std::FILE* trace = fopencookie(&clock, "w", io);
  setvbuf(trace, nullptr, _IONBF, 0);  // every line reaches traceWrite as it is written
  SimilarTextService::setTraceOutput(trace);

  auto feature = std::make_shared<FeatureInformation>(
      9, 0, Image{}, "Similar Documents", "", std::vector<CategoryPtr>{}, nullptr, std::any{});
  auto queue = std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_);
  std::mutex mu;
  std::condition_variable cv;
  bool finished = false;
  size_t pairs = 0;
  const auto start = Clock::now();
  const double startCpu = cpuSeconds();
  Clock::time_point done;
  double doneCpu = 0;
  SimilarTextService::scan(
      feature, {Url::fromPath(corpus.folder, true)}, SimilarTextService::kDefaultThreshold, nullptr,
      nullptr,
      [&](int, const std::shared_ptr<const SimilarTextMeasurement>& m) {
        pairs = m->sizes.measuredPairSizes();
      },
      [&](const FeaturePtr&, int64_t) {
        std::lock_guard lock(mu);
        done = Clock::now();
        doneCpu = cpuSeconds();
        finished = true;
        cv.notify_all();
      },
      queue);
  {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return finished; });
  }
  queue->waitUntilIdle();
  SimilarTextService::setTraceOutput(nullptr);
  std::fclose(trace);

  OurRun run;
  run.total = since(start, done);
  run.extraction = since(start, clock.lastExtracted);
  run.measuring = since(clock.lastExtracted, clock.finished);
  run.grouping = since(clock.finished, done);
  run.cpu = doneCpu - startCpu;
  run.cpuMeasuring = clock.finishedCpu - clock.lastExtractedCpu;
  run.pairs = pairs;
  for (const FilePtr& group : feature->categoryInfo.front()->childrens) {
    std::set<std::string> names;
    for (const FilePtr& member : group->childrens) names.insert(stem(member->url.path()));
    run.groups.insert(names);
  }
  return run;
}

std::string shellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string commandOutput(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::string out;
  if (!pipe) return out;
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe.get())) out.append(buffer, n);
  return out;
}

struct PeerRun {
  double extraction = 0;
  double comparison = 0;
  Groups groups;
  bool ok = false;
};

// Union of ssdeep's matching pairs, as groups.
Groups groupsOfMatches(const std::string& output) {
  std::map<std::string, std::string> parent;
  auto find = [&](std::string x) {
    while (parent.at(x) != x) x = parent.at(x);
    return x;
  };
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t mid = line.find(" matches ");
    const size_t score = line.rfind(" (");
    if (mid == std::string::npos || score == std::string::npos || score < mid) continue;
    const std::string a = stem(line.substr(0, mid));
    const std::string b = stem(line.substr(mid + 9, score - mid - 9));
    parent.try_emplace(a, a);
    parent.try_emplace(b, b);
    parent[find(a)] = find(b);
  }
  std::map<std::string, std::set<std::string>> byRoot;
  for (const auto& entry : parent) byRoot[find(entry.first)].insert(entry.first);
  Groups groups;
  for (auto& entry : byRoot) groups.insert(entry.second);
  return groups;
}

PeerRun runPeers(const Corpus& corpus, size_t workers) {
  PeerRun run;
  const std::string texts = corpus.folder + ".peer";
  fs::create_directories(texts);
  const std::string folder = shellQuoted(corpus.folder);
  const std::string out = shellQuoted(texts);
  const std::string extract = fmt::format(
      "cd {0} && (ls *.pdf | xargs -P {2} -I@ pdftotext -q @ {1}/@.txt) && "
      "(ls *.docx | xargs -P {2} -I@ sh -c 'docx2txt @ {1}/@.txt >/dev/null 2>&1') && "
      "cd {1} && (ls | xargs -P {2} -I@ sh -c \"tr -d ' \\\\n' < @ > @.flat && mv @.flat @\")",
      folder, out, workers);
  const auto start = Clock::now();
  const int extracted = std::system(extract.c_str());
  const auto middle = Clock::now();
  const std::string matches = commandOutput("ssdeep -s -d " + out + "/*.txt");
  const auto end = Clock::now();
  run.extraction = since(start, middle);
  run.comparison = since(middle, end);
  run.groups = groupsOfMatches(matches);
  run.ok = extracted == 0;
  fs::remove_all(texts);
  return run;
}

std::string describe(const Groups& groups) {
  std::string text;
  for (const auto& group : groups) {
    text += "{";
    for (const std::string& name : group) text += name + (name == *group.rbegin() ? "" : " ");
    text += "} ";
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<size_t> sizes;
  for (int k = 1; k < argc; ++k) sizes.push_back(static_cast<size_t>(std::atoi(argv[k])));
  if (sizes.empty()) sizes = {100, 200, 300};
  const size_t workers = orvexa::dispatchGlobalCoreThreads();
  for (const char* tool : {"pdftotext", "docx2txt", "ssdeep"}) {
    if (std::system(fmt::format("command -v {} >/dev/null", tool).c_str()) != 0) {
      fmt::print(stderr, "{} is missing: apt-get install poppler-utils docx2txt ssdeep\n", tool);
      return 1;
    }
  }
  char pattern[] = "/tmp/orvexa-bench-docs-XXXXXX";
  const char* root = mkdtemp(pattern);
  if (root == nullptr) return 1;

  fmt::print("similar documents, about {} KB of text each, threshold {} %, {} workers\n",
             kTextBytes / 1000, orvexa::SimilarTextService::kDefaultThreshold, workers);
  fmt::print("{:>5} {:>8} | {:>7} {:>7} {:>7} {:>6} {:>7} {:>7} | {:>7} {:>7} {:>7} | {:>5} {}\n",
             "docs", "pairs", "ours s", "extract", "measure", "group", "cpu s", "us/pair", "peer s",
             "extract", "compare", "ratio", "groups");
  bool allAgree = true;
  std::vector<std::pair<size_t, OurRun>> runs;
  for (size_t n : sizes) {
    const Corpus corpus = makeCorpus(fmt::format("{}/n{}", root, n), n);
    const OurRun ours = runOurs(corpus);
    const PeerRun peer = runPeers(corpus, workers);
    const double peerTotal = peer.extraction + peer.comparison;
    const bool agree = peer.ok && ours.groups == corpus.families && peer.groups == corpus.families;
    allAgree = allAgree && agree;
    fmt::print(
        "{:>5} {:>8} | {:>7.2f} {:>7.2f} {:>7.2f} {:>6.3f} {:>7.2f} {:>7.0f} | {:>7.2f} {:>7.2f} "
        "{:>7.2f} | {:>5.1f} {} ({})\n",
        n, ours.pairs, ours.total, ours.extraction, ours.measuring, ours.grouping, ours.cpu,
        ours.cpuMeasuring / static_cast<double>(ours.pairs) * 1e6, peerTotal, peer.extraction,
        peer.comparison, ours.total / peerTotal, ours.groups.size(), agree ? "agree" : "DISAGREE");
    if (!agree) {
      fmt::print("  expected: {}\n  ours:     {}\n  peer:     {}\n", describe(corpus.families),
                 describe(ours.groups), describe(peer.groups));
    }
    runs.emplace_back(n, ours);
    fs::remove_all(corpus.folder);
  }
  for (size_t k = 1; k < runs.size(); ++k) {
    const OurRun& a = runs[0].second;
    const OurRun& b = runs[k].second;
    const double docs = static_cast<double>(runs[k].first) / static_cast<double>(runs[0].first);
    fmt::print(
        "{} -> {} documents ({:.1f}x; linear x{:.1f}, quadratic x{:.1f}): wall x{:.2f}, CPU "
        "x{:.2f} "
        "(extraction CPU x{:.2f}, measuring CPU x{:.2f})\n",
        runs[0].first, runs[k].first, docs, docs, docs * docs, b.total / a.total, b.cpu / a.cpu,
        (b.cpu - b.cpuMeasuring) / (a.cpu - a.cpuMeasuring), b.cpuMeasuring / a.cpuMeasuring);
  }
  fmt::print(
      "ours s, extract (walk and texts), measure, group: wall seconds; cpu s: CPU seconds of the "
      "scan, all threads; us/pair: CPU microseconds of the measuring step per ordered pair\n");
  fs::remove_all(root);
  return allAgree ? 0 : 1;
}
