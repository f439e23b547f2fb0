#include "selfcon/order.hpp"

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "frame/layout.hpp"

namespace cdsec {

void order_by_distance(int np, VecView<const float> dist, VecView<int> perm, VecView<float> sorted) {
  // A placed protein is flagged rather than given a large distance, so that
  // the order stays a permutation whatever the distances are (a spectrum in
  // the wrong units can lie thousands of units away from every reference).
  std::array<bool, kMaxWorkingSet + 1> placed{};
  for (int i = 1; i <= np; ++i) {
    int cand = placed[i] ? 0 : i;
    for (int j = 2; j <= np; ++j) {
      if (placed[j]) continue;
      if (cand == 0 || dist(j) < dist(cand)) cand = j;
    }
    if (cand == 0) cand = 1;  // only when the sample itself is all that is left
    placed[cand] = true;
    perm(i) = cand;
    sorted(i) = dist(cand);
  }
}

namespace {

// Moves item perm(I) to position I for every I, following the cycles of the
// permutation so that one spare item suffices.
template <class Move>
void permute(int np, VecView<const int> perm, Move move) {
  std::array<bool, kMaxWorkingSet + 1> done{};
  for (int s = 1; s <= np; ++s) {
    if (done[s] || perm(s) == s) {
      done[s] = true;
      continue;
    }
    move(0, s);  // position s into the spare
    int j = s;
    for (;;) {
      const int k = perm(j);
      done[j] = true;
      if (k == s) {
        move(j, 0);
        break;
      }
      move(j, k);
      j = k;
    }
  }
}

}  // namespace

void ORDER(int nw, int ns, WorkingSet& ws, JobReader& job, std::ostream& report) {
  const int np = ws.np;
  Vector<kMaxWorkingSet, int> perm;
  Vector<kMaxWorkingSet> sorted;
  order_by_distance(np, ws.dist, perm, sorted);

  std::string spare_name;
  std::array<float, kMaxPointsSC> spare_cd{};
  std::array<float, 6> spare_ss{};
  permute(np, perm, [&](int to, int from) {
    std::string& dst = to == 0 ? spare_name : ws.names[static_cast<std::size_t>(to - 1)];
    std::string& src = from == 0 ? spare_name : ws.names[static_cast<std::size_t>(from - 1)];
    std::swap(dst, src);
    for (int i = 1; i <= nw; ++i) {
      float& d = to == 0 ? spare_cd[static_cast<std::size_t>(i - 1)] : ws.cd(i, to);
      d = from == 0 ? spare_cd[static_cast<std::size_t>(i - 1)] : ws.cd(i, from);
    }
    for (int j = 1; j <= ns; ++j) {
      float& d = to == 0 ? spare_ss[static_cast<std::size_t>(j - 1)] : ws.ss(to, j);
      d = from == 0 ? spare_ss[static_cast<std::size_t>(j - 1)] : ws.ss(from, j);
    }
  });
  for (int i = 1; i <= np; ++i) ws.dist(i) = sorted(i);

  int iguess = 0;
  Vector<6> guess;
  job.read_guess(ns, iguess, guess);
  // With no reference protein at all there is nothing to copy: the guess is
  // then zero (the analysis cannot succeed with so small a set anyway).
  const bool have_closest = np >= 2;
  for (int j = 1; j <= ns; ++j) ws.ss(1, j) = iguess != 0 ? guess(j) : (have_closest ? ws.ss(2, j) : 0.0f);

  put(report, R"([/, " Number of Proteins in the database=", I4, /, /, " The SAMPLE data from:  ", A4])", np, ws.names[0]);
  put(report, R"([/, /, "  Ordered DELTA(CD) values :", /, (2X, 8F8.4)])", ws.dist.first(np));
  put(report, R"([/, /, "  Ordered List of PROTEINS :", /, (8(2X, A4))])",
      std::span<const std::string>(ws.names.data(), static_cast<std::size_t>(np)));
  if (iguess == 0) {
    std::string_view closest = have_closest ? std::string_view(ws.names[1]) : std::string_view("    ");
    put(report, R"([/, /, " IGUESS = 0; The structure of the Protein with", " closest CD spectrum:", 1X, A4, /])",
        closest);
  } else {
    put(report, R"([/, /, " IGUESS = 1; User supplied Initial Guess", /])");
  }
  Vector<6> row;
  for (int j = 1; j <= ns; ++j) row(j) = ws.ss(1, j);
  put(report, R"([" Initial Guess:", 6F8.3])", row.first(ns));
}

}  // namespace cdsec
