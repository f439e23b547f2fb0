#include "varsel/search.hpp"

#include <algorithm>
#include <system_error>

namespace cdsec {

std::optional<int> thread_count_from(const char* value, std::string* complaint) {
  if (value == nullptr) {
    const unsigned hw = std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp(hw, 1u, static_cast<unsigned>(kMaxThreads)));
  }
  const std::string text(value);
  bool digits = !text.empty();
  long long n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      digits = false;
      break;
    }
    if (n <= kMaxThreads) n = n * 10 + (c - '0');
  }
  if (digits && n >= 1 && n <= kMaxThreads) return static_cast<int>(n);
  if (complaint) {
    *complaint = "CDSEC_THREADS=\"" + text + "\" is not a number of threads (a whole number from 1 to " +
                 std::to_string(kMaxThreads) + "); nothing was run";
  }
  return std::nullopt;
}

TrialSearch::TrialSearch(int threads) {
  if (threads <= 1) return;
  // Room for about a thousand trials per worker ahead of the one counted
  // next: a worker that the system holds back for a while (the machine is
  // shared) leaves the others enough to do before the in-order count has
  // to wait for it.
  ring_.resize(static_cast<std::size_t>(std::min(64 * (threads - 1), 1024)));
  done_.assign(ring_.size(), 0);
  spaces_.reserve(static_cast<std::size_t>(threads - 1));
  workers_.reserve(static_cast<std::size_t>(threads - 1));
  for (int i = 1; i < threads; ++i) {
    spaces_.push_back(std::make_unique<TrialWorkspace>());
    try {
      workers_.emplace_back(&TrialSearch::worker, this, spaces_.back().get());
    } catch (const std::system_error&) {
      spaces_.pop_back();
      break;
    }
  }
}

TrialSearch::~TrialSearch() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    quit_ = true;
  }
  work_cv_.notify_all();
  for (std::thread& t : workers_) t.join();
}

void TrialSearch::evaluate(Batch& b, TrialWorkspace& ws) const {
  const SearchJob& j = *job_;
  for (int k = 0; k < b.count; ++k) {
    Trial& t = b.t[k];
    load_combination(j.nsel, j.nwave, j.nsstr, j.refcd, j.refss, t.order, ws.a.view(), ws.f.view());
    t.outcome = evaluate_trial(j.nwave, j.nsstr, j.rms_limit, j.fraction_limit, j.nsv, j.sample, j.nsel, ws);
    if (!t.outcome.valid) continue;
    std::copy_n(ws.x.data(), j.nsstr, t.x);
    std::copy_n(ws.recon.data(), j.nwave, t.recon);
    std::copy_n(ws.calc.data(), j.nwave, t.calc);
  }
}

void TrialSearch::worker(TrialWorkspace* ws) {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    work_cv_.wait(lock, [this] { return quit_ || claimed_ < drawn_; });
    if (quit_) return;
    const long seq = claimed_++;
    ++busy_;
    Batch& b = ring_[static_cast<std::size_t>(seq) % ring_.size()];
    lock.unlock();
    evaluate(b, *ws);
    lock.lock();
    done_[static_cast<std::size_t>(seq) % ring_.size()] = 1;
    --busy_;
    done_cv_.notify_one();
  }
}

int TrialSearch::run(const SearchJob& job, int icombf, int ncomb, int iprint, UniformSource& rng,
                     CombinationHistory& history, SolutionStore& store, TrialWorkspace& ws, std::ostream& report) {
  if (workers_.empty() || icombf <= 1) {
    int isucs = 0;
    for (int icomb = 1; icomb <= icombf; ++icomb) {
      BVPRO4(job.nwave, job.refcd, job.refss, job.nsstr, store, job.rms_limit, job.fraction_limit, job.nsv,
             job.sample, job.nbascd, job.nsel, isucs, icomb, iprint, rng, history, ws, report);
      if (isucs >= ncomb) break;
    }
    return isucs;
  }
  job_ = &job;
  // Whatever way the search ends (an exception from the report included),
  // no batch is handed out any more and none is still being evaluated when
  // run returns: the job's data may change after that.
  struct Quiesce {
    TrialSearch& s;
    ~Quiesce() {
      std::unique_lock<std::mutex> lock(s.mu_);
      s.drawn_ = s.claimed_;
      s.done_cv_.wait(lock, [this] { return s.busy_ == 0; });
      s.drawn_ = s.claimed_ = 0;
      s.job_ = nullptr;
    }
  } quiesce{*this};
  return run_parallel(icombf, ncomb, iprint, rng, history, store, ws, report);
}

int TrialSearch::run_parallel(int icombf, int ncomb, int iprint, UniformSource& rng, CombinationHistory& history,
                              SolutionStore& store, TrialWorkspace& ws, std::ostream& report) {
  const SearchJob& job = *job_;
  const long ring = static_cast<long>(ring_.size());
  long consumed = 0;   // batches counted, in order
  long drawn = 0;      // batches drawn (the coordinator's copy of drawn_)
  int next_trial = 1;  // first trial not yet drawn
  int isucs = 0;
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    // Count the next batch in order once it is evaluated.
    if (consumed < drawn && done_[static_cast<std::size_t>(consumed % ring)]) {
      lock.unlock();
      const Batch& b = ring_[static_cast<std::size_t>(consumed % ring)];
      for (int k = 0; k < b.count; ++k) {
        const Trial& t = b.t[k];
        record_trial(t.outcome, t.x, t.recon, t.calc, t.sorted, job.nsel, job.nwave, job.nsstr, store, isucs,
                     b.first + k, iprint, report);
        if (isucs >= ncomb) return isucs;
      }
      ++consumed;
      lock.lock();
      continue;
    }
    // Draw ahead into the free places of the ring.  Only this thread
    // touches a batch that is not yet handed out.
    if (drawn < consumed + ring && next_trial <= icombf) {
      lock.unlock();
      long added = 0;
      for (; drawn + added < consumed + ring && next_trial <= icombf; ++added) {
        Batch& b = ring_[static_cast<std::size_t>((drawn + added) % ring)];
        b.first = next_trial;
        b.count = std::min(kBatch, icombf - next_trial + 1);
        for (int k = 0; k < b.count; ++k)
          draw_combination(job.nbascd, job.nsel, next_trial + k, rng, history, b.t[k].order, b.t[k].sorted);
        next_trial += b.count;
      }
      lock.lock();
      for (long s = drawn; s < drawn + added; ++s) done_[static_cast<std::size_t>(s % ring)] = 0;
      drawn += added;
      drawn_ = drawn;
      work_cv_.notify_all();
      continue;
    }
    if (consumed == drawn) return isucs;  // budget spent
    // Evaluate a batch here rather than wait idle.
    if (claimed_ < drawn_) {
      const long seq = claimed_++;
      ++busy_;
      lock.unlock();
      evaluate(ring_[static_cast<std::size_t>(seq % ring)], ws);
      lock.lock();
      done_[static_cast<std::size_t>(seq % ring)] = 1;
      --busy_;
      continue;
    }
    done_cv_.wait(lock, [&] { return done_[static_cast<std::size_t>(consumed % ring)] != 0; });
  }
}

}  // namespace cdsec
