// Similar-image search: quality and speed against findimagedupes.
//
// Generates a corpus of distinct synthetic pictures (gradients, shapes,
// stripes and grain; JPEG and PNG of several sizes) with planted look-alikes
// of four kinds: exact copies, re-encoded copies (JPEG quality 55-75),
// resized copies (40-70 %) and brightened copies (every channel raised by 4-12 %
// of the full range).
// Then, in one run:
//   1. times `orvexa similar-images --quiet --json` on the corpus and scores
//      its groups: recall of planted pairs per kind, pairs that were not
//      planted ("false pairs"), the share of groups holding one and pair
//      precision; then the same with --ignore-brightness;
//   2. times `findimagedupes -R` (Debian package findimagedupes) on the same
//      corpus and scores it the same way;
//   3. runs the scan in this process with and without the band lookup of
//      the LSH tables (LSHService::setBandLookup), each with candidate sets
//      keyed in hash order or by their query node
//      (LSHService::setKeyByQueryNode), and scores all four.
//
// Usage: bench_similar_images [--count N] [--threshold N] [--dir DIR]
//                             [--orvexa PATH] [--no-peer] [--no-variants] [--keep]
//   --no-variants leaves out step 3.
//   --dir reuses (or creates) a corpus there; otherwise a temporary one is
//   made and removed at the end unless --keep is given.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "orvexa/model/records.h"
#include "orvexa/platform/image_decode.h"
#include "orvexa/scan/similar_image/similar_scan_service.h"
#include "orvexa/tree/lsh_service.h"

extern char** environ;

namespace {

using orvexa::PixelBuffer;
namespace fs = std::filesystem;

struct Options {
  int count = 2000;
  int threshold = 5;
  std::string dir;
  std::string orvexa;
  bool peer = true;
  bool variants = true;
  bool keep = false;
};

// ---- Corpus ----

enum class Kind { exact, reencoded, resized, brightened };
constexpr Kind kKinds[] = {Kind::exact, Kind::reencoded, Kind::resized, Kind::brightened};

const char* kindName(Kind k) {
  switch (k) {
    case Kind::exact:
      return "exact copy";
    case Kind::reencoded:
      return "re-encoded";
    case Kind::resized:
      return "resized";
    case Kind::brightened:
      return "brightened";
  }
  return "";
}

struct Planted {
  std::string original;
  std::string variant;
  Kind kind;
};

struct Colour {
  double r, g, b;
};

Colour randomColour(std::mt19937& random) {
  std::uniform_real_distribution<double> d(0, 255);
  return {d(random), d(random), d(random)};
}

uint8_t clampByte(double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

// One distinct picture per seed.
PixelBuffer render(uint32_t seed) {
  std::mt19937 random(seed * 2654435761u + 12345u);
  static constexpr int kSizes[][2] = {{640, 480},  {800, 600}, {1024, 768},
                                      {1200, 900}, {480, 640}, {768, 1024}};
  const auto& size = kSizes[random() % 6];
  const int w = size[0];
  const int h = size[1];
  std::uniform_real_distribution<double> unit(0, 1);
  const Colour a = randomColour(random);
  const Colour b = randomColour(random);
  const double angle = unit(random) * 6.283185307;
  const double ca = std::cos(angle);
  const double sa = std::sin(angle);
  struct Shape {
    int type;  // 0 ellipse, 1 rectangle
    double cx, cy, rx, ry, opacity;
    Colour colour;
  };
  std::vector<Shape> shapes(3 + random() % 8);
  for (Shape& s : shapes) {
    s.type = static_cast<int>(random() % 2);
    s.cx = unit(random) * w;
    s.cy = unit(random) * h;
    s.rx = (0.05 + unit(random) * 0.3) * w;
    s.ry = (0.05 + unit(random) * 0.3) * h;
    s.opacity = 0.6 + unit(random) * 0.4;
    s.colour = randomColour(random);
  }
  const bool stripes = random() % 4 == 0;
  const double fx = (unit(random) - 0.5) * 0.08;
  const double fy = (unit(random) - 0.5) * 0.08;
  const double grain = unit(random) * 14;
  PixelBuffer p;
  p.width = w;
  p.height = h;
  p.rgba.resize(static_cast<size_t>(w) * static_cast<size_t>(h) * 4);
  uint32_t noise = seed | 1u;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const double t =
          std::clamp(0.5 + ((x - w / 2.0) * ca + (y - h / 2.0) * sa) / std::max(w, h), 0.0, 1.0);
      Colour c{a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
      for (const Shape& s : shapes) {
        const double dx = (x - s.cx) / s.rx;
        const double dy = (y - s.cy) / s.ry;
        const bool inside =
            s.type == 0 ? dx * dx + dy * dy <= 1 : std::abs(dx) <= 1 && std::abs(dy) <= 1;
        if (!inside) continue;
        c.r += (s.colour.r - c.r) * s.opacity;
        c.g += (s.colour.g - c.g) * s.opacity;
        c.b += (s.colour.b - c.b) * s.opacity;
      }
      double shade = 0;
      if (stripes) shade += 18 * std::sin(x * fx * 6.283 + y * fy * 6.283);
      noise ^= noise << 13;
      noise ^= noise >> 17;
      noise ^= noise << 5;
      shade += (static_cast<double>(noise % 1000) / 1000.0 - 0.5) * grain;
      uint8_t* o = p.rgba.data() +
                   (static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)) * 4;
      o[0] = clampByte(c.r + shade);
      o[1] = clampByte(c.g + shade);
      o[2] = clampByte(c.b + shade);
      o[3] = 255;
    }
  }
  return p;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes the corpus and its manifest (variant, original, kind per line).
std::vector<Planted> makeCorpus(const std::string& dir, int count) {
  const int plantedPerKind = std::max(1, count / 20);
  const int bases = count - 4 * plantedPerKind;
  std::vector<std::string> basePaths(static_cast<size_t>(bases));
  std::atomic<int> next{0};
  auto worker = [&] {
    for (int i = next++; i < bases; i = next++) {
      const uint32_t seed = static_cast<uint32_t>(i) + 1;
      const PixelBuffer picture = render(seed);
      const bool png = seed % 5 == 0;
      const std::string folder = dir + "/set" + std::to_string(i / 250);
      fs::create_directories(folder);
      const std::string path = folder + "/img" + std::to_string(i) + (png ? ".png" : ".jpg");
      writeFile(path, png ? orvexa::encodePng(picture)
                          : orvexa::encodeJpeg(picture, 85 + static_cast<int>(seed % 8)));
      basePaths[static_cast<size_t>(i)] = path;
    }
  };
  const unsigned threads = std::max(2u, std::thread::hardware_concurrency());
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) pool.emplace_back(worker);
  for (std::thread& t : pool) t.join();

