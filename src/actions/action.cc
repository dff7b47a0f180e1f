// SPDX-License-Identifier: MIT
#include "actions/action.h"

#include "base/result.h"
#include "base/update_log.h"
#include "fileops/file_ops.h"
#include "progress/progress_state.h"

namespace {

// Each pass owns a share of the bar: Prepare 0-20, Execute 20-95, Finish 95-100.
constexpr double kPrepareShare = 20;
constexpr double kExecuteStart = 20;
constexpr double kExecuteShare = 75;
constexpr double kFinishStart = 95;
constexpr double kFinishShare = 5;

// `done` of `total`, scaled into a pass's share; computed in floating point, never by integer
// division.
float Percent(int done, int total, double start, double share) {
  return static_cast<float>(static_cast<double>(done) / static_cast<double>(total) * share + start);
}

// The paths `action` changes stay beneath the directory being updated: a link on the way that
// leads outside it is refused with result::kWrongKind (logged) before the path is touched.
int CheckBeneath(const BeneathCheck &beneath, const UpdateAction *action) {
  for (const char *path : {action->ChangedPath(), action->RemovedDir()}) {
    if (!path) continue;
    int rv = beneath.Check(path);
    if (rv != result::kOk) return rv;
  }
  return result::kOk;
}

}  // namespace

void ActionList::Append(std::unique_ptr<UpdateAction> action) {
  UpdateAction *raw = action.release();
  raw->next = nullptr;
  raw->Attach(context_);
  if (tail_) {
    tail_->next = raw;
  } else {
    head_ = raw;
  }
  tail_ = raw;
  ++count_;
}

int ActionList::Prepare() {
  if (count_ == 0) {
    LOG("empty action list");
    return result::kEmpty;
  }
  const BeneathCheck beneath;
  int done = 0;
  for (UpdateAction *action = head_; action; action = action->next) {
    int rv = action->Prepare();
    if (rv == result::kOk) rv = CheckBeneath(beneath, action);
    if (rv != result::kOk) return rv;
    ++done;
    ReportProgressUI(Percent(done, count_, 0, kPrepareShare));
  }
  return result::kOk;
}

int ActionList::Execute() {
  // Summed after the Prepare pass, so removals of missing paths weigh nothing.
  int total_cost = 0;
  for (UpdateAction *action = head_; action; action = action->next) {
    total_cost += action->progress_cost;
  }
  const BeneathCheck beneath;
  int done_cost = 0;
  for (UpdateAction *action = head_; action; action = action->next) {
    // Checked again right before the change: a link swapped in since Prepare is not followed.
    int rv = CheckBeneath(beneath, action);
    if (rv == result::kOk) rv = action->Execute();
    if (rv != result::kOk) {
      LOG("### execution failed");
      return rv;
    }
    done_cost += action->progress_cost;
    // With nothing to weigh, every action counts as the whole pass: the bar jumps to its end
    // rather than dividing by zero.
    ReportProgressUI(total_cost > 0 ? Percent(done_cost, total_cost, kExecuteStart, kExecuteShare)
                                    : static_cast<float>(kExecuteStart + kExecuteShare));
  }
  return result::kOk;
}

void ActionList::Finish(int status) {
  int done = 0;
  for (UpdateAction *action = head_; action; action = action->next) {
    action->Finish(status);
    ++done;
    ReportProgressUI(Percent(done, count_, kFinishStart, kFinishShare));
  }
  if (status == result::kOk) context_->update_succeeded = true;
}

void ActionList::Destroy() {
  UpdateAction *action = head_;
  while (action) {
    UpdateAction *following = action->next;
    delete action;
    action = following;
  }
  head_ = tail_ = nullptr;
  count_ = 0;
}
