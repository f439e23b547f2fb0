// Ordering of the working set: the selection's tie rules, the permutation of
// every part of the working set and an unreadable guess.  The guess options,
// five-class sets and the report lines are pinned by the MORVAN3 golden cases.
#include "selfcon/order.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/scratch_dir.hpp"

namespace {

using cdsec::Vector;

std::vector<int> order_of(const std::vector<float>& d) {
  Vector<51> dist;
  for (std::size_t i = 0; i < d.size(); ++i) dist(static_cast<int>(i) + 1) = d[i];
  Vector<51, int> perm;
  Vector<51> sorted;
  cdsec::order_by_distance(static_cast<int>(d.size()), dist, perm, sorted);
  std::vector<int> out;
  for (std::size_t i = 1; i <= d.size(); ++i) {
    out.push_back(perm(static_cast<int>(i)));
    EXPECT_EQ(sorted(static_cast<int>(i)), d[static_cast<std::size_t>(perm(static_cast<int>(i))) - 1]);
  }
  return out;
}

TEST(OrderSelection, TiesGoToThePositionItselfThenTheLowestNumber) {
  EXPECT_EQ(order_of({0, 5, 3, 3}), (std::vector<int>{1, 3, 4, 2}));
  EXPECT_EQ(order_of({0, 5, 3, 5, 3}), (std::vector<int>{1, 3, 5, 4, 2}));
  EXPECT_EQ(order_of({0, 2, 2, 2}), (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(order_of({0, 4, 1, 3, 2}), (std::vector<int>{1, 3, 5, 4, 2}));
  EXPECT_EQ(order_of({0}), (std::vector<int>{1}));
  // A spectrum in the wrong units lies thousands of units from every
  // reference; the order must still place every protein exactly once.
  EXPECT_EQ(order_of({0, 5000, 1200, 999, 3000}), (std::vector<int>{1, 4, 3, 5, 2}));
}

class OrderJob : public ::testing::Test {
 protected:
  void SetUp() override {
    ws_.np = 4;
    const float d[] = {0.0f, 5.0f, 3.0f, 3.0f};
    const char* names[] = {"TEST", "PB  ", "PC  ", "PD  "};
    for (int p = 1; p <= 4; ++p) {
      ws_.dist(p) = d[p - 1];
      ws_.names[static_cast<std::size_t>(p - 1)] = names[p - 1];
      for (int i = 1; i <= 3; ++i) ws_.cd(i, p) = static_cast<float>(10 * p + i);
      for (int j = 1; j <= 6; ++j) ws_.ss(p, j) = p == 1 ? 0.0f : static_cast<float>(p) / 10.0f + j / 100.0f;
    }
  }

  std::string run(const std::string& guess_line, int ns = 6) {
    const auto path = dir_ / "INPUT";
    std::ofstream(path) << guess_line;
    cdsec::LineReader in;
    in.open(path.string(), "INPUT");
    cdsec::JobReader job(in);
    std::ostringstream report;
    cdsec::ORDER(3, ns, ws_, job, report);
    return report.str();
  }

  cdsec_test::ScratchDir scratch_{"order"};
  const std::filesystem::path& dir_ = scratch_.path();
  cdsec::WorkingSet ws_;
};

TEST_F(OrderJob, PermutesNamesSpectraStructuresAndDistances) {
  run("       0\n");
  const char* want_names[] = {"TEST", "PC  ", "PD  ", "PB  "};
  const int from[] = {1, 3, 4, 2};
  for (int p = 1; p <= 4; ++p) {
    EXPECT_EQ(ws_.names[static_cast<std::size_t>(p - 1)], want_names[p - 1]);
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(ws_.cd(i, p), static_cast<float>(10 * from[p - 1] + i));
    if (p == 1) continue;
    for (int j = 1; j <= 6; ++j) EXPECT_FLOAT_EQ(ws_.ss(p, j), from[p - 1] / 10.0f + j / 100.0f);
  }
  const float dist[] = {0.0f, 3.0f, 3.0f, 5.0f};
  for (int p = 1; p <= 4; ++p) EXPECT_EQ(ws_.dist(p), dist[p - 1]) << p;
  // Rows beyond the points in use are not touched.
  EXPECT_EQ(ws_.cd(4, 2), 0.0f);
}

TEST_F(OrderJob, UnreadableGuessIsAReadError) {
  EXPECT_THROW(run("   0   0.1x0\n"), cdsec::ReadError);
}

}  // namespace