  std::mt19937 random(99);
  std::vector<int> order(static_cast<size_t>(bases));
  for (int i = 0; i < bases; ++i) order[static_cast<size_t>(i)] = i;
  std::shuffle(order.begin(), order.end(), random);
  std::vector<Planted> planted;
  size_t pick = 0;
  for (Kind kind : kKinds) {
    for (int k = 0; k < plantedPerKind; ++k) {
      const std::string& original = basePaths[static_cast<size_t>(order[pick++])];
      planted.push_back({original, "", kind});
    }
  }
  next = 0;
  auto variants = [&] {
    for (int i = next++; i < static_cast<int>(planted.size()); i = next++) {
      Planted& p = planted[static_cast<size_t>(i)];
      std::mt19937 local(static_cast<uint32_t>(i) * 7919u + 1u);
      const std::string folder = dir + "/set" + std::to_string(local() % 8);
      fs::create_directories(folder);
      const std::string stem = folder + "/variant" + std::to_string(i);
      if (p.kind == Kind::exact) {
        p.variant = stem + fs::path(p.original).extension().string();
        writeFile(p.variant, readFile(p.original));
        continue;
      }
      const std::optional<PixelBuffer> source = orvexa::decodePictureFile(p.original);
      if (!source) continue;
      p.variant = stem + ".jpg";
      if (p.kind == Kind::reencoded) {
        writeFile(p.variant, orvexa::encodeJpeg(*source, 55 + static_cast<int>(local() % 21)));
      } else if (p.kind == Kind::resized) {
        const double scale = 0.4 + static_cast<double>(local() % 31) / 100.0;
        const PixelBuffer smaller =
            orvexa::resampleArea(*source, std::max(1, static_cast<int>(source->width * scale)),
                                 std::max(1, static_cast<int>(source->height * scale)));
        writeFile(p.variant, orvexa::encodeJpeg(smaller, 85));
      } else {
        const int delta =
            static_cast<int>(std::lround(255.0 * static_cast<double>(4 + local() % 9) / 100.0));
        PixelBuffer brighter = *source;
        for (size_t j = 0; j < brighter.rgba.size(); ++j) {
          if (j % 4 != 3)
            brighter.rgba[j] = static_cast<uint8_t>(std::min(255, brighter.rgba[j] + delta));
        }
        writeFile(p.variant, orvexa::encodeJpeg(brighter, 88));
      }
    }
  };
  pool.clear();
  for (unsigned t = 0; t < threads; ++t) pool.emplace_back(variants);
  for (std::thread& t : pool) t.join();

