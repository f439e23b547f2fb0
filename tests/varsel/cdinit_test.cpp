// The fitting of a job's range to a reference set's.  The loading of a job
// (the sample left out of the references, scale factors not applied, the
// report's lines) is pinned by the KESTRA golden cases sample_is_reference,
// clipped_range_set3 and range_outside_set.
#include "varsel/cdinit.hpp"

#include <gtest/gtest.h>

namespace {

TEST(FitRange, Cases) {
  struct Case {
    float first, last, set_long, set_short;
    bool clipped;
    int offset, nw;
  } cases[] = {{260, 178, 240, 185, true, 20, 56},
               {250, 170, 260, 178, true, 0, 73},
               {240, 190, 240, 185, false, 0, 51},
               {241.5f, 184.6f, 240, 185, true, 1, 56}};
  for (const Case& c : cases) {
    const auto r = cdsec::fit_range(c.first, c.last, c.set_long, c.set_short);
    EXPECT_EQ(r.clipped, c.clipped) << c.first << " " << c.last;
    EXPECT_EQ(r.sample_offset, c.offset) << c.first << " " << c.last;
    EXPECT_EQ(r.nw, c.nw) << c.first << " " << c.last;
  }
  EXPECT_EQ(cdsec::job_point_count(200, 200), 1);
  EXPECT_EQ(cdsec::job_point_count(180, 200), 0);
  EXPECT_EQ(cdsec::job_point_count(240.5f, 185), 56);
  EXPECT_EQ(cdsec::job_point_count(1.0e9f, 0), 1000000);
}

}  // namespace
