#include "varsel/random.hpp"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <ctime>

#include "frame/platform.hpp"
#include "frame/text_input.hpp"

namespace cdsec {

float FCTRL(int n) {
  float f = 1.0f;
  for (int i = 1; i <= n; ++i) f = f * static_cast<float>(i);
  return f;
}

int trial_budget(int nbascd, int icombf) {
  if (nbascd > 20) return icombf;
  // The quotient of the two float factorials, formed in double precision
  // and truncated: exact enough to give 0 below 8 proteins (every factorial
  // of a count below 1 is 1) and the float-rounded counts above 13.
  double count = static_cast<double>(FCTRL(nbascd)) /
                 (40320.0 * static_cast<double>(FCTRL(nbascd - kNsel)));
  int combinations = static_cast<int>(count);
  return icombf > combinations ? combinations : icombf;
}

std::uint32_t time_of_day_seed() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t secs = system_clock::to_time_t(now);
  const std::tm local = cdsec::os::local_time(secs);
  auto hundredths = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000 / 10;
  return static_cast<std::uint32_t>(local.tm_hour * 360000 + local.tm_min * 6000 + local.tm_sec * 100 +
                                    static_cast<int>(hundredths));
}

std::optional<std::uint32_t> fixed_seed_from(const char* value, std::string* complaint) {
  if (value == nullptr) return std::nullopt;
  std::string_view text(value);
  auto b = text.find_first_not_of(" \t");
  if (b == std::string_view::npos) return std::nullopt;
  text = text.substr(b, text.find_last_not_of(" \t") - b + 1);
  long long v = 0;
  if (!parse_int(text, v)) {
    if (complaint) *complaint = "KESTRA_SEED=\"" + std::string(value) + "\" is not an integer; seeding from the clock";
    return std::nullopt;
  }
  // A seed must fit in 32 bits (as a signed or an unsigned number); a larger
  // one would be cut to its low bits and repeat another seed's run.
  if (v < -2147483648LL || v > 4294967295LL) {
    if (complaint)
      *complaint = "KESTRA_SEED=\"" + std::string(value) +
                   "\" does not fit in 32 bits (-2147483648 to 4294967295); seeding from the clock";
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(static_cast<unsigned long long>(v));
}

// ---------------------------------------------------------------- history

CombinationHistory::CombinationHistory()
    : rows_(std::make_unique<Matrix<kMaxTrials, kNsel, int>>()), slots_(std::size_t{1} << kSlotBits, 0) {}

void CombinationHistory::clear() { std::fill(slots_.begin(), slots_.end(), 0); }

std::uint64_t CombinationHistory::key(const int* sorted) {
  // Protein numbers are at most 50: eight bits each, and never all zero.
  std::uint64_t k = 0;
  for (int j = 0; j < kNsel; ++j) k |= static_cast<std::uint64_t>(sorted[j] & 0xff) << (8 * j);
  return k;
}

namespace {
inline std::size_t home_slot(std::uint64_t key, int bits) {
  return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits));
}
}  // namespace

bool CombinationHistory::contains(const int* sorted) const {
  const std::uint64_t k = key(sorted);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t s = home_slot(k, kSlotBits);; s = (s + 1) & mask) {
    if (slots_[s] == k) return true;
    if (slots_[s] == 0) return false;
  }
}

void CombinationHistory::store(int icomb, const int* sorted) {
  assert(icomb >= 1 && icomb <= kMaxTrials);
  for (int j = 1; j <= kNsel; ++j) (*rows_)(icomb, j) = sorted[j - 1];
  const std::uint64_t k = key(sorted);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t s = home_slot(k, kSlotBits);; s = (s + 1) & mask) {
    if (slots_[s] == k) return;
    if (slots_[s] == 0) {
      slots_[s] = k;
      return;
    }
  }
}

// ---------------------------------------------------------------- RNDM

void draw_combination(int nbascd, int nsel, int icomb, UniformSource& rng, CombinationHistory& history,
                      int* order, int* sorted) {
  assert(nsel == kNsel && nbascd >= nsel);
  for (;;) {
    for (int i = 0; i < nsel; ++i) {
      int p;
      bool repeat;
      do {
        float r = rng.uniform();
        p = static_cast<int>(static_cast<double>(nbascd) * static_cast<double>(r)) + 1;
        repeat = false;
        for (int k = 0; k < i; ++k)
          if (order[k] == p) repeat = true;
      } while (repeat);
      order[i] = p;
    }
    // Selection sort of a copy: the drawing order stays, as the order the
    // decomposition sees the proteins in.
    for (int i = 0; i < nsel; ++i) sorted[i] = order[i];
    for (int i = 0; i < nsel; ++i) {
      int m = i;
      for (int k = i + 1; k < nsel; ++k)
        if (sorted[k] < sorted[m]) m = k;
      std::swap(sorted[i], sorted[m]);
    }
    if (icomb > 1 && history.contains(sorted)) continue;
    history.store(icomb, sorted);
    return;
  }
}

void load_combination(int nsel, int nwave, int nsstr, MatrixView<const float> refcd, MatrixView<const float> refss,
                      const int* order, MatrixView<float> a, MatrixView<float> f) {
  for (int i = 1; i <= nsel; ++i) {
    const int p = order[i - 1];
    std::copy_n(refcd.column(p).data(), nwave, a.column(i).data());
    for (int j = 1; j <= nsstr; ++j) f(i, j) = refss(p, j);
  }
}

void RNDM(int nbascd, int nsel, int nwave, int nsstr, MatrixView<const float> refcd,
          MatrixView<const float> refss, int icomb, UniformSource& rng, CombinationHistory& history,
          VecView<int> drawn, MatrixView<float> a, MatrixView<float> f) {
  int order[kNsel];
  draw_combination(nbascd, nsel, icomb, rng, history, order, drawn.data());
  load_combination(nsel, nwave, nsstr, refcd, refss, order, a, f);
}

}  // namespace cdsec