  std::ofstream manifest(dir + "/manifest.tsv");
  for (const Planted& p : planted) {
    manifest << p.variant << '\t' << p.original << '\t' << static_cast<int>(p.kind) << '\n';
  }
  return planted;
}

std::vector<Planted> readManifest(const std::string& dir) {
  std::vector<Planted> planted;
  std::ifstream in(dir + "/manifest.tsv");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    Planted p;
    int kind = 0;
    std::getline(fields, p.variant, '\t');
    std::getline(fields, p.original, '\t');
    fields >> kind;
    p.kind = static_cast<Kind>(kind);
    planted.push_back(p);
  }
  return planted;
}

size_t countPictures(const std::string& dir) {
  size_t n = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    const std::string ext = e.path().extension().string();
    if (e.is_regular_file() && (ext == ".jpg" || ext == ".png")) ++n;
  }
  return n;
}

// ---- Running the programs ----

struct RunResult {
  double seconds = 0;
  double cpuSeconds = 0;  // user + system time of the program
  int exitCode = -1;
  std::string out;
};

RunResult runProgram(const std::vector<std::string>& argv, const std::string& scratch) {
  RunResult result;
  const std::string outPath = scratch + "/out.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return result;
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  struct rusage usage {};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  result.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  const std::vector<uint8_t> bytes = readFile(outPath);
  result.out.assign(bytes.begin(), bytes.end());
  return result;
}

using Groups = std::vector<std::vector<std::string>>;

Groups groupsFromJson(const std::string& text) {
  Groups groups;
  const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
  if (doc.is_discarded()) return groups;
  for (const auto& category : doc["feature"]["categoryInfo"]) {
    for (const auto& group : category["childrens"]) {
      std::vector<std::string> members;
      for (const auto& member : group["childrens"]) {
        members.push_back(orvexa::Url::parse(member["url"].get<std::string>()).path());
      }
      groups.push_back(members);
    }
  }
  return groups;
}

// findimagedupes prints one group a line, paths separated by blanks (the
// corpus has no blanks in its paths).
Groups groupsFromLines(const std::string& text) {
  Groups groups;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::vector<std::string> members;
    std::string w;
    while (words >> w) members.push_back(w);
    if (members.size() > 1) groups.push_back(members);
  }
  return groups;
}

// ---- Scoring ----

struct Score {
  std::map<Kind, std::pair<int, int>> recall;  // found, planted
  size_t groups = 0;
  size_t pairs = 0;
  size_t falsePairs = 0;
  size_t groupsWithFalsePair = 0;
};

Score score(const Groups& groups, const std::vector<Planted>& planted) {
  std::set<std::pair<std::string, std::string>> plantedPairs;
  for (const Planted& p : planted) plantedPairs.insert(std::minmax(p.original, p.variant));
  std::set<std::pair<std::string, std::string>> found;
  Score s;
  s.groups = groups.size();
  for (const auto& g : groups) {
    bool falseOne = false;
    for (size_t i = 0; i < g.size(); ++i) {
      for (size_t j = i + 1; j < g.size(); ++j) {
        const auto pair = std::minmax(g[i], g[j]);
        found.insert(pair);
        ++s.pairs;
        if (!plantedPairs.count(pair)) {
          ++s.falsePairs;
          falseOne = true;
        }
      }
    }
    if (falseOne) ++s.groupsWithFalsePair;
  }
  for (const Planted& p : planted) {
    auto& [hit, all] = s.recall[p.kind];
    ++all;
    if (found.count(std::minmax(p.original, p.variant))) ++hit;
  }
  return s;
}

