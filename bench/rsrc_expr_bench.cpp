// Speed of resource-expression matching as a resource search uses it: one
// visaMatchRsrcExpr call (compile and match) per resource name, over about a
// million realistic names, beside general regular-expression engines doing the
// same work with the equivalent case-blind, anchored expression, compiled per
// call and compiled once. Also the time of patterns that make backtracking
// matchers explode, on 255-character names that do not match.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "zyvisa_match.h"

#ifdef ZYVISA_HAVE_PCRE2
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#endif
#ifdef ZYVISA_HAVE_RE2
#include <re2/re2.h>
#endif

namespace {

struct Expression {
  const char* ours;
  const char* regex;  // the same language; case is ignored by each engine's option
};
const Expression kExpressions[] = {
    {"?*INSTR", ".*INSTR"},
    {"GPIB[0-9]*::?*INSTR", "GPIB[0-9]*::.*INSTR"},
    {"(GPIB|VXI|PXI)?*INSTR", "(?:GPIB|VXI|PXI).*INSTR"},
    {"USB?*::0x1234::?*", "USB.*::0x1234::.*"},
};

// Names are packed, zero-terminated, into one buffer so that every engine
// reads them with the same cache behaviour.
class Names {
 public:
  Names() {
    std::mt19937 rng(20260612);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    char buf[128];
    constexpr size_t kCount = size_t{1} << 20;
    offsets_.reserve(kCount);
    for (size_t i = 0; i < kCount; ++i) {
      switch (pick(8)) {
        case 0:
          std::snprintf(buf, sizeof buf, "GPIB%d::%d::INSTR", pick(4), pick(31));
          break;
        case 1:
          std::snprintf(buf, sizeof buf, "GPIB%d::%d::%d::INSTR", pick(2), pick(31), 96 + pick(31));
          break;
        case 2:
          std::snprintf(buf, sizeof buf, "ASRL%d::INSTR", 1 + pick(32));
          break;
        case 3:
          std::snprintf(buf, sizeof buf, "TCPIP%d::192.168.%d.%d::inst%d::INSTR", pick(2),
                        pick(256), pick(256), pick(4));
          break;
        case 4:
          std::snprintf(buf, sizeof buf, "TCPIP0::10.0.%d.%d::%d::SOCKET", pick(256), pick(256),
                        5025 + pick(8));
          break;
        case 5:
          std::snprintf(buf, sizeof buf, "USB%d::0x%04X::0x%04X::SN%d::INSTR", pick(2),
                        pick(2) ? 0x1234 : pick(0x10000), pick(0x10000), pick(100000));
          break;
        case 6:
          std::snprintf(buf, sizeof buf, "PXI%d::%d-%d.%d::INSTR", pick(2), pick(20), pick(32),
                        pick(8));
          break;
        default:
          std::snprintf(buf, sizeof buf, "VXI%d::%d::INSTR", pick(2), pick(256));
          break;
      }
      // Users and drivers spell names in either case.
      if (pick(4) == 0) {
        for (char* c = buf; *c; ++c) {
          if (*c >= 'A' && *c <= 'Z' && pick(2)) *c = static_cast<char>(*c + 32);
        }
      }
      offsets_.push_back(text_.size());
      text_.append(buf).push_back('\0');
    }
  }
  size_t size() const { return offsets_.size(); }
  const char* operator[](size_t i) const { return text_.data() + offsets_[i]; }
  size_t length(size_t i) const {
    const size_t end = i + 1 < offsets_.size() ? offsets_[i + 1] : text_.size();
    return end - offsets_[i] - 1;
  }

