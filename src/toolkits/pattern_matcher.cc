#include "toolkits/pattern_matcher.h"

#include <bitset>
#include <cctype>
#include <cstdint>

namespace orvexa::toolkits {
namespace {

using ByteSet = std::bitset<256>;

// Larger programs (huge counted repeats) are refused rather than built.
constexpr size_t kMaxInstructions = 100000;
constexpr int kMaxRepeat = 1000;

struct Node {
  enum class Kind {
    set,
    concat,
    alternate,
    repeat,
    empty,
    begin,
    end,
    wordBoundary,
    notWordBoundary
  };
  Kind kind = Kind::empty;
  ByteSet set;
  std::vector<Node> children;
  int min = 0;
  int max = -1;  // -1: unbounded
  bool greedy = true;
};

bool isWordByte(unsigned char c) { return std::isalnum(c) != 0 || c == '_'; }

ByteSet classOf(char letter) {
  ByteSet set;
  for (int c = 0; c < 256; ++c) {
    const auto b = static_cast<unsigned char>(c);
    bool in = false;
    switch (letter) {
      case 'd':
      case 'D':
        in = b >= '0' && b <= '9';
        break;
      case 'w':
      case 'W':
        in = isWordByte(b);
        break;
      case 's':
      case 'S':
        in = b == ' ' || b == '\t' || b == '\n' || b == '\r' || b == '\f' || b == '\v';
        break;
      default:
        break;
    }
    set[static_cast<size_t>(c)] = in;
  }
  if (std::isupper(static_cast<unsigned char>(letter)) != 0) set.flip();
  return set;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class Parser {
 public:
  Parser(std::string_view pattern, bool caseInsensitive)
      : p_(pattern), caseInsensitive_(caseInsensitive) {}

  std::optional<Node> parse() {
    std::optional<Node> node = alternation();
    if (!node || pos_ != p_.size()) return std::nullopt;
    return node;
  }

 private:
  bool atEnd() const { return pos_ >= p_.size(); }
  char peek() const { return p_[pos_]; }

  ByteSet single(unsigned char c) const {
    ByteSet set;
    set[c] = true;
    if (caseInsensitive_ && std::isalpha(c) != 0) {
      set[static_cast<unsigned char>(std::tolower(c))] = true;
      set[static_cast<unsigned char>(std::toupper(c))] = true;
    }
    return set;
  }

  std::optional<Node> alternation() {
    Node alt;
    alt.kind = Node::Kind::alternate;
    for (;;) {
      std::optional<Node> branch = concatenation();
      if (!branch) return std::nullopt;
      alt.children.push_back(std::move(*branch));
      if (atEnd() || peek() != '|') break;
      ++pos_;
    }
    if (alt.children.size() == 1) return std::move(alt.children.front());
    return alt;
  }

  std::optional<Node> concatenation() {
    Node cat;
    cat.kind = Node::Kind::concat;
    while (!atEnd() && peek() != '|' && peek() != ')') {
      std::optional<Node> item = repetition();
      if (!item) return std::nullopt;
      cat.children.push_back(std::move(*item));
    }
    return cat;
  }

  // "{n}", "{n,}" or "{n,m}" at pos_; nothing (pos_ unchanged) otherwise.
  bool countedQuantifier(int* min, int* max) {
    size_t at = pos_ + 1;
    auto number = [&](int* out) {
      size_t start = at;
      long value = 0;
      while (at < p_.size() && std::isdigit(static_cast<unsigned char>(p_[at])) != 0) {
        value = value * 10 + (p_[at] - '0');
        if (value > kMaxRepeat) value = kMaxRepeat + 1;
        ++at;
      }
      *out = static_cast<int>(value);
      return at > start;
    };
    if (!number(min)) return false;
    *max = *min;
    if (at < p_.size() && p_[at] == ',') {
      ++at;
      if (!number(max)) *max = -1;
    }
    if (at >= p_.size() || p_[at] != '}') return false;
    pos_ = at + 1;
    return true;
  }

  std::optional<Node> repetition() {
    std::optional<Node> atomNode = atom();
    if (!atomNode) return std::nullopt;
    for (;;) {
      if (atEnd()) return atomNode;
      int min = 0;
      int max = -1;
      const char c = peek();
      if (c == '*') {
        ++pos_;
      } else if (c == '+') {
        min = 1;
        ++pos_;
      } else if (c == '?') {
        max = 1;
        ++pos_;
      } else if (c == '{' && countedQuantifier(&min, &max)) {
        if (min > kMaxRepeat || max > kMaxRepeat || (max >= 0 && max < min)) return std::nullopt;
      } else {
        return atomNode;
      }
      bool greedy = true;
      if (!atEnd() && peek() == '?') {
        greedy = false;
        ++pos_;
      } else if (!atEnd() && peek() == '+') {
        return std::nullopt;  // possessive quantifiers are not supported
      }
      Node rep;
      rep.kind = Node::Kind::repeat;
      rep.min = min;
      rep.max = max;
      rep.greedy = greedy;
      rep.children.push_back(std::move(*atomNode));
      atomNode = std::move(rep);
    }
  }

  // An escape after "\" (pos_ at the letter), as a set; nothing for an
  // unknown escaped letter. Assertions are handled by the caller.
  std::optional<ByteSet> escapeSet() {
    if (atEnd()) return std::nullopt;
    const char c = p_[pos_++];
    switch (c) {
      case 'd':
      case 'D':
      case 'w':
      case 'W':
      case 's':
      case 'S':
        return classOf(c);
      case 'n':
        return single('\n');
      case 't':
        return single('\t');
      case 'r':
        return single('\r');
      case 'f':
        return single('\f');
      case 'v':
        return single('\v');
      case '0':
        return single('\0');
      case 'x': {
        if (pos_ + 2 > p_.size()) return std::nullopt;
        const int hi = hexValue(p_[pos_]);
        const int lo = hexValue(p_[pos_ + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        pos_ += 2;
        return single(static_cast<unsigned char>(hi * 16 + lo));
      }
      default:
        if (std::isalnum(static_cast<unsigned char>(c)) != 0) return std::nullopt;
        return single(static_cast<unsigned char>(c));
    }
  }

  std::optional<Node> bracketClass() {
    ++pos_;  // '['
    bool negate = false;
    if (!atEnd() && peek() == '^') {
      negate = true;
      ++pos_;
    }
    ByteSet set;
    bool first = true;
    for (;;) {
      if (atEnd()) return std::nullopt;
      char c = peek();
      if (c == ']' && !first) {
        ++pos_;
        break;
      }
      first = false;
      // One member: a byte (possibly the start of a range) or a class.
      std::optional<unsigned char> low;
      if (c == '\\') {
        ++pos_;
        if (atEnd()) return std::nullopt;
        const char e = peek();
        if (e == 'b') {
          ++pos_;
          low = '\b';
        } else {
          std::optional<ByteSet> member = escapeSet();
          if (!member) return std::nullopt;
          if (member->count() > 2 || std::string_view("dDwWsS").find(e) != std::string_view::npos) {
            set |= *member;
            continue;
          }
          // A single byte (maybe with its other case): find it.
          for (size_t b = 0; b < 256; ++b) {
            if ((*member)[b]) {
              low = static_cast<unsigned char>(b);
              break;
            }
          }
        }
      } else {
        ++pos_;
        low = static_cast<unsigned char>(c);
      }
      if (pos_ + 1 < p_.size() && peek() == '-' && p_[pos_ + 1] != ']') {
        ++pos_;
        unsigned char high = 0;
        if (peek() == '\\') {
          ++pos_;
          std::optional<ByteSet> member = escapeSet();
          if (!member || member->count() == 0 || member->count() > 2) return std::nullopt;
          for (size_t b = 0; b < 256; ++b) {
            if ((*member)[b]) {
              high = static_cast<unsigned char>(b);
              break;
            }
          }
        } else {
          high = static_cast<unsigned char>(p_[pos_++]);
        }
        if (high < *low) return std::nullopt;
        for (unsigned b = *low; b <= high; ++b) set |= single(static_cast<unsigned char>(b));
      } else {
        set |= single(*low);
      }
    }
    if (negate) set.flip();
    Node node;
    node.kind = Node::Kind::set;
    node.set = set;
    return node;
  }

  std::optional<Node> atom() {
    const char c = peek();
    Node node;
    switch (c) {
      case '(': {
        ++pos_;
        if (pos_ + 1 < p_.size() && peek() == '?') {
          if (p_[pos_ + 1] != ':') return std::nullopt;
          pos_ += 2;
        }
        std::optional<Node> inner = alternation();
        if (!inner || atEnd() || peek() != ')') return std::nullopt;
        ++pos_;
        return inner;
      }
      case ')':
      case '*':
      case '+':
      case '?':
        return std::nullopt;
      case '[':
        return bracketClass();
      case '.':
        ++pos_;
        node.kind = Node::Kind::set;
        node.set.set();
        node.set['\n'] = false;
        node.set['\r'] = false;
        return node;
      case '^':
        ++pos_;
        node.kind = Node::Kind::begin;
        return node;
      case '$':
        ++pos_;
        node.kind = Node::Kind::end;
        return node;
      case '\\': {
        ++pos_;
        if (!atEnd() && (peek() == 'b' || peek() == 'B')) {
          node.kind = peek() == 'b' ? Node::Kind::wordBoundary : Node::Kind::notWordBoundary;
          ++pos_;
          return node;
        }
        std::optional<ByteSet> set = escapeSet();
        if (!set) return std::nullopt;
        node.kind = Node::Kind::set;
        node.set = *set;
        return node;
      }
      default:
        ++pos_;
        node.kind = Node::Kind::set;
        node.set = single(static_cast<unsigned char>(c));
        return node;
    }
  }

  std::string_view p_;
  bool caseInsensitive_;
  size_t pos_ = 0;
};

}  // namespace

struct PatternMatcher::Program {
  enum class Op : uint8_t { byte, split, jump, match, begin, end, wordBoundary, notWordBoundary };
  struct Inst {
    Op op = Op::match;
    size_t x = 0;  // jump target; preferred branch of a split
    size_t y = 0;  // other branch of a split
    ByteSet set;
  };
  std::vector<Inst> code;

  bool emit(const Node& node) {
    if (code.size() > kMaxInstructions) return false;
    switch (node.kind) {
      case Node::Kind::set:
        code.push_back({Op::byte, 0, 0, node.set});
        return true;
      case Node::Kind::empty:
        return true;
      case Node::Kind::begin:
        code.push_back({Op::begin, 0, 0, {}});
        return true;
      case Node::Kind::end:
        code.push_back({Op::end, 0, 0, {}});
        return true;
      case Node::Kind::wordBoundary:
        code.push_back({Op::wordBoundary, 0, 0, {}});
        return true;
      case Node::Kind::notWordBoundary:
        code.push_back({Op::notWordBoundary, 0, 0, {}});
        return true;
      case Node::Kind::concat:
        for (const Node& child : node.children) {
          if (!emit(child)) return false;
        }
        return true;
      case Node::Kind::alternate: {
        std::vector<size_t> jumps;
        for (size_t i = 0; i < node.children.size(); ++i) {
          const bool last = i + 1 == node.children.size();
          size_t split = 0;
          if (!last) {
            split = code.size();
            code.push_back({Op::split, split + 1, 0, {}});
          }
          if (!emit(node.children[i])) return false;
          if (!last) {
            jumps.push_back(code.size());
            code.push_back({Op::jump, 0, 0, {}});
            code[split].y = code.size();
          }
        }
        for (size_t j : jumps) code[j].x = code.size();
        return true;
      }
      case Node::Kind::repeat: {
        const Node& body = node.children.front();
        for (int i = 0; i < node.min; ++i) {
          if (!emit(body)) return false;
        }
        if (node.max < 0) {
          const size_t split = code.size();
          code.push_back({Op::split, 0, 0, {}});
          if (!emit(body)) return false;
          code.push_back({Op::jump, split, 0, {}});
          branch(split, split + 1, code.size(), node.greedy);
          return true;
        }
        std::vector<size_t> splits;
        for (int i = node.min; i < node.max; ++i) {
          splits.push_back(code.size());
          code.push_back({Op::split, 0, 0, {}});
          if (!emit(body)) return false;
        }
        for (size_t s : splits) branch(s, s + 1, code.size(), node.greedy);
        return true;
      }
    }
    return false;
  }

  void branch(size_t at, size_t body, size_t out, bool greedy) {
    code[at].x = greedy ? body : out;
    code[at].y = greedy ? out : body;
  }
};

std::optional<PatternMatcher> PatternMatcher::compile(std::string_view pattern,
                                                      bool caseInsensitive) {
  std::optional<Node> tree = Parser(pattern, caseInsensitive).parse();
  if (!tree) return std::nullopt;
  auto program = std::make_shared<Program>();
  if (!program->emit(*tree) || program->code.size() > kMaxInstructions) return std::nullopt;
  program->code.push_back({Program::Op::match, 0, 0, {}});
  return PatternMatcher(std::move(program));
}

std::optional<std::pair<size_t, size_t>> PatternMatcher::search(std::string_view text,
                                                                size_t from) const {
  using Op = Program::Op;
  const std::vector<Program::Inst>& code = program_->code;
  const size_t n = text.size();
  if (from > n) return std::nullopt;

  struct Thread {
    size_t pc;
    size_t start;
  };
  std::vector<Thread> current;
  std::vector<Thread> next;
  // onList[pc] == position + 1 while pc is on the list of that position.
  std::vector<size_t> onList(code.size(), 0);
  std::vector<size_t> stack;

  auto wordAt = [&](size_t i) { return i < n && isWordByte(static_cast<unsigned char>(text[i])); };
  // Adds pc and everything reachable from it without consuming a byte, in
  // priority order.
  auto add = [&](std::vector<Thread>& list, size_t pc, size_t pos, size_t start) {
    stack.clear();
    stack.push_back(pc);
    while (!stack.empty()) {
      const size_t at = stack.back();
      stack.pop_back();
      if (onList[at] == pos + 1) continue;
      onList[at] = pos + 1;
      const Program::Inst& inst = code[at];
      switch (inst.op) {
        case Op::jump:
          stack.push_back(inst.x);
          break;
        case Op::split:
          stack.push_back(inst.y);
          stack.push_back(inst.x);
          break;
        case Op::begin:
          if (pos == 0) stack.push_back(at + 1);
          break;
        case Op::end:
          if (pos == n) stack.push_back(at + 1);
          break;
        case Op::wordBoundary:
        case Op::notWordBoundary: {
          const bool boundary = (pos > 0 && wordAt(pos - 1)) != wordAt(pos);
          if (boundary == (inst.op == Op::wordBoundary)) stack.push_back(at + 1);
          break;
        }
        case Op::byte:
        case Op::match:
          list.push_back({at, start});
          break;
      }
    }
  };

  std::optional<std::pair<size_t, size_t>> found;
  for (size_t pos = from;; ++pos) {
    // A new attempt starting here, behind every attempt that started earlier.
    if (!found) add(current, 0, pos, pos);
    if (current.empty() && found) break;
    next.clear();
    for (const Thread& thread : current) {
      const Program::Inst& inst = code[thread.pc];
      if (inst.op == Op::match) {
        found = std::make_pair(thread.start, pos - thread.start);
        break;  // lower-priority threads lose to this match
      }
      if (pos < n && inst.set[static_cast<unsigned char>(text[pos])]) {
        add(next, thread.pc + 1, pos + 1, thread.start);
      }
    }
    current.swap(next);
    if (pos >= n) break;  // nothing is left to consume
  }
  return found;
}

std::vector<std::string> PatternMatcher::allMatches(std::string_view text) const {
  std::vector<std::string> matches;
  size_t from = 0;
  while (from <= text.size()) {
    std::optional<std::pair<size_t, size_t>> match = search(text, from);
    if (!match) break;
    matches.emplace_back(text.substr(match->first, match->second));
    from = match->first + (match->second > 0 ? match->second : 1);
  }
  return matches;
}

}  // namespace orvexa::toolkits