double precision(const Score& s) {
  return s.pairs
             ? 100.0 * static_cast<double>(s.pairs - s.falsePairs) / static_cast<double>(s.pairs)
             : 100.0;
}

void printScore(const char* who, const Score& s) {
  std::printf("  %-60s", who);
  for (Kind k : kKinds) {
    const auto it = s.recall.find(k);
    const auto [hit, all] = it == s.recall.end() ? std::pair<int, int>{0, 0} : it->second;
    std::printf(" %s %d/%d (%.1f%%);", kindName(k), hit, all, all ? 100.0 * hit / all : 0.0);
  }
  std::printf(
      "\n  %-60s groups %zu, false pairs %zu (%.2f%% of groups), groups with a false pair %zu, "
      "pair precision %.2f%%\n",
      "", s.groups, s.falsePairs,
      s.groups ? 100.0 * static_cast<double>(s.falsePairs) / static_cast<double>(s.groups) : 0.0,
      s.groupsWithFalsePair, precision(s));
}

// The scan in this process, waited for.
Groups scanInProcess(const std::string& dir, int threshold, double* seconds) {
  auto feature = std::make_shared<orvexa::FeatureInformation>();
  feature->finderID = 8;
  auto queue =
      std::make_shared<orvexa::SerialGCDService>(orvexa::SerialGCDService::GCDQOS::userInitiated);
  std::mutex mu;
  std::condition_variable cv;
  bool finished = false;
  const auto start = std::chrono::steady_clock::now();
  orvexa::SimilarScanService::scan(
      feature, {orvexa::Url::fromPath(dir)}, threshold, nullptr, nullptr, nullptr,
      [&](const orvexa::FeaturePtr&, int64_t) {
        std::lock_guard lock(mu);
        finished = true;
        cv.notify_all();
      },
      queue);
  {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return finished; });
  }
  *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  queue->waitUntilIdle();
  Groups groups;
  for (const orvexa::FilePtr& g : feature->categoryInfo.at(0)->childrens) {
    std::vector<std::string> members;
    for (const orvexa::FilePtr& m : g->childrens) members.push_back(m->url.path());
    groups.push_back(members);
  }
  return groups;
}

