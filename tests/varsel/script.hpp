// A generator for the variable-selection tests: it returns the reals that
// draw the given proteins (numbered from 1) out of n, and fails when asked
// for more than the script holds.
#pragma once

#include <stdexcept>
#include <vector>

#include "varsel/random.hpp"

namespace cdsec_test {

class Script final : public cdsec::UniformSource {
 public:
  Script(const std::vector<int>& proteins, int n) {
    for (int p : proteins) v_.push_back((static_cast<float>(p) - 0.5f) / static_cast<float>(n));
  }
  float uniform() override {
    if (next_ >= v_.size()) throw std::runtime_error("script exhausted");
    return v_[next_++];
  }
  std::size_t used() const { return next_; }

 private:
  std::vector<float> v_;
  std::size_t next_ = 0;
};

}  // namespace cdsec_test
