// Ordering of the working set by likeness to the sample, and the sample's
// initial structure guess.
//
// The self-consistent method always draws its subsets from the reference
// proteins most similar in CD to the sample, so the working set is sorted
// once per job by the RMS distance of each spectrum to the sample's.
#pragma once

#include <ostream>

#include "frame/job.hpp"
#include "frame/matrix.hpp"
#include "frame/refsets.hpp"

namespace cdsec {

// Selection by increasing distance: perm(I) is the protein placed at
// position I, sorted(I) its distance.  Each position first takes the
// protein already there if it is still unplaced, then any unplaced protein
// (from 2 on) strictly closer; so among equal distances the protein at the
// position itself wins when unplaced, else the lowest-numbered one.
// Position 1 keeps the sample (distance 0).
void order_by_distance(int np, VecView<const float> dist, VecView<int> perm, VecView<float> sorted);

// ORDER: sorts the working set (names, distances, CD columns 1..nw,
// structure rows 1..ns), reads the job's initial-guess line, sets row 1 of
// the structure matrix (IGuess 0: the closest reference protein's
// fractions; otherwise the fractions read) and reports the order and the
// guess.  Throws ReadError when the initial-guess line is missing or
// unreadable.
void ORDER(int nw, int ns, WorkingSet& ws, JobReader& job, std::ostream& report);

}  // namespace cdsec