 private:
  std::string text_;
  std::vector<size_t> offsets_;
};

const Names& AllNames() {
  static const Names names;
  return names;
}

// Runs one matcher over the names in turn and reports the share that matched,
// which must be the same for every engine on the same expression.
template <typename MatchFn>
void RunOverNames(benchmark::State& state, MatchFn&& match) {
  const Names& names = AllNames();
  size_t i = 0;
  int64_t matched = 0;
  for (auto _ : state) {
    matched += match(names[i], names.length(i)) ? 1 : 0;
    if (++i == names.size()) i = 0;
  }
  state.counters["matched"] =
      benchmark::Counter(static_cast<double>(matched) / static_cast<double>(state.iterations()));
}

void BM_Zyvisa(benchmark::State& state) {
  const char* expression = kExpressions[state.range(0)].ours;
  RunOverNames(state, [&](const char* name, size_t) {
    ViBoolean attribute = 0;
    return visaMatchRsrcExpr(1, expression, name, &attribute) == VI_SUCCESS;
  });
}
BENCHMARK(BM_Zyvisa)->DenseRange(0, 3);

void BM_StdRegexPerCall(benchmark::State& state) {
  const char* text = kExpressions[state.range(0)].regex;
  RunOverNames(state, [&](const char* name, size_t length) {
    const std::regex re(text, std::regex::ECMAScript | std::regex::icase);
    return std::regex_match(name, name + length, re);
  });
}
BENCHMARK(BM_StdRegexPerCall)->DenseRange(0, 3);

void BM_StdRegexOnce(benchmark::State& state) {
  const std::regex re(kExpressions[state.range(0)].regex,
                      std::regex::ECMAScript | std::regex::icase);
  RunOverNames(state, [&](const char* name, size_t length) {
    return std::regex_match(name, name + length, re);
  });
}
BENCHMARK(BM_StdRegexOnce)->DenseRange(0, 3);

#ifdef ZYVISA_HAVE_PCRE2
// Interpreted (no JIT): the per-call case cannot amortise JIT compilation.
constexpr uint32_t kPcre2Options =
    PCRE2_CASELESS | PCRE2_DOTALL | PCRE2_ANCHORED | PCRE2_ENDANCHORED;

pcre2_code* Pcre2Compile(const char* text) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(text), PCRE2_ZERO_TERMINATED,
                                   kPcre2Options, &error, &offset, nullptr);
  if (!code) std::abort();
  return code;
}

void BM_Pcre2PerCall(benchmark::State& state) {
  const char* text = kExpressions[state.range(0)].regex;
  RunOverNames(state, [&](const char* name, size_t length) {
    pcre2_code* code = Pcre2Compile(text);
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
    const int rc =
        pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(name), length, 0, 0, data, nullptr);
    pcre2_match_data_free(data);
    pcre2_code_free(code);
    return rc >= 0;
  });
}
BENCHMARK(BM_Pcre2PerCall)->DenseRange(0, 3);

void BM_Pcre2Once(benchmark::State& state) {
  pcre2_code* code = Pcre2Compile(kExpressions[state.range(0)].regex);
  pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
  RunOverNames(state, [&](const char* name, size_t length) {
    return pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(name), length, 0, 0, data, nullptr) >= 0;
  });
  pcre2_match_data_free(data);
  pcre2_code_free(code);
}
BENCHMARK(BM_Pcre2Once)->DenseRange(0, 3);
#endif

#ifdef ZYVISA_HAVE_RE2
RE2::Options Re2Options() {
  RE2::Options options;
  options.set_case_sensitive(false);
  options.set_dot_nl(true);
  options.set_encoding(RE2::Options::EncodingLatin1);
  options.set_log_errors(false);
  return options;
}

void BM_Re2PerCall(benchmark::State& state) {
  const char* text = kExpressions[state.range(0)].regex;
  const RE2::Options options = Re2Options();
  RunOverNames(state, [&](const char* name, size_t length) {
    const RE2 re(text, options);
    return RE2::FullMatch(re2::StringPiece(name, length), re);
  });
}
BENCHMARK(BM_Re2PerCall)->DenseRange(0, 3);

void BM_Re2Once(benchmark::State& state) {
  const RE2 re(kExpressions[state.range(0)].regex, Re2Options());
  RunOverNames(state, [&](const char* name, size_t length) {
    return RE2::FullMatch(re2::StringPiece(name, length), re);
  });
}
BENCHMARK(BM_Re2Once)->DenseRange(0, 3);
#endif

// Patterns that are exponential for a backtracking matcher, on a name they
// cannot match; the reference is the ordinary '?*INSTR' on the same name.
const char* const kAdversarial[] = {"(A|AA)*B", "(A*)*B", "(?*)*X", "?*INSTR"};

void BM_ZyvisaAdversarial(benchmark::State& state) {
  const char* expression = kAdversarial[state.range(0)];
  const std::string name(255, 'A');
  for (auto _ : state) {
    ViBoolean attribute = 0;
    const ViStatus status = visaMatchRsrcExpr(1, expression, name.c_str(), &attribute);
    if (status != VI_ERROR_RSRC_NFOUND) std::abort();
    benchmark::DoNotOptimize(status);
  }
}
BENCHMARK(BM_ZyvisaAdversarial)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

}  // namespace