std::string defaultOrvexa() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return (self.parent_path().parent_path() / "bin" / "orvexa").string();
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  o.orvexa = defaultOrvexa();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--count")
      o.count = std::max(100, std::atoi(value().c_str()));
    else if (a == "--threshold")
      o.threshold = std::atoi(value().c_str());
    else if (a == "--dir")
      o.dir = value();
    else if (a == "--orvexa")
      o.orvexa = value();
    else if (a == "--no-peer")
      o.peer = false;
    else if (a == "--no-variants")
      o.variants = false;
    else if (a == "--keep")
      o.keep = true;
    else {
      std::fprintf(stderr,
                   "usage: %s [--count N] [--threshold N] [--dir DIR] [--orvexa PATH] [--no-peer] "
                   "[--no-variants] [--keep]\n",
                   argv[0]);
      return 2;
    }
  }
  bool temporary = false;
  if (o.dir.empty()) {
    char pattern[] = "/tmp/orvexa-bench-similar-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    o.dir = pattern;
    temporary = !o.keep;
  }
  const std::string corpus = o.dir + "/corpus";
  std::vector<Planted> planted;
  const auto genStart = std::chrono::steady_clock::now();
  if (fs::exists(corpus + "/manifest.tsv")) {
    planted = readManifest(corpus);
  } else {
    fs::create_directories(corpus);
    planted = makeCorpus(corpus, o.count);
  }
  // The manifest is not a picture; keep it out of the scanned folders' way.
  std::printf("corpus: %s: %zu pictures, %zu planted pairs (%.1f s to make or load)\n",
              corpus.c_str(), countPictures(corpus), planted.size(),
              std::chrono::duration<double>(std::chrono::steady_clock::now() - genStart).count());
  fflush(stdout);

  // 1. orvexa, as a user runs it.
  const RunResult ours = runProgram({o.orvexa, "similar-images", "--quiet", "--json", "--threshold",
                                     std::to_string(o.threshold), corpus},
                                    o.dir);
  if (ours.exitCode != 0) {
    std::fprintf(stderr, "orvexa failed (exit %d): is it built at %s?\n", ours.exitCode,
                 o.orvexa.c_str());
    return 1;
  }
  const Score ourScore = score(groupsFromJson(ours.out), planted);
  std::printf("\norvexa similar-images --threshold %d: %.2f s wall, %.2f s CPU\n", o.threshold,
              ours.seconds, ours.cpuSeconds);
  printScore("orvexa", ourScore);
  const RunResult flat =
      runProgram({o.orvexa, "similar-images", "--quiet", "--json", "--ignore-brightness",
                  "--threshold", std::to_string(o.threshold), corpus},
                 o.dir);
  const Score flatScore = score(groupsFromJson(flat.out), planted);
  std::printf("orvexa similar-images --ignore-brightness: %.2f s wall, %.2f s CPU\n", flat.seconds,
              flat.cpuSeconds);
  printScore("orvexa --ignore-brightness", flatScore);
  {
    const auto [hit, all] = flatScore.recall.at(Kind::brightened);
    const double found = all ? static_cast<double>(hit) / all : 0.0;
    std::printf(
        "targets (--ignore-brightness): brightened >= 90%%: %s (%.1f%%); pair precision "
        ">= 99%%: %s (%.2f%%)\n",
        found >= 0.9 ? "met" : "MISSED", 100.0 * found,
        precision(flatScore) >= 99.0 ? "met" : "MISSED", precision(flatScore));
  }
  fflush(stdout);

  // 2. findimagedupes, on the same corpus.
  RunResult peer;
  if (o.peer) {
    peer = runProgram({"findimagedupes", "-q", "-q", "-R", "--", corpus}, o.dir);
    if (peer.exitCode < 0) {
      std::printf("\nfindimagedupes: not run (apt-get install findimagedupes)\n");
    } else {
      std::printf("\nfindimagedupes -R (default 90%% threshold): %.2f s wall, %.2f s CPU\n",
                  peer.seconds, peer.cpuSeconds);
      printScore("findimagedupes", score(groupsFromLines(peer.out), planted));
      std::printf("\nspeed: wall %.2f s against %.2f s: %.1fx; CPU %.2f s against %.2f s: %.1fx\n",
                  ours.seconds, peer.seconds, peer.seconds / ours.seconds, ours.cpuSeconds,
                  peer.cpuSeconds, peer.cpuSeconds / ours.cpuSeconds);
    }
    fflush(stdout);
  }

  // 3. The two choices of the LSH search, in this process: the band lookup
  //    beside the random keys, and which member keys a candidate set.
  std::printf("\nin-process scan, threshold %d:\n", o.threshold);
  for (bool band : {false, true}) {
    if (!o.variants) break;
    for (bool queryFirst : {false, true}) {
      orvexa::LSHService::shard().setBandLookup(band);
      orvexa::LSHService::shard().setKeyByQueryNode(queryFirst);
      double seconds = 0;
      const Groups groups = scanInProcess(corpus, o.threshold, &seconds);
      char label[96];
      std::snprintf(label, sizeof label, "%s, %s (%.1f s)",
                    band ? "random keys + band lookup" : "random keys only",
                    queryFirst ? "keyed by query node" : "keyed in hash order", seconds);
      printScore(label, score(groups, planted));
      fflush(stdout);
    }
  }

  // Targets.
  const auto rate = [&](Kind k) {
    const auto [hit, all] = ourScore.recall.at(k);
    return all ? static_cast<double>(hit) / all : 0.0;
  };
  std::printf(
      "\ntargets (orvexa): exact 100%%: %s; re-encoded >= 90%%: %s; resized >= 90%%: %s; "
      "false pairs < 1%% of groups: %s",
      rate(Kind::exact) == 1.0 ? "met" : "MISSED", rate(Kind::reencoded) >= 0.9 ? "met" : "MISSED",
      rate(Kind::resized) >= 0.9 ? "met" : "MISSED",
      static_cast<double>(ourScore.falsePairs) < 0.01 * static_cast<double>(ourScore.groups)
          ? "met"
          : "MISSED");
  if (o.peer && peer.exitCode >= 0) {
    std::printf("; 10x faster than findimagedupes: %s",
                peer.seconds >= 10 * ours.seconds ? "met" : "MISSED");
  }
  std::printf("\n");
  if (temporary) {
    std::error_code ec;
    fs::remove_all(o.dir, ec);
  } else {
    std::printf("corpus kept in %s\n", corpus.c_str());
  }
  return 0;
}
